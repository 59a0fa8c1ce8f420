#include "quillpost/host/main_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>

namespace quillpost {

MainLoopQueue::MainLoopQueue() {
  fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

MainLoopQueue::~MainLoopQueue() {
  ::close(fd_);
}

void MainLoopQueue::put(MainLoopRecord record) {
  std::lock_guard lock(mutex_);
  records_.push_back(std::move(record));
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = ::write(fd_, &one, sizeof one);
}

std::optional<MainLoopRecord> MainLoopQueue::try_get() {
  std::lock_guard lock(mutex_);
  if (records_.empty()) return std::nullopt;
  MainLoopRecord record = std::move(records_.front());
  records_.pop_front();
  if (records_.empty()) {
    // Clear the counter so that the descriptor reads as idle again.
    std::uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(fd_, &count, sizeof count);
  }
  return record;
}

}  // namespace quillpost
