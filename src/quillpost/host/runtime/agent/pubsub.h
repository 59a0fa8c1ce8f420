// The publish/subscribe agent, registered as "pubsub".
//
//   pubsub.send("subscribe", topic);   // from the subscribing agent
//   pubsub.send("publish", Message{topic, payload});
//
// After ("subscribe", T) the subscriber receives every message published under T
// with T as its event and the published payload. Subscribing twice delivers once;
// ("unsubscribe", T) ends it. Subscribers that have stopped are skipped.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "quillpost/host/agent/agent.h"

namespace quillpost::agent {

class PubSubAgent : public SimpleAgent {
 public:
  static constexpr std::string_view name = "pubsub";
  static constexpr std::string_view SUBSCRIBE = "subscribe";
  static constexpr std::string_view UNSUBSCRIBE = "unsubscribe";
  // Payload: a Message whose `event` is the topic and `payload` what subscribers get.
  static constexpr std::string_view PUBLISH = "publish";

  void receive(const std::string& event, const Payload& payload) override;

  // The subscribers of `topic` in order of subscription (for tests and status).
  std::vector<AgentRef> subscribers(const std::string& topic) const;

 private:
  std::map<std::string, std::vector<AgentRef>, std::less<>> topics_;
};

// The payload of a "publish" message.
inline Message publication(std::string_view topic, Payload payload) {
  return Message{std::string(topic), std::move(payload), std::nullopt};
}

}  // namespace quillpost::agent
