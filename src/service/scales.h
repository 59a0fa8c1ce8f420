// The scales of each computer ("scales") and their last readings
// ("scale.reading"), checked before they are kept: they come from the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>

#include "service/print_jobs.h"

namespace quillpost::service {

inline constexpr std::size_t max_scale_text_chars = 256;
inline constexpr std::size_t max_scales = 256;

// The payload of "scales" as kept: {"enabled", "scales": [{"id", "name",
// "maker", "model", "kind", "capabilities": {"zero", "stableFlag"}}]}, or
// what is wrong with it.
std::variant<ojson, std::string> validate_scales(const ojson& payload);
// The payload of "scale.reading" as kept: {"scale", "status", "stable",
// "grams", "value", "unit", "resolution", "reason"}, or what is wrong.
std::variant<ojson, std::string> validate_scale_reading(const ojson& payload);

class ScaleBook {
 public:
  // False (with `error`) when the computer has not listed the scale.
  void set_scales(const ComputerKey& computer, ojson checked);
  bool set_reading(const ComputerKey& computer, ojson checked, std::string& error);
  // The last answer to a "scale.read" or "scale.zero" ("scale.read.result",
  // "scale.zero.result"), kept as it came (bounded) for the control endpoint.
  void set_result(const ComputerKey& computer, const std::string& event, const ojson& payload);
  // {"computers": [{"accountId", "computer", "updatedAt", "enabled", "readings",
  //  "scales": [{... "reading"}], "lastResults"}]}
  ojson view() const;

 private:
  struct Kept {
    ojson scales = ojson::array();
    bool enabled = false;
    std::string updated_at;
    std::map<std::string, ojson> readings;  // by scale id
    std::uint64_t reading_count = 0;
    ojson results = ojson::object();
  };
  std::map<ComputerKey, Kept> computers_;
};

}  // namespace quillpost::service
