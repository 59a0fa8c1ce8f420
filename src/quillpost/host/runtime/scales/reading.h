// What a scale reports, and the parsers of the device formats: the HID scale
// data report (usage page 0x8D) and the lines of serial scales (the NCI and
// SICS command protocols, and scales that print readings on their own).
//
// Weights are exact decimals (a signed integer and a power of ten), never
// binary floating point: a reading's grams are value x 10^exponent x the
// unit's factor, written as a decimal text without rounding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillpost::scales {

// The HID unit codes 1 to 12, in their order.
enum class Unit : std::uint8_t {
  milligram = 1,
  gram,
  kilogram,
  carat,
  tael,
  grain,
  pennyweight,
  metric_ton,
  avoir_ton,
  troy_ounce,
  ounce,
  pound,
};

// The HID status codes 1 to 8, in their order.
enum class Status : std::uint8_t {
  fault = 1,
  stable_at_zero,
  in_motion,
  stable,
  under_zero,
  over_weight,
  needs_calibration,
  needs_rezeroing,
};

// The unit's short name on the wire ("mg", "g", "kg", "ct", "tael", "gr",
// "dwt", "t", "ton", "ozt", "oz", "lb").
std::string_view unit_name(Unit unit);
std::optional<Unit> unit_from_code(int code);
// A unit as serial scales print it (case-insensitive: "g", "kg", "lb", "oz", ...).
std::optional<Unit> unit_from_text(std::string_view text);
// "fault", "zero", "motion", "stable", "under_zero", "over_weight",
// "needs_calibration", "needs_rezeroing".
std::string_view status_name(Status status);

// The unit's size in grams, exact: mantissa x 10^exponent. The tael is the
// Hong Kong tael (a sixteenth of the legal catty of 0.60478982 kg), the
// avoirdupois ton the short ton of 2000 pounds.
struct Factor {
  std::uint64_t mantissa;
  int exponent;
};
Factor unit_factor(Unit unit);

// value x 10^exponent.
struct Decimal {
  std::int64_t value = 0;
  int exponent = 0;
  bool operator==(const Decimal&) const = default;
};

// The exact decimal text of value x 10^exponent x mantissa x 10^factor_exponent:
// no exponent notation, no trailing zeros after the point, no "-0".
std::string decimal_text(std::int64_t value, int exponent, std::uint64_t mantissa = 1,
                         int factor_exponent = 0);
inline std::string decimal_text(const Decimal& d) {
  return decimal_text(d.value, d.exponent);
}
std::string grams_text(const Decimal& weight, Unit unit);

// One reading of a scale. `weight` is unset when the device gave none (a
// fault, an overload shown without a number, a busy scale).
struct Reading {
  Status status = Status::fault;
  std::optional<Decimal> weight;
  Unit unit = Unit::gram;
  // The device says whether the weight is stable (HID status, SICS S/D, NCI
  // motion bit); false: the agent decides by time.
  bool has_stable_flag = true;
  bool operator==(const Reading&) const = default;
};

// The HID scale data report as read from hidraw: with its report id (6
// bytes) or without one (5 bytes): status, unit, exponent (signed), weight
// (16 bits, little endian). The weight of an "under zero" report is taken
// as negative. Unset for a report of another size or with a status or unit
// outside the standard's codes.
std::optional<Reading> parse_hid_report(std::span<const std::uint8_t> report);

// A decimal number as a scale prints it: optional sign, digits, optional
// point and digits (at most 18 digits in all; spaces between the sign and
// the digits are allowed).
std::optional<Decimal> parse_decimal(std::string_view text);

// The result of parsing a serial answer: a reading, or an error the scale
// reported (an unknown command, busy), or a frame that is not the protocol.
struct SerialAnswer {
  std::optional<Reading> reading;
  std::string error;  // set when there is no reading: why
  // The frame is the protocol's own (busy, an unknown command), not garbage.
  bool recognised = true;
};

// NCI: the answer to "W\r" is "\n<weight><unit>\r\n<status bytes>\r\x03"
// (the text between the first LF and the ETX is passed). Status byte 1: bit 0
// motion, bit 1 at zero, bits 2-3 RAM/EEPROM error; byte 2: bit 0 under
// capacity, bit 1 over capacity, bits 2-3 ROM error and bad calibration.
SerialAnswer parse_nci(std::string_view frame);
// SICS: one answer line to "SI" or "S" without its CR LF: "S S <weight> <unit>",
// "S D <weight> <unit>", "S I", "S +", "S -", or an error ("ES", "ET", "EL").
SerialAnswer parse_sics(std::string_view line);
// A line a scale prints on its own: the first signed number followed by a
// unit; "ST"/"US" (stable/unstable) and "OL" (overload) markers are read when
// present, else the reading has no stable flag.
SerialAnswer parse_continuous(std::string_view line);

}  // namespace quillpost::scales
