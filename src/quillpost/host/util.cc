#include "quillpost/host/util.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace quillpost {
namespace {

std::string_view trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

}  // namespace

bool boolval(std::string_view text, bool fail_to) {
  static constexpr std::array<std::string_view, 6> kTrue{"true", "yes", "on", "1", "t", "y"};
  static constexpr std::array<std::string_view, 6> kFalse{"false", "no", "off", "0", "f", "n"};
  text = trim(text);
  for (auto word : kTrue) {
    if (equals_ignoring_case(text, word)) return true;
  }
  for (auto word : kFalse) {
    if (equals_ignoring_case(text, word)) return false;
  }
  return fail_to;
}

bool is_int(std::string_view text) {
  text = trim(text);
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  if (text.empty()) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string format_duration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  if (seconds < 10) return fmt::format("{:.2f}s", seconds);
  if (seconds < 60) return fmt::format("{:.1f}s", seconds);
  auto whole = static_cast<std::int64_t>(seconds);
  const auto days = whole / 86400;
  const auto hours = whole / 3600 % 24;
  const auto minutes = whole / 60 % 60;
  const auto secs = whole % 60;
  if (days) return fmt::format("{}d {:02}h {:02}m", days, hours, minutes);
  if (hours) return fmt::format("{}h {:02}m {:02}s", hours, minutes, secs);
  return fmt::format("{}m {:02}s", minutes, secs);
}

bool is_valid_computername(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::pair<std::string, std::string> parse_service_discovery_param_arg(std::string_view text) {
  const auto eq = text.find('=');
  if (eq == std::string_view::npos) throw std::runtime_error("should be in format 'key=value'");
  if (eq == 0) throw std::runtime_error("has an empty key");
  return {std::string(text.substr(0, eq)), std::string(text.substr(eq + 1))};
}

}  // namespace quillpost
