// Texts from outside (the printing system, the service) made fit to send and
// to show: valid UTF-8, no control characters, bounded in length.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillpost::printing {

// `text` with every byte that does not start or continue a valid UTF-8
// sequence replaced by U+FFFD, every control character (C0, DEL, C1) by a
// space, and cut after `max_chars` characters (code points).
std::string clean_text(std::string_view text, std::size_t max_chars);

}  // namespace quillpost::printing
