// Reading the Windows registry.
//
// Only the Windows build has a registry; everywhere else the launcher refuses
// registry options before it gets here, and `win32_get_registry_value` throws.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace quillpost::windows::registry {

// The text stored under `key` ("HKEY_LOCAL_MACHINE\\Path\\To\\Value"), nullopt
// when the value there is not a text. Throws std::runtime_error with a message
// when the key cannot be read.
std::optional<std::string> win32_get_registry_value(const std::string& key);

}  // namespace quillpost::windows::registry
