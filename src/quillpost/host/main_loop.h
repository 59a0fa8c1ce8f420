// The main-loop queue: how the application's threads reach the main thread.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace quillpost {

// The client stopped trying to connect on its own; `reason` says why.
struct ClientDisconnected {
  std::string reason;
};

// The application is asked to end with `exit_code`.
struct ExitRequest {
  std::string reason;
  int exit_code = 0;
};

using MainLoopRecord = std::variant<ClientDisconnected, ExitRequest>;

// A queue of records for the main thread. `put` never blocks and may be called
// from any thread; the main loop waits on `wait_fd()`, which is readable while
// records are queued.
class MainLoopQueue {
 public:
  MainLoopQueue();
  ~MainLoopQueue();
  MainLoopQueue(const MainLoopQueue&) = delete;
  MainLoopQueue& operator=(const MainLoopQueue&) = delete;

  void put(MainLoopRecord record);
  // The oldest record, or nullopt when the queue is empty. Main thread only.
  std::optional<MainLoopRecord> try_get();
  int wait_fd() const { return fd_; }

 private:
  std::mutex mutex_;
  std::deque<MainLoopRecord> records_;
  int fd_ = -1;  // an eventfd: its counter is non-zero while records are queued
};

}  // namespace quillpost
