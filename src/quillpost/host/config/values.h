// Reading setting values from their texts, as the command line and the
// configuration file give them.
#pragma once

#include <string_view>

namespace quillpost {

// "true"/"yes"/"on"/"1"/"t"/"y" (any case, surrounding blanks ignored) are true,
// "false"/"no"/"off"/"0"/"f"/"n" are false; anything else gives `fail_to`.
bool boolval(std::string_view text, bool fail_to = true);

// True when `text` is a decimal integer: optional blanks, an optional sign,
// at least one digit, optional blanks. Any number of digits: the caller
// decides what range it can hold.
bool is_int(std::string_view text);

}  // namespace quillpost
