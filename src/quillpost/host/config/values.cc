#include "quillpost/host/config/values.h"

#include <algorithm>
#include <array>

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

}  // namespace quillpost
