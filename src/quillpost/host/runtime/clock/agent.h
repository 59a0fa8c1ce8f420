// The clock check agent, registered as "clock_check" (spawned unless the
// configuration turns the check off).
//
// It compares the computer's clock with clocks it trusts more, at no cost of
// its own by default: the kernel's view (is the clock synchronised, and its
// estimated error), and the offset that the Date header of every answer of
// the service shows (the HTTP engines hand them in through comms/clock.h).
// Configured time servers are asked with SNTP at start and every few hours.
// An offset over comms::CLOCK_OFFSET_LIMIT_SECONDS gives one warning (log,
// journal, GUI log) until it comes back within half the limit. Every change is
// published through "pubsub" under CLOCK_STATUS (payload ClockStatus) for the
// status page and the window.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/comms/clock.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/runtime/clock/sntp.h"

namespace quillpost::clock {

inline constexpr std::string_view CLOCK_STATUS = "clock_status";

struct ClockStatus {
  // The kernel's word: synchronised to a time source, and its estimated error.
  bool synchronised = false;
  std::optional<double> estimated_error;   // seconds
  std::optional<comms::ClockSample> last;  // the latest offset seen
  bool off = false;                        // the latest offset is over the limit
  // "The computer's clock is 3 h 0 min behind the service's." when off.
  std::string text;
};

// What the status page and the window say of the clock: the warning when the
// clock is off, else whether it is synchronised and how close to the last
// clock it was compared with.
std::string status_line(const ClockStatus& status);

struct ClockCheckSettings {
  std::vector<SntpServer> servers;
  std::chrono::milliseconds sntp_interval{std::chrono::hours(4)};
  std::chrono::milliseconds sntp_timeout{std::chrono::seconds(3)};
};

class ClockCheckAgent : public agent::SimpleAgent {
 public:
  static constexpr std::string_view name = "clock_check";
  static constexpr std::string_view SAMPLE = "clock_sample";  // payload: comms::ClockSample
  static constexpr std::string_view ASK_SERVERS = "clock_ask_servers";
  static constexpr std::string_view SERVER_FAILED = "clock_server_failed";  // payload: text

  explicit ClockCheckAgent(ClockCheckSettings settings);
  ~ClockCheckAgent() override;

  void before() override;
  void receive(const std::string& event, const agent::Payload& payload) override;

 private:
  void take(const comms::ClockSample& sample);
  void ask_servers();
  void publish();

  ClockCheckSettings settings_;
  logs::Logger logger_;
  ClockStatus status_;
};

}  // namespace quillpost::clock
