#include "quillpost/host/runtime/agent/pubsub.h"

#include <algorithm>

namespace quillpost::agent {

void PubSubAgent::receive(const std::string& event, const Payload& payload) {
  if (event == SUBSCRIBE || event == UNSUBSCRIBE) {
    const auto& topic = payload_as<std::string>(payload);
    if (!sender()) {
      create_logger("pubsub").warning("'%s' of '%s' without a sending agent; ignored", event,
                                      topic);
      return;
    }
    auto& subscribers = topics_[topic];
    auto it = std::find(subscribers.begin(), subscribers.end(), *sender());
    if (event == SUBSCRIBE) {
      if (it == subscribers.end()) subscribers.push_back(*sender());
    } else if (it != subscribers.end()) {
      subscribers.erase(it);
    }
    return;
  }
  if (event == PUBLISH) {
    const auto& inner = payload_as<Message>(payload);
    auto found = topics_.find(inner.event);
    if (found == topics_.end()) return;
    for (const auto& subscriber : found->second) {
      context().system_ref->send_after(
          subscriber, Message{inner.event, inner.payload, context().agent_ref}, 0.0);
    }
    return;
  }
  create_logger("pubsub").warning("pubsub: unknown event '%s'", event);
}

std::vector<AgentRef> PubSubAgent::subscribers(const std::string& topic) const {
  auto found = topics_.find(topic);
  return found == topics_.end() ? std::vector<AgentRef>{} : found->second;
}

}  // namespace quillpost::agent
