#include "quillpost/host/app/event_logger.h"

#include <ostream>

#include "quillpost/host/logging/logs.h"

namespace quillpost {

void EventLogger::report_gui_log(const GuiLog& gui_log) {
  logs::logger("gui").info("%s: %s", name(gui_log.event), gui_log.message);
  if (!out_) return;
  std::lock_guard lock(mutex_);
  *out_ << name(gui_log.event) << ": " << gui_log.message << std::endl;
}

}  // namespace quillpost
