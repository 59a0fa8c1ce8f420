#include "quillpost/host/base/text.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdint>

namespace quillpost {

std::string to_text(double d) {
  // The shortest text that reads back as the same number, always with a point
  // or exponent so that it is recognisably a real number (3.0, 0.1).
  std::string s = fmt::format("{}", d);
  if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
  return s;
}

std::string quoted_text(std::string_view s) {
  const char quote =
      s.find('\'') != std::string_view::npos && s.find('"') == std::string_view::npos ? '"' : '\'';
  std::string out(1, quote);
  for (char c : s) {
    if (c == quote || c == '\\') out += '\\';
    out += c;
  }
  out += quote;
  return out;
}

std::string percent_format(std::string_view format, const std::vector<std::string>& args) {
  std::string out;
  out.reserve(format.size() + 16 * args.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%' || i + 1 == format.size()) {
      out += c;
      continue;
    }
    const char kind = format[i + 1];
    if (kind == '%') {
      out += '%';
      ++i;
    } else if ((kind == 's' || kind == 'd') && next < args.size()) {
      out += args[next++];
      ++i;
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

// The length of the well-formed UTF-8 sequence at the start of `s` (2 to 4),
// or 0 when it does not start with one.
std::size_t utf8_sequence_length(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const auto continuation = [&](std::size_t i) { return i < s.size() && (byte(i) & 0xC0) == 0x80; };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;   // bounds of the second byte, which rule out
  unsigned char high = 0xBF;  // overlong forms, surrogates and values past U+10FFFF
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (!continuation(1) || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!continuation(i)) return 0;
  }
  return length;
}

}  // namespace

std::string escape_control(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (c == '\r') {
      out += "\\r";
      ++i;
    } else if (c == '\t') {
      out += "\\t";
      ++i;
    } else if (c < 0x80) {
      out += fmt::format("\\x{:02x}", c);
      ++i;
    } else if (const std::size_t n = utf8_sequence_length(text.substr(i)); n == 0) {
      out += fmt::format("\\x{:02x}", c);
      ++i;
    } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // U+0080 to U+009F: the C1 controls (0x9B starts a terminal sequence).
      out += fmt::format("\\u{:04x}", static_cast<unsigned char>(text[i + 1]));
      i += 2;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string shell_quote(std::string_view s) {
  if (s.empty()) return "''";
  const auto safe = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
  };
  bool all_safe = true;
  for (char c : s) all_safe = all_safe && safe(c);
  if (all_safe) return std::string(s);
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\"'\"'";
    else
      out += c;
  }
  return out + "'";
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

}  // namespace quillpost
