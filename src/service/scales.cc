#include "service/scales.h"

#include <array>
#include <chrono>
#include <string_view>

#include "service/printers.h"

namespace quillpost::service {
namespace {

constexpr std::array<std::string_view, 8> kStatuses{
    "fault",          "zero", "motion", "stable", "under_zero", "over_weight", "needs_calibration",
    "needs_rezeroing"};
constexpr std::array<std::string_view, 12> kUnits{"mg",  "g", "kg",  "ct",  "tael", "gr",
                                                  "dwt", "t", "ton", "ozt", "oz",   "lb"};
constexpr std::size_t max_decimal_chars = 400;

bool one_of(const ojson& value, auto names) {
  if (!value.is_string()) return false;
  const auto& text = value.get_ref<const std::string&>();
  for (auto name : names) {
    if (name == text) return true;
  }
  return false;
}

bool short_text(const ojson& value, bool non_empty = false) {
  return value.is_string() &&
         utf8_length(value.get_ref<const std::string&>()) <= max_scale_text_chars &&
         (!non_empty || !value.get_ref<const std::string&>().empty());
}

// "-12.5", "0", "1234": a decimal text with no exponent.
bool decimal(const ojson& value) {
  if (!value.is_string()) return false;
  const auto& text = value.get_ref<const std::string&>();
  if (text.empty() || text.size() > max_decimal_chars) return false;
  std::size_t i = text[0] == '-' ? 1 : 0;
  bool digits = false, point = false;
  for (; i < text.size(); ++i) {
    if (text[i] >= '0' && text[i] <= '9') {
      digits = true;
    } else if (text[i] == '.' && digits && !point && i + 1 < text.size()) {
      point = true;
    } else {
      return false;
    }
  }
  return digits;
}

}  // namespace

std::variant<ojson, std::string> validate_scales(const ojson& payload) {
  if (!payload.is_object()) return std::string("the payload is not an object");
  if (!payload.contains("enabled") || !payload.at("enabled").is_boolean()) {
    return std::string("enabled is not true or false");
  }
  if (!payload.contains("scales") || !payload.at("scales").is_array()) {
    return std::string("scales is not a list");
  }
  if (payload.at("scales").size() > max_scales) return std::string("more than 256 scales");
  ojson list = ojson::array();
  std::size_t i = 0;
  for (const ojson& scale : payload.at("scales")) {
    const std::string where = "scales[" + std::to_string(i++) + "]";
    if (!scale.is_object()) return where + " is not an object";
    if (!short_text(scale.value("id", ojson()), true)) return where + ".id is not a short text";
    for (const char* key : {"name", "maker", "model"}) {
      if (!short_text(scale.value(key, ojson(""))))
        return where + "." + key + " is not a short text";
    }
    if (!one_of(scale.value("kind", ojson()), std::array<std::string_view, 2>{"hid", "serial"})) {
      return where + ".kind is not hid or serial";
    }
    const ojson capabilities = scale.value("capabilities", ojson::object());
    if (!capabilities.is_object()) return where + ".capabilities is not an object";
    for (const char* key : {"zero", "stableFlag"}) {
      if (!capabilities.value(key, ojson(false)).is_boolean()) {
        return where + ".capabilities." + key + " is not true or false";
      }
    }
    list.push_back(ojson{{"id", scale.at("id")},
                         {"name", scale.value("name", "")},
                         {"maker", scale.value("maker", "")},
                         {"model", scale.value("model", "")},
                         {"kind", scale.at("kind")},
                         {"capabilities",
                          {{"zero", capabilities.value("zero", false)},
                           {"stableFlag", capabilities.value("stableFlag", false)}}}});
  }
  return ojson{{"enabled", payload.at("enabled")}, {"scales", std::move(list)}};
}

std::variant<ojson, std::string> validate_scale_reading(const ojson& payload) {
  if (!payload.is_object()) return std::string("the payload is not an object");
  if (!short_text(payload.value("scale", ojson()), true))
    return std::string("scale is not a short text");
  if (!one_of(payload.value("status", ojson()), kStatuses))
    return std::string("status is not known");
  if (!payload.value("stable", ojson()).is_boolean())
    return std::string("stable is not true or false");
  for (const char* key : {"grams", "value", "resolution"}) {
    const ojson value = payload.value(key, ojson());
    if (!value.is_null() && !decimal(value)) return std::string(key) + " is not a decimal text";
  }
  const ojson unit = payload.value("unit", ojson());
  if (!unit.is_null() && !one_of(unit, kUnits)) return std::string("unit is not known");
  if (!short_text(payload.value("reason", ojson(""))))
    return std::string("reason is not a short text");
  return ojson{{"scale", payload.at("scale")},
               {"status", payload.at("status")},
               {"stable", payload.at("stable")},
               {"grams", payload.value("grams", ojson())},
               {"value", payload.value("value", ojson())},
               {"unit", unit},
               {"resolution", payload.value("resolution", ojson())},
               {"reason", payload.value("reason", "")},
               {"receivedAt", utc_time_text(std::chrono::system_clock::now())}};
}

void ScaleBook::set_scales(const ComputerKey& computer, ojson checked) {
  Kept& kept = computers_[computer];
  kept.enabled = checked["enabled"].get<bool>();
  kept.scales = std::move(checked["scales"]);
  kept.updated_at = utc_time_text(std::chrono::system_clock::now());
  std::map<std::string, ojson> readings;
  for (const ojson& scale : kept.scales) {
    const auto id = scale.at("id").get<std::string>();
    if (auto it = kept.readings.find(id); it != kept.readings.end() && kept.enabled) {
      readings.emplace(id, std::move(it->second));
    }
  }
  kept.readings = std::move(readings);
}

bool ScaleBook::set_reading(const ComputerKey& computer, ojson checked, std::string& error) {
  const auto it = computers_.find(computer);
  const std::string id = checked["scale"].get<std::string>();
  if (it == computers_.end()) {
    error = "the computer has listed no scales";
    return false;
  }
  bool listed = false;
  for (const ojson& scale : it->second.scales) listed = listed || scale.at("id") == id;
  if (!listed) {
    error = "the computer has not listed this scale";
    return false;
  }
  it->second.readings[id] = std::move(checked);
  ++it->second.reading_count;
  return true;
}

void ScaleBook::set_result(const ComputerKey& computer, const std::string& event,
                           const ojson& payload) {
  const std::string text = payload.dump();
  computers_[computer].results[event] =
      text.size() <= 4096 ? payload : ojson{{"refused", "longer than 4096 bytes"}};
}

ojson ScaleBook::view() const {
  ojson computers = ojson::array();
  for (const auto& [key, kept] : computers_) {
    ojson scales = ojson::array();
    for (const ojson& scale : kept.scales) {
      ojson shown = scale;
      const auto it = kept.readings.find(scale.at("id").get<std::string>());
      shown["reading"] = it == kept.readings.end() ? ojson() : it->second;
      scales.push_back(std::move(shown));
    }
    computers.push_back(ojson{{"accountId", key.account_id},
                              {"computer", key.computer},
                              {"updatedAt", kept.updated_at},
                              {"enabled", kept.enabled},
                              {"readings", kept.reading_count},
                              {"scales", std::move(scales)},
                              {"lastResults", kept.results}});
  }
  return ojson{{"computers", std::move(computers)}};
}

}  // namespace quillpost::service
