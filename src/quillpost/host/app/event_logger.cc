#include "quillpost/host/app/event_logger.h"

#include <ostream>

#include "quillpost/host/base/text.h"
#include "quillpost/host/logging/logs.h"

namespace quillpost {

void EventLogger::report_gui_log(const GuiLog& gui_log) {
  logs::logger("gui").info("%s: %s", name(gui_log.event), gui_log.message);
  std::lock_guard lock(mutex_);
  if (!out_) {
    if (listener_) {
      listener_(gui_log, Clock::now());
    } else if (!listened_) {
      kept_.push_back(Kept{gui_log, Clock::now()});
      if (kept_.size() > MAX_KEPT) kept_.pop_front();
    }
    return;
  }
  // The message may carry a server's or a proxy's text: escaped, it stays one
  // line and sends the terminal no control sequence.
  *out_ << name(gui_log.event) << ": " << escape_control(gui_log.message) << std::endl;
}

void EventLogger::listen(Listener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
  listened_ = true;
  if (!listener_) return;
  for (const Kept& kept : kept_) listener_(kept.entry, kept.at);
  kept_.clear();
}

}  // namespace quillpost
