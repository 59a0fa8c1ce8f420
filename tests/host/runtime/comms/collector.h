// A mailbox whose messages the test can wait for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "quillpost/host/agent/agent.h"

namespace quillpost::comms::test {

class Collector : public agent::MessageSink {
 public:
  void post(agent::Message message) override {
    {
      std::lock_guard lock(mutex_);
      messages_.push_back(std::move(message));
    }
    changed_.notify_all();
  }

  // Waits for `count` messages; false after `limit`.
  bool wait_for(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return messages_.size() >= count; });
  }

  std::vector<agent::Message> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<agent::Message> messages_;
};

// A mailbox into a new collector.
inline std::pair<agent::Mailbox, std::shared_ptr<Collector>> collecting_mailbox() {
  auto collector = std::make_shared<Collector>();
  return {agent::Mailbox("test-mailbox", collector), collector};
}

}  // namespace quillpost::comms::test
