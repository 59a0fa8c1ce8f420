// The scale report parsers and the exact grams, from tables of reports in
// the devices' own formats.
#include "quillpost/host/runtime/scales/reading.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillpost::scales {
namespace {

TEST(ScaleGrams, EachUnitIsExact) {
  struct Case {
    Unit unit;
    Decimal weight;
    std::string grams;
  };
  const std::vector<Case> cases = {
      {Unit::milligram, {1500, 0}, "1.5"},
      {Unit::gram, {-12, -1}, "-1.2"},
      {Unit::kilogram, {1234, -3}, "1234"},
      {Unit::carat, {5, 0}, "1"},
      {Unit::tael, {1, 0}, "37.79936375"},
      {Unit::grain, {7000, 0}, "453.59237"},       // a pound
      {Unit::pennyweight, {20, 0}, "31.1034768"},  // a troy ounce
      {Unit::metric_ton, {25, -1}, "2500000"},
      {Unit::avoir_ton, {1, 0}, "907184.74"},
      {Unit::troy_ounce, {1, 0}, "31.1034768"},
      {Unit::ounce, {6452, -1}, "18291.11232025"},  // 645.2 oz
      {Unit::ounce, {16, 0}, "453.59237"},
      {Unit::pound, {-65535, 2}, "-2972617596.795"},
      {Unit::pound, {0, -3}, "0"},
      {Unit::gram, {INT64_MIN, -18}, "-9.223372036854775808"},
      {Unit::milligram, {1, -127}, "0." + std::string(129, '0') + "1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(grams_text(c.weight, c.unit), c.grams) << unit_name(c.unit);
  }
}

TEST(ScaleHidReport, Parses) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    std::optional<Reading> expected;
  };
  auto reading = [](Status s, Unit u, std::int64_t v, int e) {
    return Reading{s, Decimal{v, e}, u, true};
  };
  const std::vector<Case> cases = {
      {{0x03, 0x04, 0x0B, 0xFF, 0x34, 0x19}, reading(Status::stable, Unit::ounce, 6452, -1)},
      {{0x04, 0x0B, 0xFF, 0x34, 0x19}, reading(Status::stable, Unit::ounce, 6452, -1)},
      {{0x03, 0x02, 0x02, 0x00, 0x00, 0x00}, reading(Status::stable_at_zero, Unit::gram, 0, 0)},
      {{0x03, 0x03, 0x03, 0xFD, 0xE8, 0x03}, reading(Status::in_motion, Unit::kilogram, 1000, -3)},
      {{0x03, 0x05, 0x0C, 0xFE, 0x0A, 0x00}, reading(Status::under_zero, Unit::pound, -10, -2)},
      {{0x03, 0x06, 0x01, 0x7F, 0xFF, 0xFF},
       reading(Status::over_weight, Unit::milligram, 65535, 127)},
      {{0x03, 0x07, 0x02, 0x80, 0x01, 0x00},
       reading(Status::needs_calibration, Unit::gram, 1, -128)},
      {{0x03, 0x08, 0x02, 0x00, 0x05, 0x00}, reading(Status::needs_rezeroing, Unit::gram, 5, 0)},
      {{0x03, 0x01, 0x02, 0x00, 0x05, 0x00},
       Reading{Status::fault, std::nullopt, Unit::gram, true}},
      {{0x03, 0x09, 0x02, 0x00, 0x00, 0x00}, std::nullopt},  // status out of range
      {{0x03, 0x00, 0x02, 0x00, 0x00, 0x00}, std::nullopt},
      {{0x03, 0x04, 0x0D, 0x00, 0x00, 0x00}, std::nullopt},        // unit out of range
      {{0x04, 0x00, 0x00, 0x00}, std::nullopt},                    // short
      {{0x03, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00}, std::nullopt},  // long
      {{}, std::nullopt},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(parse_hid_report(cases[i].bytes), cases[i].expected) << "case " << i;
  }
}

struct SerialCase {
  std::string text;
  std::optional<Status> status;  // unset: refused
  std::string grams;             // "" when no weight
  bool has_stable_flag = true;
};

void check(const SerialAnswer& answer, const SerialCase& c) {
  SCOPED_TRACE(c.text);
  ASSERT_EQ(answer.reading.has_value(), c.status.has_value()) << answer.error;
  if (!c.status) {
    EXPECT_FALSE(answer.error.empty());
    return;
  }
  EXPECT_EQ(answer.reading->status, *c.status);
  EXPECT_EQ(answer.reading->has_stable_flag, c.has_stable_flag);
  const auto& w = answer.reading->weight;
  EXPECT_EQ(w ? grams_text(*w, answer.reading->unit) : "", c.grams);
}

TEST(ScaleSerial, Nci) {
  const std::vector<SerialCase> cases = {
      {"\n0001.25lb\r\n00\r\x03", Status::stable, "566.9904625"},
      {"\n  12.5oz\r\n10\r\x03", Status::in_motion, "354.3690390625"},
      {"\n-000.50kg\r\n00\r\x03", Status::stable, "-500"},
      {"\n0000.00lb\r\n20\r\x03", Status::stable_at_zero, "0"},
      {"\n------lb\r\n01\r\x03", Status::under_zero, ""},
      {"\n0031.00lb\r\n02\r\x03", Status::over_weight, "14061.36347"},
      {"\n0001.00lb\r\n40\r\x03", Status::fault, ""},   // RAM error
      {"\n0001.00lb\r\n0<0\r\x03", Status::fault, ""},  // bad calibration, with a third byte
      {"\n?\r\x03", std::nullopt, ""},
      {"\n0001.00xx\r\n00\r\x03", std::nullopt, ""},
      {"\n0001.00lb\r\n\x01\x02\r\x03", std::nullopt, ""},
      {"\n0001.00lb\r\x03", std::nullopt, ""},
      {"", std::nullopt, ""},
  };
  for (const auto& c : cases) check(parse_nci(c.text), c);
}

TEST(ScaleSerial, Sics) {
  const std::vector<SerialCase> cases = {
      {"S S     1.234 kg", Status::stable, "1234"},
      {"S D     1.230 kg", Status::in_motion, "1230"},
      {"S S    -0.020 g", Status::under_zero, "-0.02"},
      {"S S -     3.5 lb", Status::under_zero, "-1587.573295"},
      {"S S     0.000 kg", Status::stable_at_zero, "0"},
      {"S +", Status::over_weight, ""},
      {"S -", Status::under_zero, ""},
      {"S I", std::nullopt, ""},
      {"ES", std::nullopt, ""},
      {"S S  1.2.3 kg", std::nullopt, ""},
      {"S S  12345678901234567890 g", std::nullopt, ""},
      {"S X 1 g", std::nullopt, ""},
      {"\x7f\x01garbage", std::nullopt, ""},
  };
  for (const auto& c : cases) check(parse_sics(c.text), c);
}

TEST(ScaleSerial, Continuous) {
  const std::vector<SerialCase> cases = {
      {"ST,GS,+0001.234 kg", Status::stable, "1234"},
      {"US,GS,+0001.230 kg", Status::in_motion, "1230"},
      {"OL,GS,+9999.999 kg", Status::over_weight, "", false},
      {"  0.45lb", Status::stable, "204.1165665", false},
      {"-2 oz", Status::under_zero, "-56.69904625", false},
      {"hello", std::nullopt, ""},
      {"12.5", std::nullopt, ""},
  };
  for (const auto& c : cases) check(parse_continuous(c.text), c);
}

}  // namespace
}  // namespace quillpost::scales
