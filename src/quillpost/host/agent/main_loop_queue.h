// The main-loop queue: records that agents hand to the application's main loop.
//
// `put` never blocks and may be called from any thread; the runner consumes
// with `get`, which waits up to a time-out. The client puts a Disconnected
// record here when it stops trying to connect on its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "quillpost/host/agent/agent.h"

namespace quillpost::agent {

class MainLoopQueue {
 public:
  void put(Payload record);

  // The oldest record, waiting at most `timeout` for one; nullopt on time-out
  // or once `close` was called and the queue is empty.
  std::optional<Payload> get(std::chrono::milliseconds timeout);
  std::optional<Payload> try_get();

  // Wakes every waiting `get`; later puts are still kept.
  void close();

  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Payload> records_;
  bool closed_ = false;
};

}  // namespace quillpost::agent
