// The launcher's entry: from process arguments to an exit code.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "quillpost/host/app/binding_specs.h"
#include "quillpost/host/config/build_info.h"
#include "quillpost/host/process/environment.h"
#include "quillpost/host/process/event.h"

namespace quillpost::main {

// What the launcher reads of its process. The executable fills it from the
// real process; tests fill it with their own values.
struct Process {
  std::vector<std::string> args;  // without the program name
  BuildInfo build;
  std::ostream* out = nullptr;  // standard output
  bool stdout_is_terminal = false;
  // The environment; unset: an empty one.
  Getenv getenv;
  // The operating system's name as the platform reports it: "Linux", "Windows", "Darwin".
  std::string system_name = "Linux";
  // Reads a registry value (Windows only); unset: the host's registry reader.
  std::function<std::optional<std::string>(const std::string&)> read_registry;
  // The application's resources (the sample configuration). A relative path is
  // resolved against the working directory.
  std::string resources_dir = "./resources";
  // What the application is made of: the host process plugs its agents in here.
  AppServices app_services;
  // Opens the GUI on the calling (main) thread for a run that is not headless:
  // empty when the display can be used, else a sentence (without its full
  // stop) that says why not. Unset: this program has no GUI.
  std::function<std::string()> open_desktop;
};

// Thrown where the process must end at once with `status` after everything it
// had to print is printed ("--help", "--version"). The executable turns it into
// its exit status.
class ProcessExit : public std::exception {
 public:
  explicit ProcessExit(int status) : status_(status) {}
  int status() const noexcept { return status_; }
  const char* what() const noexcept override { return "process exit requested"; }

 private:
  int status_;
};

// What a headless run gets unless a layer said otherwise: crash reports are
// sent. Applied to the merged configuration, and again when a run that was
// to show a desktop goes on headless; each change adds a line to `provenance`.
void apply_headless_defaults(RuntimeConfig& config, std::vector<std::string>& provenance);

// Runs the launcher once on the main thread and returns the process exit code.
// `boot_sigint` is the host's own shutdown flag of the boot phase (may be null).
// `default_config_location` is the default configuration file, if there is one.
int main(const Event* boot_sigint, const std::optional<std::string>& default_config_location,
         const Process& process);

}  // namespace quillpost::main
