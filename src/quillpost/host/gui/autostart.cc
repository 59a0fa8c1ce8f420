#include "quillpost/host/gui/autostart.h"

#include "quillpost/host/process/private_files.h"

namespace quillpost::gui {

std::optional<std::filesystem::path> autostart_path(const Getenv& getenv) {
  const auto absolute = [&](const char* name) -> std::optional<std::filesystem::path> {
    const auto value = read_env(getenv, name);
    if (!value || value->empty() || value->front() != '/') return std::nullopt;
    return std::filesystem::path(*value);
  };
  std::optional<std::filesystem::path> config = absolute("XDG_CONFIG_HOME");
  if (!config) {
    const auto home = absolute("HOME");
    if (!home) return std::nullopt;
    config = *home / ".config";
  }
  return *config / "autostart" / "quillpost.desktop";
}

std::string autostart_entry(const std::string& program) {
  // Inside double quotes, ", `, $ and \ take a backslash; the entry's own
  // escaping then doubles every backslash.
  std::string quoted = "\"";
  for (const char c : program) {
    if (c == '\n' || c == '\r') continue;
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += "\\\\";
    quoted += c;
  }
  quoted += '"';
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=QuillPost\n"
         "Comment=Cloud print client\n"
         "Exec=" +
         quoted +
         "\n"
         "Icon=quillpost\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

void set_autostart(const std::filesystem::path& path, bool on, const std::string& program) {
  if (!on) {
    std::filesystem::remove(path);
    return;
  }
  std::filesystem::create_directories(path.parent_path());
  write_file_atomically(path, autostart_entry(program), Durability::handed_over);
}

}  // namespace quillpost::gui
