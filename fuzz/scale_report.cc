// Fuzzes the scale parsers: the first byte picks the format (HID report,
// NCI answer, SICS line, continuous line), the rest is the input.
//
// No input crashes a parser, and every accepted weight's grams are
// value x 10^exponent x the unit's factor: checked here against a second,
// independent computation (the value times the factor, digit by digit, and
// the point moved by comparing the texts with their points taken out).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "checks.h"
#include "quillpost/host/runtime/scales/reading.h"

namespace {

using namespace quillpost::scales;

constexpr const char* kTarget = "scale report";

// Digits of the text with its sign and point removed, without leading zeros,
// and the power of ten of its last digit.
std::pair<std::string, long> unscaled(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  std::string digits;
  long scale = 0;
  bool point = false;
  for (char c : text) {
    if (c == '.') {
      point = true;
      continue;
    }
    if (c < '0' || c > '9') quillpost::fuzz::fail(kTarget, "a character that is not a digit");
    digits.push_back(c);
    if (point) --scale;
  }
  while (digits.size() > 1 && digits.back() == '0') {
    digits.pop_back();
    ++scale;
  }
  const auto first = digits.find_first_not_of('0');
  digits = first == std::string::npos ? "0" : digits.substr(first);
  return {digits, digits == "0" ? 0 : scale};
}

void check_grams(const Reading& reading) {
  if (!reading.weight) return;
  const Decimal w = *reading.weight;
  const Factor f = unit_factor(reading.unit);
  const std::string grams = grams_text(w, reading.unit);
  if (grams.empty() || grams == "-0" || grams.back() == '.')
    quillpost::fuzz::fail(kTarget, "a malformed grams text");
  if ((grams.front() == '-') != (w.value < 0)) quillpost::fuzz::fail(kTarget, "the sign was lost");
  if (grams.find('.') != std::string::npos && grams.back() == '0') {
    quillpost::fuzz::fail(kTarget, "a trailing zero after the point");
  }
  // value x factor as an integer text, then its power of ten.
  const auto [expected_digits, expected_scale] = unscaled(decimal_text(w.value, 0, f.mantissa, 0));
  const auto [digits, scale] = unscaled(grams);
  if (digits != expected_digits) quillpost::fuzz::fail(kTarget, "grams digits differ");
  if (digits != "0" && scale != expected_scale + w.exponent + f.exponent) {
    quillpost::fuzz::fail(kTarget, "grams off by a power of ten");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
  SerialAnswer answer;
  switch (data[0] % 4) {
    case 0:
      if (auto r = parse_hid_report(rest)) {
        if (rest.size() != 5 && rest.size() != 6) quillpost::fuzz::fail(kTarget, "a size accepted");
        answer.reading = r;
      }
      break;
    case 1:
      answer = parse_nci(text);
      break;
    case 2:
      answer = parse_sics(text);
      break;
    default:
      answer = parse_continuous(text);
      break;
  }
  if (!answer.reading && data[0] % 4 != 0 && answer.error.empty()) {
    quillpost::fuzz::fail(kTarget, "a refusal without a reason");
  }
  if (answer.reading) check_grams(*answer.reading);
  return 0;
}
