#include "quillpost/host/runtime/scales/agent.h"

#include <algorithm>
#include <fstream>

#include "quillpost/host/base/text.h"
#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/printing/clean_text.h"
#include "quillpost/host/world/world.h"

namespace quillpost::scales {
namespace {

constexpr std::string_view FLUSH = "scales_flush";  // payload: the scale's id
constexpr std::string_view READ_DEADLINE = "scales_read_deadline";
constexpr std::string_view STABLE_CHECK = "scales_stable_check";
constexpr std::size_t kMaxRequestId = 128;

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// A request id as the service sent it: a text of at most 128 characters or
// an integer; anything else is refused (null).
nlohmann::json request_id(const nlohmann::json& payload) {
  if (!payload.is_object()) return nullptr;
  const auto it = payload.find("requestId");
  if (it == payload.end()) return nullptr;
  if (it->is_number_integer()) return *it;
  if (it->is_string()) return printing::clean_text(it->get<std::string>(), kMaxRequestId);
  return nullptr;
}

std::optional<std::string> scale_id(const nlohmann::json& payload) {
  if (!payload.is_object() || !payload.contains("scale") || !payload["scale"].is_string()) {
    return std::nullopt;
  }
  std::string id = payload["scale"].get<std::string>();
  if (id.size() > 256) return std::nullopt;
  return id;
}

}  // namespace

ScalesAgent::ScalesAgent(ScalesSettings settings)
    : settings_(std::move(settings)),
      logger_(agent::create_logger("scales")),
      link_(settings_.account) {
  if (settings_.enabled) {
    enabled_ = *settings_.enabled;
  } else {
    std::ifstream in(settings_.dir / "enabled");
    std::string text;
    in >> text;
    enabled_ = text == "true";
  }
}

ScalesAgent::~ScalesAgent() {
  worker_.reset();
}

void ScalesAgent::before() {
  pubsub_ = channel(std::string(agent::PubSubAgent::name));
  pubsub_.send(agent::PubSubAgent::SUBSCRIBE, comms::UPDATE_CONNECTION);
  pubsub_.send(agent::PubSubAgent::SUBSCRIBE, comms::SERVER_MESSAGE);
  pubsub_.send(agent::PubSubAgent::SUBSCRIBE, core::UPDATE_ACCOUNT);
  pubsub_.send(agent::PubSubAgent::SUBSCRIBE, SCALES_SET_ENABLED);
  logger_.info("Scales are %s", enabled_ ? "enabled" : "disabled");
  worker_ = std::make_unique<DeviceWorker>(
      context().system_ref->get_mailbox(context().agent_ref, std::string(name)), settings_.devices,
      enabled_);
  publish_overview();
}

void ScalesAgent::receive(const std::string& event, const agent::Payload& payload) {
  using agent::payload_as;
  if (event == comms::UPDATE_CONNECTION) {
    connection(payload_as<comms::Connection>(payload));
  } else if (event == comms::SERVER_MESSAGE) {
    server_message(payload_as<comms::ServerMessage>(payload));
  } else if (event == core::UPDATE_ACCOUNT) {
    const auto* account = std::any_cast<Account>(&payload);
    account_update(account ? std::optional<Account>(*account)
                           : payload_as<std::optional<Account>>(payload));
  } else if (event == SCALES_SET_ENABLED) {
    set_enabled(payload_as<bool>(payload), true);
  } else if (event == SCALES_FOUND) {
    found(payload_as<std::vector<ScaleInfo>>(payload));
  } else if (event == SCALE_UPDATE) {
    updated(payload_as<ScaleUpdate>(payload));
  } else if (event == SCALE_ZEROED) {
    zeroed(payload_as<ScaleZeroed>(payload));
  } else if (event == FLUSH) {
    const auto it = scales_.find(payload_as<std::string>(payload));
    if (it != scales_.end()) {
      it->second.flush_armed = false;
      send_reading(it->second, false);
    }
  } else if (event == READ_DEADLINE) {
    answer_reads(true);
  } else if (event == STABLE_CHECK) {
    for (auto& [id, scale] : scales_) send_reading(scale, false);
    answer_reads(false);
  }
  publish_overview();
}

void ScalesAgent::connection(const comms::Connection& connection) {
  if (link_.connection(connection) == agent::LinkWatch::Change::up) link_up();
}

void ScalesAgent::account_update(const std::optional<Account>& account) {
  if (link_.account(account) == agent::LinkWatch::Change::up) link_up();
}

void ScalesAgent::link_up() {
  send_scales();
  for (auto& [id, scale] : scales_) send_reading(scale, true);
}

void ScalesAgent::set_enabled(bool enabled, bool remember) {
  if (remember && !settings_.enabled) {
    std::error_code ec;
    std::filesystem::create_directories(settings_.dir, ec);
    std::ofstream(settings_.dir / "enabled") << (enabled ? "true\n" : "false\n");
  }
  if (enabled == enabled_) return;
  enabled_ = enabled;
  logger_.info("Scales are %s", enabled_ ? "enabled" : "disabled");
  if (worker_) worker_->set_enabled(enabled);
  if (!enabled) {
    for (auto& [id, scale] : scales_) {
      scale.update.reset();
      scale.sent = nullptr;
    }
    answer_reads(false);
  }
  send_scales();
}

void ScalesAgent::found(const std::vector<ScaleInfo>& list) {
  std::map<std::string, Scale> next;
  for (const ScaleInfo& info : list) {
    auto it = scales_.find(info.id);
    if (it == scales_.end()) {
      logger_.info("Scale found: %s (%s, %s)", escape_control(info.name), info.kind,
                   escape_control(info.id));
      next[info.id].info = info;
    } else {
      it->second.info = info;
      next[info.id] = std::move(it->second);
    }
  }
  for (const auto& [id, scale] : scales_) {
    if (!next.contains(id)) logger_.info("Scale gone: %s", escape_control(scale.info.name));
  }
  scales_ = std::move(next);
  order_ = list;
  listed_ = true;
  send_scales();
  answer_reads(false);
}

void ScalesAgent::updated(const ScaleUpdate& update) {
  const auto it = scales_.find(update.id);
  if (it == scales_.end() || !enabled_) return;
  Scale& scale = it->second;
  const auto now = Clock::now();
  const auto weight = [](const std::optional<ScaleUpdate>& u) {
    return u && u->reading ? std::optional(std::pair(u->reading->weight, u->reading->unit))
                           : std::nullopt;
  };
  if (weight(scale.update) != weight(update)) scale.value_since = now;
  if (!update.fault.empty() && (!scale.update || scale.update->fault != update.fault)) {
    logger_.warning("Scale %s is in fault: %s", escape_control(scale.info.name),
                    escape_control(update.fault));
  }
  scale.update = update;
  send_reading(scale, false);
  if (!scale.info.stable_flag) {
    send_self(STABLE_CHECK, seconds(settings_.stable_window) + 0.01);
  }
  answer_reads(false);
}

bool ScalesAgent::is_stable(const Scale& scale, Clock::time_point now) const {
  if (!scale.update || !scale.update->reading || !scale.update->reading->weight) return false;
  const Reading& r = *scale.update->reading;
  if (r.status != Status::stable && r.status != Status::stable_at_zero) return false;
  return r.has_stable_flag || now - scale.value_since >= settings_.stable_window;
}

nlohmann::json ScalesAgent::reading(const Scale& scale, Clock::time_point now) const {
  if (!scale.update) return nullptr;
  nlohmann::json j = {{"scale", scale.info.id}};
  if (!scale.update->reading) {
    j["status"] = "fault";
    j["stable"] = false;
    j["grams"] = nullptr;
    j["value"] = nullptr;
    j["unit"] = nullptr;
    j["resolution"] = nullptr;
    j["reason"] = printing::clean_text(scale.update->fault, 256);
    return j;
  }
  const Reading& r = *scale.update->reading;
  const bool stable = is_stable(scale, now);
  Status status = r.status;
  // A device without a stable flag is in motion until its value has held.
  if (!stable && (status == Status::stable || status == Status::stable_at_zero)) {
    status = Status::in_motion;
  }
  j["status"] = status_name(status);
  j["stable"] = stable;
  if (r.weight) {
    j["grams"] = grams_text(*r.weight, r.unit);
    j["value"] = decimal_text(*r.weight);
    j["unit"] = unit_name(r.unit);
    j["resolution"] = decimal_text(1, r.weight->exponent);
  } else {
    j["grams"] = nullptr;
    j["value"] = nullptr;
    j["unit"] = nullptr;
    j["resolution"] = nullptr;
  }
  j["reason"] = "";
  return j;
}

void ScalesAgent::send_reading(Scale& scale, bool always) {
  if (!enabled_ || !link_ready()) return;
  const auto now = Clock::now();
  nlohmann::json current = reading(scale, now);
  if (current.is_null() || (!always && current == scale.sent)) return;
  const auto since = now - scale.sent_at;
  if (!always && since < settings_.min_interval) {
    if (!scale.flush_armed) {
      scale.flush_armed = true;
      send_self(FLUSH, scale.info.id, seconds(settings_.min_interval - since) + 0.001);
    }
    return;
  }
  scale.sent = current;
  scale.sent_at = now;
  send_server("scale.reading", std::move(current));
}

void ScalesAgent::send_scales() {
  if (!listed_ || !link_ready()) return;
  nlohmann::json list = nlohmann::json::array();
  for (const ScaleInfo& info : order_) {
    list.push_back({{"id", info.id},
                    {"name", printing::clean_text(info.name, 256)},
                    {"maker", printing::clean_text(info.maker, 256)},
                    {"model", printing::clean_text(info.model, 256)},
                    {"kind", info.kind},
                    {"capabilities", {{"zero", info.zero}, {"stableFlag", info.stable_flag}}}});
  }
  send_server("scales", {{"enabled", enabled_}, {"scales", std::move(list)}});
}

void ScalesAgent::server_message(const comms::ServerMessage& message) {
  if (message.event == "scale.read") {
    read_request(message.payload);
  } else if (message.event == "scale.zero") {
    zero_request(message.payload);
  }
}

void ScalesAgent::read_request(const nlohmann::json& payload) {
  const nlohmann::json id = request_id(payload);
  const auto scale = scale_id(payload);
  const auto answer = [&](std::string_view status, nlohmann::json reading) {
    send_server("scale.read.result", {{"requestId", id},
                                      {"scale", scale ? nlohmann::json(*scale) : nullptr},
                                      {"status", status},
                                      {"reading", std::move(reading)}});
  };
  if (!scale) return answer("bad_request", nullptr);
  if (!enabled_) return answer("disabled", nullptr);
  const auto it = scales_.find(*scale);
  if (it == scales_.end()) return answer("unknown_scale", nullptr);
  bool stable = true;
  std::int64_t timeout_ms = 0;
  if (payload.contains("stable") && payload["stable"].is_boolean()) stable = payload["stable"];
  if (payload.contains("timeoutMs")) {
    if (!payload["timeoutMs"].is_number_integer()) return answer("bad_request", nullptr);
    timeout_ms =
        std::clamp<std::int64_t>(payload["timeoutMs"].get<std::int64_t>(), 0, MAX_READ_TIMEOUT_MS);
  }
  const auto now = Clock::now();
  const nlohmann::json current = reading(it->second, now);
  if (!current.is_null() && (!stable || is_stable(it->second, now))) {
    return answer("ok", current);
  }
  if (timeout_ms == 0 || reads_.size() >= MAX_PENDING_REQUESTS) {
    return answer(current.is_null() ? "no_reading" : "not_stable", current);
  }
  reads_.push_back(
      PendingRead{id, *scale, stable, now + std::chrono::milliseconds(timeout_ms), ++read_serial_});
  send_self(READ_DEADLINE, static_cast<double>(timeout_ms) / 1000.0 + 0.001);
}

void ScalesAgent::answer_reads(bool expired_only) {
  (void)expired_only;
  const auto now = Clock::now();
  std::vector<PendingRead> left;
  for (PendingRead& read : reads_) {
    const auto it = scales_.find(read.scale);
    std::string_view status;
    nlohmann::json current = nullptr;
    if (!enabled_) {
      status = "disabled";
    } else if (it == scales_.end()) {
      status = "unknown_scale";
    } else {
      current = reading(it->second, now);
      if (!current.is_null() && (!read.stable || is_stable(it->second, now))) {
        status = "ok";
      } else if (now >= read.deadline) {
        status = current.is_null() ? "no_reading" : "not_stable";
      }
    }
    if (status.empty()) {
      left.push_back(std::move(read));
      continue;
    }
    send_server("scale.read.result", {{"requestId", read.request_id},
                                      {"scale", read.scale},
                                      {"status", status},
                                      {"reading", std::move(current)}});
  }
  reads_ = std::move(left);
}

void ScalesAgent::zero_request(const nlohmann::json& payload) {
  const nlohmann::json id = request_id(payload);
  const auto scale = scale_id(payload);
  const auto answer = [&](std::string_view status, std::string reason) {
    send_server("scale.zero.result", {{"requestId", id},
                                      {"scale", scale ? nlohmann::json(*scale) : nullptr},
                                      {"status", status},
                                      {"reason", std::move(reason)}});
  };
  if (!scale) return answer("bad_request", "");
  if (!enabled_) return answer("disabled", "");
  const auto it = scales_.find(*scale);
  if (it == scales_.end()) return answer("unknown_scale", "");
  if (!it->second.info.zero) return answer("unsupported", "the scale takes no zero command");
  auto& waiting = zeros_[*scale];
  if (waiting.size() >= MAX_PENDING_REQUESTS) return answer("failed", "too many requests");
  waiting.push_back(id);
  if (waiting.size() == 1) worker_->zero(*scale);
}

void ScalesAgent::zeroed(const ScaleZeroed& zeroed) {
  auto node = zeros_.extract(zeroed.id);
  if (node.empty()) return;
  for (const nlohmann::json& id : node.mapped()) {
    send_server("scale.zero.result", {{"requestId", id},
                                      {"scale", zeroed.id},
                                      {"status", zeroed.error.empty() ? "ok" : "failed"},
                                      {"reason", printing::clean_text(zeroed.error, 256)}});
  }
}

void ScalesAgent::send_server(std::string_view event, nlohmann::json payload) {
  if (!link_ready()) return;
  pubsub_.send(agent::PubSubAgent::PUBLISH,
               agent::publication(core::SEND_SERVER,
                                  agent::Message{std::string(event), std::move(payload), {}}));
}

void ScalesAgent::publish_overview() {
  const auto now = Clock::now();
  nlohmann::json list = nlohmann::json::array();
  for (const ScaleInfo& info : order_) {
    const auto it = scales_.find(info.id);
    list.push_back({{"id", info.id},
                    {"name", printing::clean_text(info.name, 256)},
                    {"kind", info.kind},
                    {"reading", it == scales_.end() ? nullptr : reading(it->second, now)}});
  }
  nlohmann::json overview = {{"enabled", enabled_}, {"scales", std::move(list)}};
  if (overview == overview_sent_) return;
  overview_sent_ = overview;
  pubsub_.send(agent::PubSubAgent::PUBLISH, agent::publication(SCALES_OVERVIEW, overview));
}

}  // namespace quillpost::scales
