// Secrets that a service manager hands over: files in the directory that
// $CREDENTIALS_DIRECTORY names (systemd's LoadCredential=), readable by this
// service alone. They keep the password and the client key off the command
// line, which every local user can read in /proc.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "quillpost/host/process/environment.h"

namespace quillpost {

// The largest credential read; a larger file is refused.
inline constexpr std::size_t kMaxCredentialBytes = 64 * 1024;

// The credential `name` (a plain file name, such as "client_key"): the file's
// content without one final line feed. Nullopt when $CREDENTIALS_DIRECTORY is
// unset or not an absolute path, or the file is missing or empty. Throws
// OsError, its text naming the file, when the file cannot be read, is not a
// regular file or holds more than kMaxCredentialBytes; std::invalid_argument
// for a name that is not a plain file name.
std::optional<std::string> read_credential(const Getenv& getenv, std::string_view name);

}  // namespace quillpost
