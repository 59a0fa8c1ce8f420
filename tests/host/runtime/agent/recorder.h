// A test agent that records what it receives and lets the test wait for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "quillpost/host/agent/agent.h"

namespace quillpost::agent::test {

struct Received {
  std::string event;
  Payload payload;
  std::chrono::steady_clock::time_point at;
};

class Recorder : public SimpleAgent {
 public:
  static constexpr std::string_view name = "recorder";

  // Runs in `before()`, on the runtime's thread.
  std::function<void(Recorder&)> on_before;
  // Runs for every message before it is recorded; may throw.
  std::function<void(Recorder&, const std::string&, const Payload&)> on_receive;

  ~Recorder() override { destroyed = true; }

  void before() override {
    if (on_before) on_before(*this);
    std::lock_guard lock(mutex_);
    before_called = true;
  }

  void receive(const std::string& event, const Payload& payload) override {
    if (on_receive) on_receive(*this, event, payload);
    {
      std::lock_guard lock(mutex_);
      received_.push_back({event, payload, std::chrono::steady_clock::now()});
    }
    changed_.notify_all();
  }

  // Waits until `count` messages arrived or `limit` passed; true when they did.
  // `limit` only bounds a hang; sanitizer builds on a busy machine are slow.
  bool wait_for(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return received_.size() >= count; });
  }

  std::vector<Received> received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::vector<std::string> events() const {
    std::vector<std::string> out;
    for (const auto& r : received()) out.push_back(r.event);
    return out;
  }

  bool before_called = false;  // read after a wait or a stop
  static inline std::atomic<bool> destroyed{false};

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> received_;
};

}  // namespace quillpost::agent::test
