#include "quillpost/host/runtime/comms/service_discovery.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>

namespace quillpost::comms {

namespace {

std::atomic<double>& timeout_setting() {
  static std::atomic<double> value{DISCOVERY_TIMEOUT};
  return value;
}

// A heartbeat time in seconds: absent or null stays unset, 0 stays 0, any
// other value is brought within [min, max]. A value that is not a finite,
// non-negative number is a malformed answer: the server meant something we
// cannot tell.
std::optional<double> seconds_field(const nlohmann::json& heartbeat, const char* key, double min,
                                    double max) {
  auto it = heartbeat.find(key);
  if (it == heartbeat.end() || it->is_null()) return std::nullopt;
  if (!it->is_number()) {
    throw std::runtime_error(std::string("heartbeat ") + key + " is not a number");
  }
  const double v = it->get<double>();
  if (!std::isfinite(v) || v < 0) {
    throw std::runtime_error(std::string("heartbeat ") + key + " is out of range");
  }
  if (v == 0) return 0.0;
  return std::clamp(v, min, max);
}

}  // namespace

void set_service_discovery_timeout(double seconds) {
  timeout_setting().store(seconds);
}

double service_discovery_timeout() {
  return timeout_setting().load();
}

ServiceDiscoveryPayload parse_service_discovery_answer(std::string_view body,
                                                       const std::string& connection_id) {
  auto answer = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (answer.is_discarded()) throw std::runtime_error("malformed answer: not JSON");
  if (!answer.is_object()) throw std::runtime_error("malformed answer: not a JSON object");
  ServiceDiscoveryPayload out;
  out.connection_id = connection_id;
  auto text = [&](const char* key, bool required) -> std::string {
    auto it = answer.find(key);
    if (it == answer.end() || it->is_null()) {
      if (required) throw std::runtime_error(std::string("malformed answer: no ") + key);
      return {};
    }
    if (it->is_string()) return it->get<std::string>();
    if (it->is_number()) return it->dump();
    throw std::runtime_error(std::string("malformed answer: ") + key + " is not a text");
  };
  out.address = text("address", true);
  if (out.address.empty()) throw std::runtime_error("malformed answer: empty address");
  auto port = answer.find("port");
  if (port == answer.end() || !port->is_number_integer()) {
    throw std::runtime_error("malformed answer: port is not an integer");
  }
  out.port = port->get<std::int64_t>();
  if (out.port < 1 || out.port > 65535) {
    throw std::runtime_error("malformed answer: port " + std::to_string(out.port) +
                             " out of range");
  }
  out.remote_address = text("remote_address", false);
  out.version = text("version", false);
  if (auto hb = answer.find("heartbeat"); hb != answer.end() && !hb->is_null()) {
    if (!hb->is_object()) throw std::runtime_error("malformed answer: heartbeat is not an object");
    try {
      out.heartbeat.interval = seconds_field(*hb, "interval", HeartbeatBounds::INTERVAL_MIN,
                                             HeartbeatBounds::INTERVAL_MAX);
      out.heartbeat.timeout =
          seconds_field(*hb, "timeout", HeartbeatBounds::TIMEOUT_MIN, HeartbeatBounds::TIMEOUT_MAX);
    } catch (const std::runtime_error& e) {
      throw std::runtime_error(std::string("malformed answer: ") + e.what());
    }
  }
  if (auto tls = answer.find("tls"); tls != answer.end() && !tls->is_null()) {
    if (!tls->is_boolean()) throw std::runtime_error("malformed answer: tls is not a boolean");
    out.tls = tls->get<bool>();
  }
  return out;
}

void report_service_discovery(const std::function<std::string()>& fetch,
                              const std::string& connection_id, const agent::Mailbox& mailbox) {
  try {
    const std::string body = fetch();
    mailbox.send(SERVICE_DISCOVERY_OK, parse_service_discovery_answer(body, connection_id));
  } catch (const std::exception& e) {
    mailbox.send(SERVICE_DISCOVERY_FAIL,
                 ServiceDiscoveryFailPayload{connection_id,
                                             std::string("service discovery failed: ") + e.what()});
  }
}

}  // namespace quillpost::comms
