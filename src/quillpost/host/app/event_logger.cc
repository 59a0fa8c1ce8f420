#include "quillpost/host/app/event_logger.h"

#include <ostream>

#include "quillpost/host/base/text.h"
#include "quillpost/host/logging/logs.h"

namespace quillpost {

void EventLogger::report_gui_log(const GuiLog& gui_log) {
  logs::logger("gui").info("%s: %s", name(gui_log.event), gui_log.message);
  if (!out_) return;
  std::lock_guard lock(mutex_);
  // The message may carry a server's or a proxy's text: escaped, it stays one
  // line and sends the terminal no control sequence.
  *out_ << name(gui_log.event) << ": " << escape_control(gui_log.message) << std::endl;
}

}  // namespace quillpost
