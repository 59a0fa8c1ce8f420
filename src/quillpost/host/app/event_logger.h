// The GUI log: the lines the user sees about the application's life.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <iosfwd>
#include <mutex>

#include "quillpost/host/config/records.h"

namespace quillpost {

class EventLogger {
 public:
  using Clock = std::chrono::system_clock;
  // Where a GUI shows the lines: called with each entry and when it was reported.
  using Listener = std::function<void(const GuiLog&, Clock::time_point)>;

  // Entries a run with a GUI keeps until the GUI listens: the start-up lines.
  static constexpr std::size_t MAX_KEPT = 1000;

  // `headless_out`: where a headless run shows the lines (standard output), or
  // null when a GUI shows them.
  explicit EventLogger(std::ostream* headless_out) : out_(headless_out) {}

  // Writes the entry to the log (logger "gui") and, headless, as one line
  // "EVENT: message" to the output; with a GUI, hands it to the listener, or
  // keeps it for the listener to come. Safe from any thread.
  void report_gui_log(const GuiLog& gui_log);

  // The GUI listens from now on: it first gets the entries kept so far, oldest
  // first. An empty listener stops the listening (before the GUI goes). The
  // listener is called under this logger's lock: it must only hand over.
  void listen(Listener listener);

 private:
  struct Kept {
    GuiLog entry;
    Clock::time_point at;
  };

  std::ostream* out_;
  std::mutex mutex_;
  Listener listener_;
  std::deque<Kept> kept_;
  bool listened_ = false;
};

}  // namespace quillpost
