// The main-loop queue: records that agents hand to the application's main loop.
//
// `put` never blocks and may be called from any thread; the main loop either
// waits on `wait_fd()` (readable while records are queued, so it can be polled
// together with other descriptors) and takes records with `try_get`, or waits
// with `get`. The client puts a comms::Disconnected record here when it stops
// trying to connect on its own; an exit request is a quillpost::ExitRequest.
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
  MainLoopQueue();
  ~MainLoopQueue();
  MainLoopQueue(const MainLoopQueue&) = delete;
  MainLoopQueue& operator=(const MainLoopQueue&) = delete;

  void put(Payload record);

  // The oldest record, waiting at most `timeout` for one; nullopt on time-out
  // or once `close` was called and the queue is empty.
  std::optional<Payload> get(std::chrono::milliseconds timeout);
  std::optional<Payload> try_get();

  // Wakes every waiting `get`; later puts are still kept.
  void close();

  std::size_t size() const;
  // An event descriptor that reads as ready exactly while records are queued.
  int wait_fd() const { return fd_; }

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Payload> records_;
  bool closed_ = false;
  int fd_ = -1;  // an eventfd whose counter is non-zero while records are queued
};

}  // namespace quillpost::agent
