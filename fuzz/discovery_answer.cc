// Fuzzes the discovery-answer parser with the raw bytes as the answer's body.
//
// A refused answer must be refused with std::runtime_error. An accepted one
// names a server that can be connected to (a non-empty address, a port from 1
// to 65535), carries heartbeat times that are unset, 0 or within their bounds,
// and reads back the same when written out as an answer again.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "checks.h"
#include "quillpost/host/runtime/comms/service_discovery.h"

namespace {

using namespace quillpost;

constexpr const char* kTarget = "discovery answer";

// Unset, 0, or within [min, max].
bool good_seconds(const std::optional<double>& value, double min, double max) {
  return !value || *value == 0 || (*value >= min && *value <= max);
}

nlohmann::json seconds_json(const std::optional<double>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json();
}

// The answer a service would send for `payload`.
std::string answer_text(const comms::ServiceDiscoveryPayload& payload) {
  nlohmann::json answer = {
      {"address", payload.address},
      {"port", payload.port},
      {"remote_address", payload.remote_address},
      {"version", payload.version},
      {"heartbeat",
       {{"interval", seconds_json(payload.heartbeat.interval)},
        {"timeout", seconds_json(payload.heartbeat.timeout)}}},
      {"tls", payload.tls},
  };
  return answer.dump();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  comms::ServiceDiscoveryPayload payload;
  try {
    payload = comms::parse_service_discovery_answer(body, "fuzz");
  } catch (const std::runtime_error&) {
    return 0;
  }
  if (payload.connection_id != "fuzz") fuzz::fail(kTarget, "the connection id was lost");
  if (payload.address.empty()) fuzz::fail(kTarget, "empty address accepted");
  if (payload.port < 1 || payload.port > 65535) fuzz::fail(kTarget, "port out of range");
  using Bounds = comms::HeartbeatBounds;
  if (!good_seconds(payload.heartbeat.interval, Bounds::INTERVAL_MIN, Bounds::INTERVAL_MAX)) {
    fuzz::fail(kTarget, "heartbeat interval outside its bounds");
  }
  if (!good_seconds(payload.heartbeat.timeout, Bounds::TIMEOUT_MIN, Bounds::TIMEOUT_MAX)) {
    fuzz::fail(kTarget, "heartbeat timeout outside its bounds");
  }
  comms::ServiceDiscoveryPayload again;
  try {
    again = comms::parse_service_discovery_answer(answer_text(payload), "fuzz");
  } catch (const std::runtime_error&) {
    fuzz::fail(kTarget, "an accepted answer, written out again, was refused");
  }
  if (!(again == payload)) fuzz::fail(kTarget, "an answer changed in a round trip");
  return 0;
}
