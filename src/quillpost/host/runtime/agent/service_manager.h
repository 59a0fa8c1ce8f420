// The service manager's agent: tells a service manager (systemd, through
// $NOTIFY_SOCKET) what the connection is doing, and keeps its watchdog fed.
//
// In `before` it subscribes through "pubsub" to the connection status
// (comms::UPDATE_CONNECTION) and sends each one as a status line, which
// `systemctl status` shows ("Handshaked: account 1, computer 1001",
// "Disconnected: <reason>; retry in 10 s"). When the watchdog is on
// ($WATCHDOG_USEC) it sends WATCHDOG=1 at once and then every half period,
// from the runtime's thread: a runtime that no longer handles its messages no
// longer pings, and the service manager restarts the program. Without
// $NOTIFY_SOCKET it does nothing.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/comms/defs.h"
#include "quillpost/host/process/environment.h"

namespace quillpost::agent {

// The status line of a published connection status.
std::string connection_status_text(const comms::Connection& connection);

class ServiceManagerAgent : public SimpleAgent {
 public:
  static constexpr std::string_view name = "service_manager";
  // Self-sent every half watchdog period.
  static constexpr std::string_view WATCHDOG_PING = "watchdog_ping";

  explicit ServiceManagerAgent(Getenv getenv);

  void before() override;
  void receive(const std::string& event, const Payload& payload) override;

 private:
  void ping();

  Getenv getenv_;
  std::optional<std::chrono::microseconds> watchdog_;
};

}  // namespace quillpost::agent
