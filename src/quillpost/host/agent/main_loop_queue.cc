#include "quillpost/host/agent/main_loop_queue.h"

namespace quillpost::agent {

void MainLoopQueue::put(Payload record) {
  {
    std::lock_guard lock(mutex_);
    records_.push_back(std::move(record));
  }
  ready_.notify_one();
}

std::optional<Payload> MainLoopQueue::get(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, timeout, [this] { return !records_.empty() || closed_; });
  if (records_.empty()) return std::nullopt;
  Payload record = std::move(records_.front());
  records_.pop_front();
  return record;
}

std::optional<Payload> MainLoopQueue::try_get() {
  return get(std::chrono::milliseconds(0));
}

void MainLoopQueue::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

std::size_t MainLoopQueue::size() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

}  // namespace quillpost::agent
