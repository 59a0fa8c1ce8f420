#include "quillpost/host/runtime/printing/clean_text.h"

namespace quillpost::printing {
namespace {

// The length of the valid UTF-8 sequence at the start of `text`, 0 when it
// does not start with one (overlong forms, surrogates and code points above
// U+10FFFF are not valid).
std::size_t utf8_sequence(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char first = byte(0);
  if (first < 0x80) return 1;
  std::size_t length = 0;
  unsigned min = 0;
  unsigned code = 0;
  if ((first & 0xE0) == 0xC0) {
    length = 2, min = 0x80, code = first & 0x1F;
  } else if ((first & 0xF0) == 0xE0) {
    length = 3, min = 0x800, code = first & 0x0F;
  } else if ((first & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, code = first & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

bool is_control(std::string_view sequence) {
  const auto first = static_cast<unsigned char>(sequence[0]);
  if (sequence.size() == 1) return first < 0x20 || first == 0x7F;
  // C1 controls: U+0080 to U+009F, encoded C2 80 to C2 9F.
  return sequence.size() == 2 && first == 0xC2 && static_cast<unsigned char>(sequence[1]) < 0xA0;
}

}  // namespace

std::string clean_text(std::string_view text, std::size_t max_chars) {
  std::string out;
  out.reserve(text.size() < 64 ? text.size() : 64);
  std::size_t chars = 0;
  while (!text.empty() && chars < max_chars) {
    const std::size_t length = utf8_sequence(text);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      text.remove_prefix(1);
    } else {
      const std::string_view sequence = text.substr(0, length);
      if (is_control(sequence)) {
        out += ' ';
      } else {
        out += sequence;
      }
      text.remove_prefix(length);
    }
    ++chars;
  }
  return out;
}

}  // namespace quillpost::printing
