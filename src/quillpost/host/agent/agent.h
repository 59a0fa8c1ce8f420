// Agents: objects that receive messages one at a time on the runtime's thread.
//
// An agent derives from SimpleAgent, gets `before()` once and then
// `receive(event, payload)` for every message, in arrival order, never two at
// once. It reaches other agents by name through `channel(name)`, sends itself
// delayed messages with `send_self`, and hands worker threads a mailbox from
// `context.system_ref->get_mailbox(context.agent_ref, label)`.
//
// Payloads are `std::any`. A payload sent as a text of any kind (a literal, a
// std::string_view) is always stored as a std::string, so receivers read texts
// with `payload_as<std::string>`. An empty payload (`Payload{}`) stands for "no
// payload". A large value that travels on through several agents (a server
// message to its subscribers) is sent shared (`shared_payload`): copies of the
// payload then share one immutable value, and `payload_as<T>` reads it as a T
// all the same.
//
// The agent never sees the runtime itself, only the small SystemRef interface,
// so an agent can be driven in tests by a recording system (tests/support/recording_system.h).
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "quillpost/host/logging/logs.h"

namespace quillpost::agent {

using Payload = std::any;

// Wraps a value as a payload; every kind of text becomes a std::string.
template <typename T>
Payload to_payload(T&& value) {
  using D = std::decay_t<T>;
  if constexpr (std::is_same_v<D, Payload>) {
    return std::forward<T>(value);
  } else if constexpr (std::is_convertible_v<const D&, std::string_view>) {
    return Payload(std::string(std::string_view(value)));
  } else {
    return Payload(std::forward<T>(value));
  }
}

// Wraps a value as a payload whose copies share it, immutable.
template <typename T>
Payload shared_payload(T value) {
  return Payload(std::make_shared<const T>(std::move(value)));
}

// Raised when a payload does not hold the type the receiver expects.
class BadPayload : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The payload's value as a T. Throws BadPayload naming both types otherwise.
template <typename T>
const T& payload_as(const Payload& payload) {
  if (const T* value = std::any_cast<T>(&payload)) return *value;
  if (const auto* shared = std::any_cast<std::shared_ptr<const T>>(&payload); shared && *shared) {
    return **shared;
  }
  throw BadPayload(std::string("payload holds ") +
                   (payload.has_value() ? payload.type().name() : "nothing") + ", expected " +
                   typeid(T).name());
}

// The address of an agent inside one runtime: its registered name and a serial
// number that is never reused, so that a mailbox of a stopped agent never
// reaches a later agent of the same name.
struct AgentRef {
  std::string name;
  std::uint64_t serial = 0;
  bool operator==(const AgentRef&) const = default;
};

// One message: an event name, a payload and, when another agent sent it, the
// sender (the schedule and pubsub agents answer the sender).
struct Message {
  std::string event;
  Payload payload;
  std::optional<AgentRef> sender;
};

// Where messages for one agent go. `post` is thread-safe and never blocks; a
// message for an agent that has stopped is dropped.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void post(Message message) = 0;
};

// A handle on an agent reached by name. Copyable; sending never blocks and
// never waits for an answer. A default-constructed channel drops everything.
class Channel {
 public:
  Channel() = default;
  Channel(std::shared_ptr<MessageSink> sink, std::optional<AgentRef> sender)
      : sink_(std::move(sink)), sender_(std::move(sender)) {}

  void send(std::string_view event) const { post(event, Payload{}); }
  template <typename T>
  void send(std::string_view event, T&& payload) const {
    post(event, to_payload(std::forward<T>(payload)));
  }
  // Sends a ready-made request, such as the one ScheduleAgent::schedule returns.
  void send(const Message& message) const { post(message.event, message.payload); }

  explicit operator bool() const { return sink_ != nullptr; }

 private:
  void post(std::string_view event, Payload payload) const {
    if (sink_) sink_->post(Message{std::string(event), std::move(payload), sender_});
  }

  std::shared_ptr<MessageSink> sink_;
  std::optional<AgentRef> sender_;
};

// A thread-safe mailbox that a worker thread posts into; what it posts reaches
// the owning agent's `receive` like any other message. Copyable. Posting after
// the agent (or the whole runtime) stopped is harmless: the message is dropped.
class Mailbox {
 public:
  Mailbox() = default;
  Mailbox(std::string name, std::shared_ptr<MessageSink> sink)
      : name_(std::move(name)), sink_(std::move(sink)) {}

  const std::string& name() const { return name_; }

  void send(std::string_view event) const { post(event, Payload{}); }
  template <typename T>
  void send(std::string_view event, T&& payload) const {
    post(event, to_payload(std::forward<T>(payload)));
  }

  explicit operator bool() const { return sink_ != nullptr; }

 private:
  void post(std::string_view event, Payload payload) const {
    if (sink_) sink_->post(Message{std::string(event), std::move(payload), std::nullopt});
  }

  std::string name_;
  std::shared_ptr<MessageSink> sink_;
};

// The runtime as its agents see it.
class SystemRef {
 public:
  virtual ~SystemRef() = default;
  // A channel to the agent registered under `name`, stamped with `from` as the
  // sender. Messages to a name nobody holds are dropped (and logged).
  virtual Channel channel(const std::string& name, const std::optional<AgentRef>& from) = 0;
  // A new mailbox into the agent `agent_ref`, labelled `name` for the logs.
  virtual Mailbox get_mailbox(const AgentRef& agent_ref, const std::string& name) = 0;
  // Delivers `message` to `to` after `delay_seconds` (fractions allowed; 0 or
  // less: as soon as the queue allows). Never cancelled.
  virtual void send_after(const AgentRef& to, Message message, double delay_seconds) = 0;
};

// What an agent knows of its place in the runtime.
struct Context {
  AgentRef agent_ref;
  SystemRef* system_ref = nullptr;
};

// Raised by an agent operation that needs a runtime when none is attached.
class NotAttached : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

class SimpleAgent {
 public:
  SimpleAgent() = default;
  virtual ~SimpleAgent() = default;
  SimpleAgent(const SimpleAgent&) = delete;
  SimpleAgent& operator=(const SimpleAgent&) = delete;

  // Called once, after the agent is attached and before its first message.
  virtual void before() {}
  // Called for every message, one at a time, in arrival order.
  virtual void receive(const std::string& event, const Payload& payload) = 0;

  // A channel to the agent registered under `name`, with this agent as sender.
  Channel channel(const std::string& name) const;

  // Sends this agent `event` with `payload` after `delay` seconds.
  void send_self(std::string_view event, double delay = 0.0) const {
    post_self(event, Payload{}, delay);
  }
  template <typename T>
  void send_self(std::string_view event, T&& payload, double delay = 0.0) const {
    post_self(event, to_payload(std::forward<T>(payload)), delay);
  }

  // The sender of the message being received, when an agent sent it through a
  // channel; nullopt for mailbox and timer messages.
  const std::optional<AgentRef>& sender() const { return sender_; }

  // Set by the runtime when it registers the agent (tests attach a recording
  // system the same way).
  void attach(Context context) { context_ = std::move(context); }
  // Runs `receive` as the runtime does: records the sender first.
  void deliver(const Message& message) {
    sender_ = message.sender;
    receive(message.event, message.payload);
  }

  const Context& context() const { return context_; }

 private:
  void post_self(std::string_view event, Payload payload, double delay) const;

  Context context_;
  std::optional<AgentRef> sender_;
};

// How the runtime makes its loggers; `logs::logger` unless replaced.
using LoggerCreator = std::function<logs::Logger(const std::string& name)>;
void replace_logger_creator(LoggerCreator factory);
logs::Logger create_logger(const std::string& name);

}  // namespace quillpost::agent
