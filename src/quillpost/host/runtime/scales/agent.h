// The scales agent, registered as "scales": serves the computer's scales
// through the service link, as the printing agent serves its printers.
//
// It hears the client's connection status and server messages through
// "pubsub" and sends with core::SEND_SERVER while the link is handshaked:
// `scales` (the list, after every handshake and on every change) and
// `scale.reading` (while scales are enabled, on a change of value or status,
// at most one per 100 ms a scale); it answers `scale.read` and `scale.zero`.
// The devices are read by a DeviceWorker on its own thread, never on the
// runtime's.
//
// A reading of a device that says whether it is stable is stable when the
// device says so; of one that does not, when its value has stayed the same
// for `stable_window`.
//
// Enabled: the configuration's scales_enabled; unset, the last choice made
// in the window (SCALES_SET_ENABLED, kept in the settings directory), off at
// first. The agent publishes SCALES_OVERVIEW (JSON) for the status page and
// the window.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/comms/defs.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/runtime/agent/link_watch.h"
#include "quillpost/host/runtime/scales/devices.h"
#include "quillpost/host/world/world.h"

namespace quillpost::scales {

// Published to turn the scales on or off (payload: bool).
inline constexpr std::string_view SCALES_SET_ENABLED = "scales_set_enabled";
// Published by the agent on every change: {"enabled", "scales": [{info..., "reading"}]}.
inline constexpr std::string_view SCALES_OVERVIEW = "scales_overview";

struct ScalesSettings {
  std::filesystem::path dir;    // the settings directory's "scales"
  std::optional<bool> enabled;  // the configuration's scales_enabled
  DeviceSettings devices;
  std::chrono::milliseconds stable_window{1000};
  std::chrono::milliseconds min_interval{100};  // between two readings of one scale
  std::optional<Account> account = std::nullopt;
};

class ScalesAgent : public agent::SimpleAgent {
 public:
  static constexpr std::string_view name = "scales";
  static constexpr std::size_t MAX_PENDING_REQUESTS = 100;
  static constexpr std::int64_t MAX_READ_TIMEOUT_MS = 60000;

  explicit ScalesAgent(ScalesSettings settings);
  ~ScalesAgent() override;

  void before() override;
  void receive(const std::string& event, const agent::Payload& payload) override;

 private:
  using Clock = std::chrono::steady_clock;
  struct Scale {
    ScaleInfo info;
    std::optional<ScaleUpdate> update;
    Clock::time_point value_since{};
    nlohmann::json sent;  // the last reading sent on this link
    Clock::time_point sent_at{};
    bool flush_armed = false;
  };
  struct PendingRead {
    nlohmann::json request_id;
    std::string scale;
    bool stable = true;
    Clock::time_point deadline;
    int serial = 0;
  };

  void connection(const comms::Connection& connection);
  void account_update(const std::optional<Account>& account);
  bool link_ready() const { return link_.ready(); }
  void link_up();
  void set_enabled(bool enabled, bool remember);
  void found(const std::vector<ScaleInfo>& list);
  void updated(const ScaleUpdate& update);
  void server_message(const comms::ServerMessage& message);
  void read_request(const nlohmann::json& payload);
  void zero_request(const nlohmann::json& payload);
  void zeroed(const ScaleZeroed& zeroed);
  // The reading of `scale` now (null when it has none).
  nlohmann::json reading(const Scale& scale, Clock::time_point now) const;
  bool is_stable(const Scale& scale, Clock::time_point now) const;
  void send_reading(Scale& scale, bool always);
  void send_scales();
  void answer_reads(bool expired_only);
  void send_server(std::string_view event, nlohmann::json payload);
  void publish_overview();

  ScalesSettings settings_;
  logs::Logger logger_;
  agent::Channel pubsub_;
  std::unique_ptr<DeviceWorker> worker_;
  bool enabled_ = false;
  agent::LinkWatch link_;
  std::map<std::string, Scale> scales_;
  std::vector<ScaleInfo> order_;
  bool listed_ = false;
  std::vector<PendingRead> reads_;
  int read_serial_ = 0;
  std::map<std::string, std::vector<nlohmann::json>> zeros_;  // scale id: request ids
  nlohmann::json overview_sent_;
};

}  // namespace quillpost::scales
