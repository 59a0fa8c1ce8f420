#include "quillpost/host/agent/main_loop_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace quillpost::agent {

MainLoopQueue::MainLoopQueue() {
  fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

MainLoopQueue::~MainLoopQueue() {
  ::close(fd_);
}

void MainLoopQueue::put(Payload record) {
  {
    std::lock_guard lock(mutex_);
    records_.push_back(std::move(record));
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(fd_, &one, sizeof one);
  }
  ready_.notify_one();
}

std::optional<Payload> MainLoopQueue::get(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, timeout, [this] { return !records_.empty() || closed_; });
  if (records_.empty()) return std::nullopt;
  Payload record = std::move(records_.front());
  records_.pop_front();
  if (records_.empty()) {
    // Clear the counter so that the descriptor reads as idle again.
    std::uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(fd_, &count, sizeof count);
  }
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
