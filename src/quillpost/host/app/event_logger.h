// The GUI log: the lines the user sees about the application's life.
#pragma once

#include <iosfwd>
#include <mutex>

#include "quillpost/host/config/records.h"

namespace quillpost {

class EventLogger {
 public:
  // `headless_out`: where a headless run shows the lines (standard output), or
  // null when a GUI shows them.
  explicit EventLogger(std::ostream* headless_out) : out_(headless_out) {}

  // Writes the entry to the log (logger "gui") and, headless, as one line
  // "EVENT: message" to the output. Safe from any thread.
  void report_gui_log(const GuiLog& gui_log);

 private:
  std::ostream* out_;
  std::mutex mutex_;
};

}  // namespace quillpost
