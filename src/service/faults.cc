#include "service/faults.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

namespace quillpost::service {

namespace {

struct Knob {
  std::string_view name;
  std::vector<std::string_view> allowed;  // empty: a number of seconds
};

const std::array<Knob, 6>& knobs() {
  static const std::array<Knob, 6> table{{
      {"discovery", {"ok", "500", "malformed", "hang", "closed-port"}},
      {"socket", {"ok", "silent"}},
      {"auth",
       {"ok", "fail", "rejected", "rejected-destroy", "rejected-bare", "rejected-destroy-bare",
        "error", "oversized", "malformed"}},
      {"heartbeat", {"answer", "ignore"}},
      {"retry-after", {}},
      {"document",
       {"ok", "404", "500", "503", "corrupt", "redirect", "redirect-loop", "hang", "truncated"}},
  }};
  return table;
}

const Knob* find_knob(std::string_view name) {
  for (const Knob& knob : knobs()) {
    if (knob.name == name) {
      return &knob;
    }
  }
  return nullptr;
}

bool parse_seconds(std::string_view text, double& out) {
  if (text.empty()) {
    return false;
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && out >= 0 && out < 1e9;
}

std::string join(const std::vector<std::string_view>& items) {
  std::string text;
  for (auto item : items) {
    text += text.empty() ? "" : ", ";
    text += item;
  }
  return text;
}

}  // namespace

Faults::Faults() {
  for (const Knob& knob : knobs()) {
    values_.emplace(std::string(knob.name),
                    knob.allowed.empty() ? "1" : std::string(knob.allowed.front()));
  }
}

std::string Faults::set(std::string_view knob_name, std::string_view value) {
  const Knob* knob = find_knob(knob_name);
  if (knob == nullptr) {
    return "unknown fault knob '" + std::string(knob_name) + "'";
  }
  if (knob->allowed.empty()) {
    double seconds = 0;
    if (!parse_seconds(value, seconds)) {
      return "fault knob " + std::string(knob_name) + " takes a number of seconds, not '" +
             std::string(value) + "'";
    }
  } else if (std::find(knob->allowed.begin(), knob->allowed.end(), value) == knob->allowed.end()) {
    return "fault knob " + std::string(knob_name) + " takes one of " + join(knob->allowed) +
           ", not '" + std::string(value) + "'";
  }
  values_.find(knob_name)->second = std::string(value);
  return {};
}

std::string Faults::set_assignment(std::string_view assignment) {
  auto equals = assignment.find('=');
  if (equals == std::string_view::npos) {
    return "fault '" + std::string(assignment) + "' is not of the form knob=value";
  }
  return set(assignment.substr(0, equals), assignment.substr(equals + 1));
}

std::string Faults::set_json(const nlohmann::json& object) {
  if (!object.is_object()) {
    return "expected a JSON object of fault knobs";
  }
  Faults updated = *this;
  for (const auto& [knob, value] : object.items()) {
    std::string text;
    if (value.is_string()) {
      text = value.get<std::string>();
    } else if (value.is_number()) {
      text = value.dump();
    } else {
      return "fault knob " + knob + " needs a text or number value";
    }
    if (std::string error = updated.set(knob, text); !error.empty()) {
      return error;
    }
  }
  *this = std::move(updated);
  return {};
}

const std::string& Faults::get(std::string_view knob) const {
  auto it = values_.find(knob);
  if (it == values_.end()) {
    throw std::logic_error("unknown fault knob " + std::string(knob));
  }
  return it->second;
}

double Faults::retry_after() const {
  double seconds = 1;
  parse_seconds(get("retry-after"), seconds);
  return seconds;
}

nlohmann::json Faults::to_json() const {
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [knob, value] : values_) {
    object[knob] = value;
  }
  return object;
}

}  // namespace quillpost::service
