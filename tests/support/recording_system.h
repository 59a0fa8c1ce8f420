// A recording stand-in for the runtime, for unit tests of agents.
//
//   agent::testing::RecordingSystem system;
//   system.attach(client, "client");   // sets the agent's context
//   client.before();
//   system.sent_to("pubsub")           // messages sent on channels, in order
//   system.delayed                     // send_self / send_after requests
//   system.mailboxes                   // every mailbox handed out, with what was posted
//   system.deliver_mailbox_posts()     // hands mailbox posts to the agent's receive
//
// Nothing runs on other threads unless the test's fake workers post from them;
// posts are recorded under a lock.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quillpost/host/agent/agent.h"

namespace quillpost::agent::testing {

struct Sent {
  std::string to;  // channel name, or mailbox name for mailbox posts
  Message message;
};

struct Delayed {
  AgentRef to;
  Message message;
  double delay = 0.0;
};

class RecordingSystem : public SystemRef {
 public:
  class RecordingSink : public MessageSink {
   public:
    RecordingSink(RecordingSystem* system, std::string to) : system_(system), to_(std::move(to)) {}
    void post(Message message) override {
      std::lock_guard lock(system_->mutex_);
      system_->log_.push_back(Sent{to_, std::move(message)});
    }

   private:
    RecordingSystem* system_;
    std::string to_;
  };

  void attach(SimpleAgent& agent, const std::string& name) {
    agent.attach(Context{AgentRef{name, ++serial_}, this});
  }

  Channel channel(const std::string& name, const std::optional<AgentRef>& from) override {
    return Channel(std::make_shared<RecordingSink>(this, name), from);
  }
  Mailbox get_mailbox(const AgentRef& agent_ref, const std::string& name) override {
    std::lock_guard lock(mutex_);
    mailbox_names.push_back(name);
    (void)agent_ref;
    return Mailbox(name, std::make_shared<RecordingSink>(this, "mailbox:" + name));
  }
  void send_after(const AgentRef& to, Message message, double delay_seconds) override {
    std::lock_guard lock(mutex_);
    delayed.push_back(Delayed{to, std::move(message), delay_seconds});
  }

  // Everything sent so far, channels and mailboxes, in order.
  std::vector<Sent> log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }
  // The messages sent to the channel `name`, in order.
  std::vector<Message> sent_to(const std::string& name) const {
    std::vector<Message> out;
    for (const auto& s : log())
      if (s.to == name) out.push_back(s.message);
    return out;
  }
  // The messages posted into mailboxes labelled `name`.
  std::vector<Message> posted_to_mailbox(const std::string& name) const {
    return sent_to("mailbox:" + name);
  }
  void clear() {
    std::lock_guard lock(mutex_);
    log_.clear();
    delayed.clear();
    mailbox_names.clear();
  }

  std::vector<Delayed> delayed;
  std::vector<std::string> mailbox_names;

 private:
  mutable std::mutex mutex_;
  std::vector<Sent> log_;
  std::uint64_t serial_ = 0;
};

}  // namespace quillpost::agent::testing
