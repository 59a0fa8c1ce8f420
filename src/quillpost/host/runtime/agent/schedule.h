// The schedule agent: delivers an event back to whoever asked, after a delay.
//
//   schedule_channel.send(ScheduleAgent::schedule(2.5, "heartbeat_reminder", id));
//
// 2.5 s later the requesting agent receives ("heartbeat_reminder", id).
// Requests are never cancelled; a reply for an agent that has stopped is dropped.
#pragma once

#include <string>
#include <string_view>

#include "quillpost/host/agent/agent.h"

namespace quillpost::agent {

// The payload of a scheduling request.
struct ScheduleRequest {
  double delay = 0.0;
  std::string event;
  Payload payload;
};

class ScheduleAgent : public SimpleAgent {
 public:
  static constexpr std::string_view name = "schedule";
  // The event of a scheduling request.
  static constexpr std::string_view SCHEDULE = "schedule";

  // The request (event and payload) that asks the schedule agent to deliver
  // `event` with `payload` to the sender after `delay` seconds.
  template <typename T>
  static Message schedule(double delay, std::string_view event, T&& payload) {
    return Message{
        std::string(SCHEDULE),
        Payload(ScheduleRequest{delay, std::string(event), to_payload(std::forward<T>(payload))}),
        std::nullopt};
  }
  static Message schedule(double delay, std::string_view event) {
    return schedule(delay, event, Payload{});
  }

  // Takes SCHEDULE requests from agents; anything else is logged and dropped.
  void receive(const std::string& event, const Payload& payload) override;
};

}  // namespace quillpost::agent
