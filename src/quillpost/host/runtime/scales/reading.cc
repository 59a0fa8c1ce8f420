#include "quillpost/host/runtime/scales/reading.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace quillpost::scales {

namespace {

struct UnitInfo {
  Unit unit;
  std::string_view name;
  Factor factor;
};

constexpr std::array<UnitInfo, 12> kUnits{{
    {Unit::milligram, "mg", {1, -3}},
    {Unit::gram, "g", {1, 0}},
    {Unit::kilogram, "kg", {1, 3}},
    {Unit::carat, "ct", {2, -1}},
    {Unit::tael, "tael", {3779936375, -8}},
    {Unit::grain, "gr", {6479891, -8}},
    {Unit::pennyweight, "dwt", {155517384, -8}},
    {Unit::metric_ton, "t", {1, 6}},
    {Unit::avoir_ton, "ton", {90718474, -2}},
    {Unit::troy_ounce, "ozt", {311034768, -7}},
    {Unit::ounce, "oz", {28349523125, -9}},
    {Unit::pound, "lb", {45359237, -5}},
}};

const UnitInfo& info(Unit unit) {
  return kUnits[static_cast<std::size_t>(unit) - 1];
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_space(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (is_space(s.front()) || s.front() == '\r' || s.front() == '\n')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (is_space(s.back()) || s.back() == '\r' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

std::vector<std::string_view> split_words(std::string_view s) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (is_space(s[i]) || s[i] == ',')) ++i;
    std::size_t start = i;
    while (i < s.size() && !is_space(s[i]) && s[i] != ',') ++i;
    if (i > start) words.push_back(s.substr(start, i - start));
  }
  return words;
}

// Decimal digits of a x b (both unsigned), most significant first.
std::string multiply(std::uint64_t a, std::uint64_t b) {
  std::string x = std::to_string(a);
  std::string y = std::to_string(b);
  std::vector<int> acc(x.size() + y.size(), 0);
  for (std::size_t i = x.size(); i-- > 0;) {
    for (std::size_t j = y.size(); j-- > 0;) {
      acc[i + j + 1] += (x[i] - '0') * (y[j] - '0');
    }
  }
  for (std::size_t k = acc.size(); k-- > 1;) {
    acc[k - 1] += acc[k] / 10;
    acc[k] %= 10;
  }
  std::string digits;
  for (int d : acc) {
    if (digits.empty() && d == 0) continue;
    digits.push_back(static_cast<char>('0' + d));
  }
  return digits.empty() ? "0" : digits;
}

SerialAnswer fail(std::string why) {
  return SerialAnswer{std::nullopt, std::move(why), false};
}
SerialAnswer refused(std::string why) {
  return SerialAnswer{std::nullopt, std::move(why), true};
}

}  // namespace

std::string_view unit_name(Unit unit) {
  return info(unit).name;
}

std::optional<Unit> unit_from_code(int code) {
  if (code < 1 || code > 12) return std::nullopt;
  return static_cast<Unit>(code);
}

std::optional<Unit> unit_from_text(std::string_view text) {
  for (const auto& u : kUnits) {
    if (iequals(text, u.name)) return u.unit;
  }
  if (iequals(text, "lbs")) return Unit::pound;
  if (iequals(text, "gn")) return Unit::grain;
  return std::nullopt;
}

std::string_view status_name(Status status) {
  switch (status) {
    case Status::fault:
      return "fault";
    case Status::stable_at_zero:
      return "zero";
    case Status::in_motion:
      return "motion";
    case Status::stable:
      return "stable";
    case Status::under_zero:
      return "under_zero";
    case Status::over_weight:
      return "over_weight";
    case Status::needs_calibration:
      return "needs_calibration";
    case Status::needs_rezeroing:
      return "needs_rezeroing";
  }
  return "fault";
}

Factor unit_factor(Unit unit) {
  return info(unit).factor;
}

std::string decimal_text(std::int64_t value, int exponent, std::uint64_t mantissa,
                         int factor_exponent) {
  const bool negative = value < 0;
  const std::uint64_t magnitude =
      negative ? static_cast<std::uint64_t>(-(value + 1)) + 1 : static_cast<std::uint64_t>(value);
  std::string digits = multiply(magnitude, mantissa);
  if (digits == "0") return "0";
  const long shift = static_cast<long>(exponent) + factor_exponent;
  std::string text;
  if (shift >= 0) {
    text = digits + std::string(static_cast<std::size_t>(shift), '0');
  } else {
    const auto places = static_cast<std::size_t>(-shift);
    if (digits.size() <= places) digits.insert(0, places - digits.size() + 1, '0');
    std::string whole = digits.substr(0, digits.size() - places);
    std::string fraction = digits.substr(digits.size() - places);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    text = fraction.empty() ? whole : whole + "." + fraction;
  }
  return negative ? "-" + text : text;
}

std::string grams_text(const Decimal& weight, Unit unit) {
  const Factor f = unit_factor(unit);
  return decimal_text(weight.value, weight.exponent, f.mantissa, f.exponent);
}

std::optional<Reading> parse_hid_report(std::span<const std::uint8_t> report) {
  if (report.size() == 6) {
    report = report.subspan(1);
  } else if (report.size() != 5) {
    return std::nullopt;
  }
  if (report[0] < 1 || report[0] > 8) return std::nullopt;
  auto unit = unit_from_code(report[1]);
  if (!unit) return std::nullopt;
  Reading r;
  r.status = static_cast<Status>(report[0]);
  r.unit = *unit;
  const int exponent = static_cast<std::int8_t>(report[2]);
  std::int64_t weight = report[3] | (report[4] << 8);
  if (r.status == Status::under_zero) weight = -weight;
  if (r.status != Status::fault) r.weight = Decimal{weight, exponent};
  return r;
}

std::optional<Decimal> parse_decimal(std::string_view text) {
  text = trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  }
  std::int64_t value = 0;
  int digits = 0;
  int fraction = 0;
  bool point = false;
  for (char c : text) {
    if (c == '.' && !point) {
      point = true;
    } else if (is_digit(c)) {
      if (++digits > 18) return std::nullopt;
      value = value * 10 + (c - '0');
      if (point) ++fraction;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0) return std::nullopt;
  return Decimal{negative ? -value : value, -fraction};
}

namespace {

// "<number><unit>" or "<number> <unit>": the number's end is where the unit's
// letters begin.
std::optional<std::pair<Decimal, Unit>> weight_and_unit(std::string_view text) {
  text = trim(text);
  std::size_t end = text.size();
  while (end > 0 && std::isalpha(static_cast<unsigned char>(text[end - 1]))) --end;
  auto unit = unit_from_text(text.substr(end));
  if (!unit) return std::nullopt;
  auto number = parse_decimal(text.substr(0, end));
  if (!number) return std::nullopt;
  return std::make_pair(*number, *unit);
}

}  // namespace

SerialAnswer parse_nci(std::string_view frame) {
  while (!frame.empty() && (frame.front() == '\n' || frame.front() == '\r')) frame.remove_prefix(1);
  if (!frame.empty() && frame.back() == '\x03') frame.remove_suffix(1);
  const auto cr = frame.find('\r');
  std::string_view first = trim(frame.substr(0, cr));
  std::string_view rest = cr == std::string_view::npos ? std::string_view{} : frame.substr(cr + 1);
  if (first == "?") return refused("the scale did not know the command");
  std::string_view status = trim(rest);
  if (!status.empty() && status.front() == 'S') status.remove_prefix(1);
  if (status.size() < 2 || status.size() > 3) return fail("no status bytes");
  for (char c : status) {
    if ((static_cast<unsigned char>(c) & 0xF0) != 0x30) return fail("bad status byte");
  }
  const int s1 = status[0] & 0x0F;
  const int s2 = status[1] & 0x0F;
  Reading r;
  auto weight = weight_and_unit(first);
  if (weight) {
    r.weight = weight->first;
    r.unit = weight->second;
  }
  if ((s1 & 0x0C) || (s2 & 0x0C)) {
    r.status = Status::fault;
    r.weight.reset();
  } else if (s2 & 0x02) {
    r.status = Status::over_weight;
  } else if (s2 & 0x01) {
    r.status = Status::under_zero;
  } else if (!weight) {
    return fail("no weight in the answer");
  } else if (s1 & 0x01) {
    r.status = Status::in_motion;
  } else if (s1 & 0x02) {
    r.status = Status::stable_at_zero;
  } else {
    r.status = Status::stable;
  }
  return SerialAnswer{r, {}, true};
}

SerialAnswer parse_sics(std::string_view line) {
  auto words = split_words(trim(line));
  if (words.empty()) return fail("an empty answer");
  if (words[0] == "ES") return refused("the scale did not know the command");
  if (words[0] == "ET") return refused("the scale reported a transmission error");
  if (words[0] == "EL") return refused("the scale reported a logical error");
  if (words[0] != "S" && words[0] != "SI") return fail("not a weight answer");
  if (words.size() < 2) return fail("not a weight answer");
  Reading r;
  const auto kind = words[1];
  if (kind == "I") return refused("the scale is busy");
  if (kind == "+") {
    r.status = Status::over_weight;
    return SerialAnswer{r, {}, true};
  }
  if (kind == "-") {
    r.status = Status::under_zero;
    return SerialAnswer{r, {}, true};
  }
  if (kind != "S" && kind != "D") return fail("not a weight answer");
  if (words.size() < 4) return fail("no weight in the answer");
  auto number = parse_decimal(words[2]);
  auto unit = unit_from_text(words[3]);
  if (words.size() == 5 && (words[2] == "-" || words[2] == "+")) {
    // A sign printed apart from the digits: "S S -   1.234 g".
    number = parse_decimal(std::string(words[2]) + std::string(words[3]));
    unit = unit_from_text(words[4]);
  }
  if (!number || !unit) return fail("no weight in the answer");
  r.weight = *number;
  r.unit = *unit;
  if (kind == "D") {
    r.status = Status::in_motion;
  } else if (number->value == 0) {
    r.status = Status::stable_at_zero;
  } else if (number->value < 0) {
    r.status = Status::under_zero;
  } else {
    r.status = Status::stable;
  }
  return SerialAnswer{r, {}, true};
}

SerialAnswer parse_continuous(std::string_view line) {
  auto words = split_words(trim(line));
  std::optional<bool> stable;
  bool overload = false;
  for (auto w : words) {
    if (w == "ST") stable = true;
    if (w == "US" || w == "MO" || w == "?") stable = false;
    if (w == "OL") overload = true;
  }
  Reading r;
  r.has_stable_flag = stable.has_value();
  if (overload) {
    r.status = Status::over_weight;
    return SerialAnswer{r, {}, true};
  }
  for (std::size_t i = 0; i < words.size(); ++i) {
    // A number with its unit in one word ("1.234kg"), or followed by it.
    if (auto both = weight_and_unit(words[i])) {
      r.weight = both->first;
      r.unit = both->second;
    } else if (i + 1 < words.size()) {
      auto number = parse_decimal(words[i]);
      auto unit = unit_from_text(words[i + 1]);
      if (!number || !unit) continue;
      r.weight = *number;
      r.unit = *unit;
    } else {
      continue;
    }
    if (stable && !*stable) {
      r.status = Status::in_motion;
    } else if (r.weight->value == 0) {
      r.status = Status::stable_at_zero;
    } else if (r.weight->value < 0) {
      r.status = Status::under_zero;
    } else {
      r.status = Status::stable;
    }
    return SerialAnswer{r, {}, true};
  }
  return fail("no weight in the line");
}

}  // namespace quillpost::scales
