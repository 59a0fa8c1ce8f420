// A flag that can be set once and tested from anywhere.
//
// `set` is async-signal-safe (a lock-free atomic store), so a signal handler
// may set it; `is_set` may be called from any thread. It is never cleared.
#pragma once

#include <atomic>

namespace quillpost {

class Event {
 public:
  void set() noexcept { flag_.store(true, std::memory_order_release); }
  bool is_set() const noexcept { return flag_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> flag_{false};
  static_assert(std::atomic<bool>::is_always_lock_free);
};

}  // namespace quillpost
