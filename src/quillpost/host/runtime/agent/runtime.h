// The agent runtime: one io_context, a strand per agent, steady timers for delays.
//
//   agent::Runtime runtime;                      // one thread by default
//   runtime.spawn(std::make_shared<PubSubAgent>());
//   runtime.spawn(std::make_shared<Client>(...)); // registered as Client::name
//   runtime.start();
//   ...
//   runtime.stop();                              // joins; nothing runs afterwards
//
// Each agent's messages run on its strand, so one agent never handles two at
// once and handles them in arrival order; different agents may run in parallel
// when the runtime has more than one thread. An exception escaping `before` or
// `receive` is logged at exception level with the agent, the event and the
// error, and the agent goes on with its next message.
//
// After `stop` returns no handler runs any more; messages and timers still
// pending are dropped (`drain` first lets the queued ones run), and mailboxes held by worker
// threads drop what they get.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "quillpost/host/agent/agent.h"

namespace quillpost::agent {

class Runtime final : public SystemRef {
 public:
  struct Options {
    std::size_t threads = 1;
  };

  Runtime();
  explicit Runtime(Options options);
  ~Runtime() override;  // stops
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // Registers `agent` under `name` and queues its `before()`; works before and
  // after `start`. A name already held is taken over by the new agent: the old
  // one stops receiving. Returns the new agent's address.
  AgentRef spawn(std::shared_ptr<SimpleAgent> agent, const std::string& name);
  template <typename A>
  AgentRef spawn(std::shared_ptr<A> agent) {
    return spawn(std::shared_ptr<SimpleAgent>(std::move(agent)), std::string(A::name));
  }

  // Stops one agent: nothing more is delivered to it. False when unknown.
  bool stop_agent(const std::string& name);

  // Starts the threads. Idempotent; a stopped runtime does not start again.
  void start();
  // Waits until every message sent so far, and every message their handlers
  // send in turn, has been handled, or `limit` has passed; delayed messages
  // whose time has not come are not waited for. True when nothing is left.
  // Called before `stop` so that work already under way (an account being
  // saved on the way out) is finished rather than dropped.
  bool drain(std::chrono::milliseconds limit);
  // Stops the threads and every agent; returns once no handler runs. Idempotent.
  void stop();
  bool running() const;

  // A channel from outside any agent (no sender).
  Channel channel(const std::string& name) { return channel(name, std::nullopt); }

  Channel channel(const std::string& name, const std::optional<AgentRef>& from) override;
  Mailbox get_mailbox(const AgentRef& agent_ref, const std::string& name) override;
  void send_after(const AgentRef& to, Message message, double delay_seconds) override;

  struct Impl;  // internal; named here for the runtime's own sinks

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace quillpost::agent
