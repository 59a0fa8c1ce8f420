#include "quillpost/main/launcher.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <ostream>
#include <system_error>

#include "quillpost/host/config/qp_config.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/config/resources.h"
#include "quillpost/host/process/os_error.h"
#include "quillpost/host/world/paths.h"
#include "quillpost/main/errors.h"
#include "quillpost/main/layering.h"
#include "quillpost/main/runtime_config.h"
#include "quillpost/main/signals.h"
#include "quillpost/main/start.h"
#include "quillpost/main/system_info.h"

namespace quillpost::main {
namespace {

namespace fs = std::filesystem;

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

// The outcome of a check that may end the run: the line to print and the code.
struct Failure {
  std::string line;
  ExitCodes code;
};

std::optional<Failure> check_cacert_file(const std::string& configured) {
  std::error_code ec;
  const fs::path path = fs::absolute(configured, ec);
  const std::string shown = (ec ? fs::path(configured) : path).string();
  const auto status = fs::status(path, ec);
  if (!fs::exists(status)) {
    return Failure{"Cacert file '" + shown + "' does not exist",
                   ExitCodes::APP_CACERT_FILE_NOT_FOUND};
  }
  if (!fs::is_regular_file(status)) {
    return Failure{"Cacert file '" + shown + "' is not a file",
                   ExitCodes::APP_CACERT_FILE_NOT_FOUND};
  }
  // Opened and closed at once: only whether it can be read matters here.
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    std::fclose(file);
    return std::nullopt;
  }
  if (errno == EACCES || errno == EPERM) {
    return Failure{"Permissions error opening cacert file; " + shown,
                   ExitCodes::APP_CACERT_FILE_PERMISSION_ERROR};
  }
  return Failure{"Error opening cacert file at; " + shown, ExitCodes::APP_CACERT_FILE_ERROR};
}

}  // namespace

int main(const Event* boot_sigint, const std::optional<std::string>& default_config_location,
         const Process& process) {
  const BuildInfo& build = process.build;
  // 1. From here on a SIGINT only raises this flag until the application runs.
  const std::shared_ptr<Event> sigint = configure_initial_shutdown_handler();

  // 2. Interrupted before we got here: leave without a trace.
  if (boot_sigint && boot_sigint->is_set()) {
    print(process, "SIGINT received before application start. This has not been logged.");
    return value(ExitCodes::OK);
  }

  // 3. Resources, and the sample configuration copied to the default location.
  const ResourcesFolder resources = app_build_resources_folder(process.resources_dir);
  const auto [conf_copied, conf_copy_msg] =
      copy_default_config(default_config_location, sample_config_location(resources.dir),
                          build.default_config_file_md5sums);
  (void)conf_copied;

  // 4. The command line.
  const RuntimeConfig application_defaults = application_default_config(process);
  RuntimeConfig command_line_config;
  bool exit_after_config_check = false;
  try {
    std::tie(command_line_config, exit_after_config_check) =
        get_runtime_config(default_config_location, process.args, process);
  } catch (const InvalidCommandLine& e) {
    print(process, e.what());
    return value(ExitCodes::BAD_COMMAND_LINE_ARGUMENTS);
  }

  // 5, 6. The configuration file; a missing default file is simply no file.
  RuntimeConfig config_file_config;
  if (command_line_config.config_file && !command_line_config.config_file->empty()) {
    try {
      config_file_config = get_runtime_config_from_file(*command_line_config.config_file);
    } catch (const BadConfigError& e) {
      const bool tolerated = e.cfg_err() == CfgErr::DOES_NOT_EXIST &&
                             command_line_config.config_file_using_default.value_or(false) &&
                             !exit_after_config_check;
      if (!tolerated) {
        print(process, e.what());
        return value(ExitCodes::BAD_CONFIG_ERROR);
      }
    }
  }

  // 7. A build without a GUI toolkit always runs headless.
  RuntimeConfig build_constants_config;
  if (build.pyqt_available == false) build_constants_config.headless = true;

  // 8. The layers, lowest precedence first.
  auto [config, config_debug] = combine_runtime_configs({
      {"app-default", application_defaults},
      {command_line_config.config_file, config_file_config},
      {"command-line", command_line_config},
      {"build-constants", build_constants_config},
  });

  // 9. Headless runs send crash reports unless a layer said otherwise.
  if (config.headless.value_or(false) && !config.send_crash_report) {
    config_debug.push_back("Setting send_crash_report to True");
    RuntimeConfig incompatible_mods;
    incompatible_mods.send_crash_report = true;
    config =
        combine_runtime_configs({{"user-set", config}, {"incompatible-mods", incompatible_mods}})
            .first;
  }

  // 10. The settings directory.
  fs::path base_dir;
  if (config.base_dir && !config.base_dir->empty()) {
    try {
      base_dir = get_base_dir(*config.base_dir, config.base_dir_create.value_or(false));
    } catch (const PathNotAbsoluteError& e) {
      print(process, std::string("Settings dir \"") + e.what() +
                         "\" is not a absolute path, please use a fully qualified path. ");
      return value(ExitCodes::BAD_COMMAND_LINE_ARGUMENTS);
    } catch (const PermissionError& e) {
      print(process, e.what());
      return value(ExitCodes::APP_SETTINGS_DIR_PERMISSION_ERROR);
    } catch (const NotFoundError& e) {
      print(process, std::string("Settings dir \"") + e.what() +
                         "\" doesn't exist. Using --settings-dir-create might help.");
      return value(ExitCodes::APP_SETTINGS_DIR_NOT_FOUND);
    } catch (const OsError& e) {
      print(process, e.what());
      return value(ExitCodes::APP_SETTINGS_DIR_ERROR);
    }
  } else {
    base_dir = default_base_dir(process.getenv);
  }

  // 11. The CA certificate file, when one is configured.
  if (config.cacert_file && !config.cacert_file->empty()) {
    if (const auto failure = check_cacert_file(*config.cacert_file)) {
      print(process, failure->line);
      return value(failure->code);
    }
  }

  // 12. The HTTP library.
  if (config.http_engine && *config.http_engine != "pycurl" && *config.http_engine != "requests") {
    print(process, "HTTP library '" + *config.http_engine + "' is not a permitted values");
    return value(ExitCodes::BAD_COMMAND_LINE_ARGUMENTS);
  }

  // 13. A check-only run ends here, before anything is logged.
  if (exit_after_config_check) {
    print(process, "Config OK :)");
    return value(ExitCodes::OK);
  }

  // 14 - 17. Worker processes, directories, system facts, the log.
  configure_multiprocessing();
  std::optional<Paths> paths;
  try {
    paths.emplace(base_dir, resources.dir);
  } catch (const OsError& e) {
    print(process, e.what());
    return value(ExitCodes::APP_PATHS_ERROR);
  }
  const SystemInfo system_info = get_system_info(real_system_probes(process.getenv));
  std::optional<logs::Logger> logger;
  try {
    logger =
        configure_logging(paths->logs_dir(), system_info, config.log_all.value_or(false), build);
  } catch (const PermissionError& e) {
    print(process, e.what());
    return value(ExitCodes::APP_LOGGING_PERMISSIONS_ERROR);
  } catch (const OsError& e) {
    print(process, e.what());
    return value(ExitCodes::APP_LOGGING_ERROR);
  }

  // 18, 19. What happened before the log existed.
  logger->debug("%s", conf_copy_msg);
  for (const auto& line : config_debug) logger->debug("%s", line);

  // 20. The application, until it ends.
  AppServices services = process.app_services;
  if (!services.headless_out) services.headless_out = process.out;
  if (!services.getenv) services.getenv = process.getenv;
  return start_quillpost(config, *paths, system_info, *sigint, *logger, build, std::move(services));
}

}  // namespace quillpost::main
