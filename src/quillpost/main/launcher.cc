#include "quillpost/main/launcher.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <ostream>
#include <system_error>
#include <tuple>
#include <vector>

#include "quillpost/host/base/http_url.h"
#include "quillpost/host/base/text.h"
#include "quillpost/host/comms/login.h"
#include "quillpost/host/config/qp_config.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/config/resources.h"
#include "quillpost/host/logging/journal.h"
#include "quillpost/host/process/os_error.h"
#include "quillpost/host/process/private_files.h"
#include "quillpost/host/process/service_credentials.h"
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

// A failure's text with its control characters escaped, line by line: paths
// and file contents in it must not drive the terminal, but a message of
// several lines keeps them.
std::string escape_lines(std::string_view text) {
  std::string out;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find('\n', start);
    out += escape_control(text.substr(start, end - start));
    if (end == std::string_view::npos) return out;
    out += '\n';
    start = end + 1;
  }
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

// Ends the run before the application starts: the line to print on standard
// output and the exit code. Each phase below maps its own failures to one.
struct EarlyExit {
  std::string line;
  ExitCodes code;
};

// The merged configuration and what is known about it before the log exists.
struct Configuration {
  RuntimeConfig config;
  std::vector<std::string> provenance;  // debug lines: which layer set what
  bool check_only = false;              // --check: validate, then exit
};

// The secrets a service manager handed over: a layer above the configuration
// file and below the command line.
RuntimeConfig credentials_config(const Process& process) {
  RuntimeConfig layer;
  try {
    layer.client_key = read_credential(process.getenv, "client_key");
    layer.password = read_credential(process.getenv, "password");
  } catch (const OsError& e) {
    throw EarlyExit{e.what(), ExitCodes::BAD_CONFIG_ERROR};
  }
  return layer;
}

}  // namespace

void apply_headless_defaults(RuntimeConfig& config, std::vector<std::string>& provenance) {
  if (config.headless.value_or(false) && !config.send_crash_report) {
    provenance.push_back("Setting send_crash_report to True");
    RuntimeConfig incompatible_mods;
    incompatible_mods.send_crash_report = true;
    config =
        combine_runtime_configs({{"user-set", config}, {"incompatible-mods", incompatible_mods}})
            .first;
  }
}

namespace {

// The command line, the configuration file and the other layers, merged.
Configuration read_configuration(const std::optional<std::string>& default_config_location,
                                 const Process& process) {
  const RuntimeConfig application_defaults = application_default_config(process);
  RuntimeConfig command_line_config;
  bool check_only = false;
  try {
    std::tie(command_line_config, check_only) =
        get_runtime_config(default_config_location, process.args, process);
  } catch (const InvalidCommandLine& e) {
    throw EarlyExit{e.what(), ExitCodes::BAD_COMMAND_LINE_ARGUMENTS};
  }

  // A missing default file is simply no file, except when it is being checked.
  RuntimeConfig config_file_config;
  if (command_line_config.config_file && !command_line_config.config_file->empty()) {
    try {
      config_file_config = get_runtime_config_from_file(*command_line_config.config_file);
    } catch (const BadConfigError& e) {
      const bool tolerated = e.cfg_err() == CfgErr::DOES_NOT_EXIST &&
                             command_line_config.config_file_using_default.value_or(false) &&
                             !check_only;
      if (!tolerated) throw EarlyExit{e.what(), ExitCodes::BAD_CONFIG_ERROR};
    }
  }

  // A build without a GUI toolkit always runs headless.
  RuntimeConfig build_constants_config;
  if (process.build.pyqt_available == false) build_constants_config.headless = true;

  auto [config, provenance] = combine_runtime_configs({
      {"app-default", application_defaults},
      {command_line_config.config_file, config_file_config},
      {"credentials", credentials_config(process)},
      {"command-line", command_line_config},
      {"build-constants", build_constants_config},
  });

  apply_headless_defaults(config, provenance);
  return {std::move(config), std::move(provenance), check_only};
}

// The settings directory: the configured one, checked (and created when
// asked), or the default one.
fs::path settings_directory(const RuntimeConfig& config, const Process& process) {
  if (!config.base_dir || config.base_dir->empty()) return default_base_dir(process.getenv);
  try {
    return get_base_dir(*config.base_dir, config.base_dir_create.value_or(false));
  } catch (const PathNotAbsoluteError& e) {
    throw EarlyExit{std::string("Settings dir \"") + e.what() +
                        "\" is not a absolute path, please use a fully qualified path. ",
                    ExitCodes::BAD_COMMAND_LINE_ARGUMENTS};
  } catch (const PermissionError& e) {
    throw EarlyExit{e.what(), ExitCodes::APP_SETTINGS_DIR_PERMISSION_ERROR};
  } catch (const NotFoundError& e) {
    throw EarlyExit{std::string("Settings dir \"") + e.what() +
                        "\" doesn't exist. Using --settings-dir-create might help.",
                    ExitCodes::APP_SETTINGS_DIR_NOT_FOUND};
  } catch (const OsError& e) {
    throw EarlyExit{e.what(), ExitCodes::APP_SETTINGS_DIR_ERROR};
  }
}

// The CA certificate file, when one is configured, must be a readable file.
void check_cacert_file(const RuntimeConfig& config) {
  if (!config.cacert_file || config.cacert_file->empty()) return;
  const std::string& configured = *config.cacert_file;
  std::error_code ec;
  const fs::path path = fs::absolute(configured, ec);
  const std::string shown = (ec ? fs::path(configured) : path).string();
  const auto status = fs::status(path, ec);
  if (!fs::exists(status)) {
    throw EarlyExit{"Cacert file '" + shown + "' does not exist",
                    ExitCodes::APP_CACERT_FILE_NOT_FOUND};
  }
  if (!fs::is_regular_file(status)) {
    throw EarlyExit{"Cacert file '" + shown + "' is not a file",
                    ExitCodes::APP_CACERT_FILE_NOT_FOUND};
  }
  // Opened and closed at once: only whether it can be read matters here.
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    std::fclose(file);
    return;
  }
  if (errno == EACCES || errno == EPERM) {
    throw EarlyExit{"Permissions error opening cacert file; " + shown,
                    ExitCodes::APP_CACERT_FILE_PERMISSION_ERROR};
  }
  throw EarlyExit{"Error opening cacert file at; " + shown, ExitCodes::APP_CACERT_FILE_ERROR};
}

void check_http_engine(const RuntimeConfig& config) {
  if (config.http_engine && *config.http_engine != "pycurl" && *config.http_engine != "requests") {
    throw EarlyExit{"HTTP library '" + *config.http_engine + "' is not a permitted values",
                    ExitCodes::BAD_COMMAND_LINE_ARGUMENTS};
  }
}

// The service's URL, from the environment, the configuration file or the
// build, must be one the connection can use: found out here, by --check too,
// rather than once the application runs.
void check_service_url(const RuntimeConfig& config, const Process& process) {
  const ServiceUrl service = service_base_url(config, process.getenv);
  if (const auto problem = comms::service_url_problem(service.url)) {
    throw EarlyExit{
        "Service URL '" + service.url + "' (" + service.source + ") is not usable: " + *problem,
        ExitCodes::BAD_CONFIG_ERROR};
  }
}

// What a run needs besides its configuration: the application's directories,
// the facts about this system and the log.
struct RunSetup {
  Paths paths;
  SystemInfo system_info;
  logs::Logger logger;
};

// Why a run that is not headless cannot show its GUI, or nullopt when it can
// (the GUI is then open).
std::optional<std::string> desktop_problem(const Process& process) {
  const auto set = [&](const char* name) {
    const auto value = read_env(process.getenv, name);
    return value && !value->empty();
  };
  if (!set("WAYLAND_DISPLAY") && !set("DISPLAY")) {
    return "No display: neither WAYLAND_DISPLAY nor DISPLAY is set";
  }
  if (!process.open_desktop) return "This program has no GUI";
  std::string problem = process.open_desktop();
  if (problem.empty()) return std::nullopt;
  return problem;
}

RunSetup prepare_run(const RuntimeConfig& config, const fs::path& base_dir,
                     const fs::path& resources_dir, const Process& process) {
  configure_multiprocessing();
  std::optional<Paths> paths;
  try {
    paths.emplace(base_dir, resources_dir);
  } catch (const UnsafeDirectoryError& e) {
    // The default settings directory is checked only here; a directory that
    // other users may change is a settings directory problem, as it is for a
    // configured one.
    throw EarlyExit{e.what(), ExitCodes::APP_SETTINGS_DIR_PERMISSION_ERROR};
  } catch (const OsError& e) {
    throw EarlyExit{e.what(), ExitCodes::APP_PATHS_ERROR};
  }
  SystemInfo system_info = get_system_info(real_system_probes(process.getenv));
  try {
    logs::Logger logger = configure_logging(paths->logs_dir(), system_info,
                                            config.log_all.value_or(false), process.build);
    // Under a service manager whose journal takes standard error, warnings
    // and errors go there too, with their priority.
    if (logs::is_journal_stream(process.getenv, STDERR_FILENO)) logs::attach_journal(STDERR_FILENO);
    return {std::move(*paths), std::move(system_info), std::move(logger)};
  } catch (const PermissionError& e) {
    throw EarlyExit{e.what(), ExitCodes::APP_LOGGING_PERMISSIONS_ERROR};
  } catch (const OsError& e) {
    throw EarlyExit{e.what(), ExitCodes::APP_LOGGING_ERROR};
  }
}

}  // namespace

int main(const Event* boot_sigint, const std::optional<std::string>& default_config_location,
         const Process& process) {
  // From here on a SIGINT only raises this flag until the application runs.
  const std::shared_ptr<Event> sigint = configure_initial_shutdown_handler();
  // SIGTERM from here on as a SIGINT that may end the run; SIGHUP ignored.
  const std::shared_ptr<Event> sigterm = configure_initial_termination_handler();

  // Interrupted before we got here: leave without a trace.
  if (boot_sigint && boot_sigint->is_set()) {
    print(process, "SIGINT received before application start. This has not been logged.");
    return value(ExitCodes::OK);
  }

  const ResourcesFolder resources = app_build_resources_folder(process.resources_dir);
  const std::string conf_copy_msg =
      copy_default_config(default_config_location, sample_config_location(resources.dir),
                          process.build.default_config_file_md5sums)
          .second;

  try {
    const Configuration configuration = read_configuration(default_config_location, process);
    RuntimeConfig config = configuration.config;
    const fs::path base_dir = settings_directory(config, process);
    check_cacert_file(config);
    check_http_engine(config);
    check_service_url(config, process);
    // A check-only run ends here, before anything is written or logged.
    if (configuration.check_only) {
      print(process, "Config OK :)");
      return value(ExitCodes::OK);
    }

    RunSetup run = prepare_run(config, base_dir, resources.dir, process);
    // What happened before the log existed.
    run.logger.debug("%s", conf_copy_msg);
    for (const auto& line : configuration.provenance) run.logger.debug("%s", line);
    // A print client never stops printing for want of a window: a desktop run
    // without a usable display goes on headless, with one warning line.
    if (!config.headless.value_or(false)) {
      if (const auto problem = desktop_problem(process)) {
        const std::string line = escape_control(*problem) + ". Running headless.";
        print(process, line);
        run.logger.warning("%s", line);
        config.headless = true;
        // As if it had been headless from the start.
        std::vector<std::string> changes;
        apply_headless_defaults(config, changes);
        for (const auto& change : changes) run.logger.debug("%s", change);
      }
    }

    AppServices services = process.app_services;
    if (!services.headless_out) services.headless_out = process.out;
    if (!services.getenv) services.getenv = process.getenv;
    return start_quillpost(config, run.paths, run.system_info, *sigint, *sigterm, run.logger,
                           process.build, std::move(services));
  } catch (const EarlyExit& exit) {
    print(process, escape_lines(exit.line));
    return value(exit.code);
  }
}

}  // namespace quillpost::main
