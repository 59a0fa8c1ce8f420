#include "quillpost/main/start.h"

#include <sys/utsname.h>

#include <chrono>
#include <iostream>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/app/bootstrap.h"
#include "quillpost/host/base/text.h"
#include "quillpost/host/comms/login.h"
#include "quillpost/host/process/notify.h"
#include "quillpost/host/process/os_error.h"
#include "quillpost/host/process/start_method.h"
#include "quillpost/host/process/startup_lock.h"
#include "quillpost/main/signals.h"
#include "quillpost/main/system_info.h"

namespace quillpost::main {

namespace {

// A settings directory that start-up cannot use: a lack of permission, or
// anything else.
ExitCodes settings_dir_exit_code(const OsError& error) {
  return is_permission_error(error.code()) ? ExitCodes::APP_SETTINGS_DIR_PERMISSION_ERROR
                                           : ExitCodes::APP_SETTINGS_DIR_ERROR;
}

}  // namespace

double monotonic_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string select_start_method(std::string_view system_name) {
  return std::string_view("Linux").find(system_name) != std::string_view::npos ? "fork" : "spawn";
}

void configure_multiprocessing() {
  utsname names{};
  const std::string system = ::uname(&names) == 0 ? names.sysname : "";
  set_start_method(select_start_method(system));
}

logs::Logger configure_logging(const std::filesystem::path& logs_dir, const SystemInfo& system_info,
                               bool log_all, const BuildInfo& build) {
  logs::configure(logs_dir, log_all);
  // The agent runtime's loggers come from the facility just configured.
  agent::replace_logger_creator([](const std::string& name) { return logs::logger(name); });
  auto logger = logs::logger("main");
  log_build_configuration(logger, build);
  log_system_info(logger, system_info);
  return logger;
}

void close_app(int return_code, double time_started, EventLogger& evt_logger) {
  const auto event = return_code == 0 ? GuiLogEvent::APP_CLOSE : GuiLogEvent::APP_CLOSE_WITH_ERROR;
  const std::string message = "Closing after " +
                              format_duration(monotonic_seconds() - time_started) + ". Exit code " +
                              std::to_string(return_code) + ".";
  evt_logger.report_gui_log(GuiLog{event, message});
}

void check_commandline_credentials(SecondaryBindingSpec& secondary_injector,
                                   const RuntimeConfig& config, World& world) {
  if (!config.email || !config.password) return;
  CredentialsChecker& checker = secondary_injector.credentials_checker();
  const HttpConfig& http_config = secondary_injector.http_config();
  const Account account = checker.run(Credentials{*config.email, *config.password}, http_config);
  world.configuration.account = account;
  try {
    secondary_injector.account_store().save(account);
  } catch (const OsError& e) {
    // The run goes on with the account; only the next start will not know it.
    logs::logger("main").error("Could not save the account: %s", e.what());
  }
}

int start_quillpost(const RuntimeConfig& config, const Paths& paths, const SystemInfo& system_info,
                    Event& sigint, Event& sigterm, const logs::Logger& logger,
                    const BuildInfo& build, AppServices services) {
  const double time_started = monotonic_seconds();
  PrimaryBindingSpec primary_injector(config, paths, system_info, sigint);
  World* world_ptr = nullptr;
  try {
    world_ptr = &primary_injector.get_world()();
  } catch (const OsError& e) {
    // The account or world id file cannot be read (it is left as it is), or
    // the world id cannot be saved (a full disk): one clear line and the
    // settings directory's exit code.
    logger.error("Cannot set up the settings directory: %s", e.what());
    std::ostream& out = services.headless_out ? *services.headless_out : std::cout;
    out << e.what() << '\n' << std::flush;
    return value(settings_dir_exit_code(e));
  }
  World& world = *world_ptr;
  // The services go to the container; the service manager is found through
  // the environment they carry.
  const Getenv getenv = services.getenv;
  SecondaryBindingSpec secondary_injector(config, paths, system_info, sigint, world,
                                          std::move(services));
  EventLogger& evt_logger = secondary_injector.event_logger();

  evt_logger.report_gui_log(
      GuiLog{GuiLogEvent::APP_STARTING, "Application starting; " + to_text(system_info.username) +
                                            "/" + std::to_string(system_info.pid) + " on " +
                                            to_text(system_info.platform) + "."});

  try {
    check_commandline_credentials(secondary_injector, config, world);
  } catch (const ProgressFailed& failed) {
    evt_logger.report_gui_log(
        GuiLog{GuiLogEvent::COMMAND_LINE_CREDENTIALS_FAIL,
               "Credentials passed on command line or in config file are not valid. The program "
               "will exit. Error detail is '" +
                   failed.gui_msg() + "'."});
    close_app(value(ExitCodes::CLIENT_DISCONNECT_NO_RECOVERY_POSSIBLE), time_started, evt_logger);
    return value(ExitCodes::CLIENT_DISCONNECT_NO_RECOVERY_POSSIBLE);
  }

  if (sigint.is_set() || sigterm.is_set()) {
    evt_logger.report_gui_log(
        sigint.is_set()
            ? GuiLog{GuiLogEvent::INITIAL_SIGINT, "SIGINT received before app start"}
            : GuiLog{GuiLogEvent::INITIAL_SIGTERM, "SIGTERM received before app start"});
    close_app(value(ExitCodes::OK), time_started, evt_logger);
    return value(ExitCodes::OK);
  }

  std::shared_ptr<Application> gui_bootstrap;
  try {
    gui_bootstrap = secondary_injector.bootstrap().run();
  } catch (const StartupMutexError& error) {
    evt_logger.report_gui_log(GuiLog{GuiLogEvent::APP_STARTING_ERROR, error.what()});
    close_app(value(ExitCodes::START_MUTEX), time_started, evt_logger);
    return value(ExitCodes::START_MUTEX);
  } catch (const StartupLockError& error) {
    // The settings directory cannot be locked, or the lock's note written.
    evt_logger.report_gui_log(GuiLog{GuiLogEvent::APP_STARTING_ERROR, error.what()});
    const ExitCodes code = settings_dir_exit_code(error);
    close_app(value(code), time_started, evt_logger);
    return value(code);
  }
  // A service manager waiting for us learns that the application runs.
  notify_ready(getenv);

  const ExitCallback exit = [gui_bootstrap](const std::string& reason, int exit_code) {
    gui_bootstrap->exit(reason, exit_code);
  };
  configure_signal_handlers(config, sigint, exit, logger, build);
  configure_termination_handler(sigterm, exit);

  const int return_code = secondary_injector.runner().run(*gui_bootstrap);
  close_app(return_code, time_started, evt_logger);
  return return_code;
}

}  // namespace quillpost::main
