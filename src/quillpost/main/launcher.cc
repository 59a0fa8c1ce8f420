#include "quillpost/main/launcher.h"

#include <ostream>

#include "quillpost/host/records.h"
#include "quillpost/main/errors.h"
#include "quillpost/main/layering.h"
#include "quillpost/main/runtime_config.h"

namespace quillpost::main {
namespace {

// Prints one line to standard output: before logging is configured this is the
// launcher's only way to speak.
void print(const Process& process, const std::string& line) {
  if (process.out) *process.out << line << '\n' << std::flush;
}

RuntimeConfig application_default_config(const Process& process) {
  return make_partial_runtime_config({
      {"disable_systray", false},
      {"headless", false},
      {"log_all", false},
      {"ntp_check", true},
      {"remove_scales_support", false},
      {"shutdown_on_sigint", process.stdout_is_terminal},
      {"startup_mutex", true},
      {"web_interface", false},
      {"web_interface_port", std::int64_t{8888}},
      {"web_interface_shutdown", false},
      {"high_dpi_gui", false},
  });
}

}  // namespace

int main(const Event* boot_sigint, const std::optional<std::string>& default_config_location,
         const Process& process) {
  if (boot_sigint && boot_sigint->is_set()) {
    print(process, "SIGINT received before application start. This has not been logged.");
    return value(ExitCodes::OK);
  }

  const RuntimeConfig app_defaults = application_default_config(process);
  RuntimeConfig command_line_config;
  bool exit_after_config_check = false;
  try {
    std::tie(command_line_config, exit_after_config_check) =
        get_runtime_config(default_config_location, process.args, process);
  } catch (const InvalidCommandLine& e) {
    print(process, e.what());
    return value(ExitCodes::BAD_COMMAND_LINE_ARGUMENTS);
  }

  RuntimeConfig build_constants;
  if (process.build.pyqt_available == false) build_constants.headless = true;
  const auto [config, config_debug] = combine_runtime_configs({
      {"app-default", app_defaults},
      {command_line_config.config_file, RuntimeConfig{}},
      {"command-line", command_line_config},
      {"build-constants", build_constants},
  });
  (void)config;
  (void)config_debug;
  (void)exit_after_config_check;
  return value(ExitCodes::OK);
}

}  // namespace quillpost::main
