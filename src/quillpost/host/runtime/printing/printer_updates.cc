#include "quillpost/host/runtime/printing/printer_updates.h"

#include <algorithm>
#include <array>

namespace quillpost::printing {
namespace {

constexpr std::array<const char*, 3> STATE_KEYS{"state", "stateReasons", "acceptingJobs"};

nlohmann::json state_of(const nlohmann::json& printer) {
  nlohmann::json state{{"name", printer["name"]}};
  for (const char* key : STATE_KEYS) state[key] = printer[key];
  return state;
}

nlohmann::json without_state(nlohmann::json printer) {
  for (const char* key : STATE_KEYS) printer.erase(key);
  return printer;
}

// Whether `now` differs from `told` in the states of its printers alone.
bool only_states_differ(const nlohmann::json& told, const nlohmann::json& now) {
  const nlohmann::json& was = told["printers"];
  const nlohmann::json& is = now["printers"];
  if (was.size() != is.size() || told.value("truncated", false) != now.value("truncated", false)) {
    return false;
  }
  for (std::size_t i = 0; i < is.size(); ++i) {
    if (without_state(was[i]) != without_state(is[i])) return false;
  }
  return true;
}

}  // namespace

void PrinterUpdates::reset() {
  told_.reset();
  state_sent_.clear();
}

PrinterUpdates::Update PrinterUpdates::update(const nlohmann::json& payload,
                                              Clock::time_point now) {
  Update out;
  if (told_ && *told_ == payload) return out;
  if (!told_ || !only_states_differ(*told_, payload)) {
    told_ = payload;
    out.messages.push_back({"printers", payload});
    return out;
  }
  nlohmann::json changes = nlohmann::json::array();
  nlohmann::json& told = (*told_)["printers"];
  const nlohmann::json& current = payload["printers"];
  for (std::size_t i = 0; i < current.size(); ++i) {
    const nlohmann::json state = state_of(current[i]);
    if (state == state_of(told[i])) continue;
    const std::string name = current[i]["name"].get<std::string>();
    const auto last = state_sent_.find(name);
    if (last != state_sent_.end() && now < last->second + STATE_INTERVAL) {
      const Clock::time_point due = last->second + STATE_INTERVAL;
      out.call_again = out.call_again ? std::min(*out.call_again, due) : due;
      continue;
    }
    state_sent_[name] = now;
    told[i] = current[i];
    changes.push_back(state);
  }
  if (!changes.empty()) {
    out.messages.push_back({"printers.state", {{"printers", std::move(changes)}}});
  }
  return out;
}

}  // namespace quillpost::printing
