// Small conversions and checks shared by the launcher and the client.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace quillpost {

// "true"/"yes"/"on"/"1"/"t"/"y" (any case, surrounding blanks ignored) are true,
// "false"/"no"/"off"/"0"/"f"/"n" are false; anything else gives `fail_to`.
bool boolval(std::string_view text, bool fail_to = true);

// True when `text` is a decimal integer: optional blanks, an optional sign,
// at least one digit, optional blanks. Any number of digits: the caller
// decides what range it can hold.
bool is_int(std::string_view text);

// A duration for people: "0.25s", "12.3s", "4m 05s", "2h 03m 05s", "3d 02h 03m".
std::string format_duration(double seconds);

// True when the computer name is non-empty and holds only ASCII letters,
// digits, '.' and '-'.
bool is_valid_computername(std::string_view name);

// Splits one "key=value" text at its first '='. The value may be empty and may
// hold further '='. Throws std::runtime_error with a message for the user when
// there is no '=' or the key is empty.
std::pair<std::string, std::string> parse_service_discovery_param_arg(std::string_view text);

}  // namespace quillpost
