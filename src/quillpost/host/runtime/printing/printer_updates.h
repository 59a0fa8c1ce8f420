// What the link is told of the printers. The whole list (`printers`) goes
// after every handshake and whenever a printer comes, goes or changes in
// anything but its state; a change of state alone (state, reasons, accepting
// jobs) goes as a small `printers.state` message, at most one per printer a
// second: a printer that flips while it prints costs a few bytes, not the
// whole list.
#pragma once

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace quillpost::printing {

class PrinterUpdates {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds STATE_INTERVAL{1};

  struct Message {
    std::string event;
    nlohmann::json payload;
  };
  struct Update {
    std::vector<Message> messages;  // to send now, in order
    // When a state held back by the interval may go: call update again then.
    std::optional<Clock::time_point> call_again;
  };

  // A new link: the next update sends the whole list.
  void reset();
  // The messages that bring the link from what it was told to `payload` (a
  // printers_payload) at `now`.
  Update update(const nlohmann::json& payload, Clock::time_point now);

 private:
  std::optional<nlohmann::json> told_;                   // the list as the link knows it
  std::map<std::string, Clock::time_point> state_sent_;  // by printer name
};

}  // namespace quillpost::printing
