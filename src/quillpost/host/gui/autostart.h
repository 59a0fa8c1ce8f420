// "Start QuillPost when I log in": the XDG autostart entry of the user
// ($XDG_CONFIG_HOME/autostart/quillpost.desktop, ~/.config when the variable
// is unset or not absolute). No Qt here.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "quillpost/host/process/environment.h"

namespace quillpost::gui {

// The entry's path, or nullopt when neither XDG_CONFIG_HOME nor HOME is an
// absolute path.
std::optional<std::filesystem::path> autostart_path(const Getenv& getenv);

// The entry that starts `program` (an absolute path), quoted as desktop
// entries quote an Exec argument.
std::string autostart_entry(const std::string& program);

// Writes the entry (creating its directory) or removes it. Throws OsError or
// std::filesystem::filesystem_error.
void set_autostart(const std::filesystem::path& path, bool on, const std::string& program);

}  // namespace quillpost::gui
