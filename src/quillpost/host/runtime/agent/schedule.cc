#include "quillpost/host/runtime/agent/schedule.h"

namespace quillpost::agent {

void ScheduleAgent::receive(const std::string& event, const Payload& payload) {
  if (event != SCHEDULE) {
    create_logger("schedule").warning("schedule: unknown event '%s'", event);
    return;
  }
  const auto& request = payload_as<ScheduleRequest>(payload);
  if (!sender()) {
    create_logger("schedule")
        .warning("schedule of '%s' without a sending agent; ignored", request.event);
    return;
  }
  context().system_ref->send_after(
      *sender(), Message{request.event, request.payload, context().agent_ref}, request.delay);
}

}  // namespace quillpost::agent
