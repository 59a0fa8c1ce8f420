// Starting the application and reporting its close.
//
//   configure_multiprocessing();
//   Paths paths(base_dir, resources_dir);                  // OsError -> APP_PATHS_ERROR
//   SystemInfo system_info = get_system_info();
//   auto logger = configure_logging(paths.logs_dir(), system_info, log_all, build);
//   return start_quillpost(config, paths, system_info, *sigint, *sigterm, logger, build);
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "quillpost/host/app/binding_specs.h"
#include "quillpost/host/app/event_logger.h"
#include "quillpost/host/config/build_info.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/event.h"
#include "quillpost/host/world/paths.h"
#include "quillpost/host/world/world.h"

namespace quillpost::main {

// A reading of the monotonic clock, in seconds.
double monotonic_seconds();

// "fork" when `system_name` occurs in "Linux" (the empty name included), else "spawn".
std::string select_start_method(std::string_view system_name);

// Sets the process start method for this system once, before any worker exists.
void configure_multiprocessing();

// Sets up the log in `logs_dir` and writes the build and system lines to the
// logger "main", which it returns. Throws PermissionError when the log cannot
// be written for lack of permission, OsError for any other OS failure.
logs::Logger configure_logging(const std::filesystem::path& logs_dir, const SystemInfo& system_info,
                               bool log_all, const BuildInfo& build);

// Reports "Closing after {duration}. Exit code {code}." as APP_CLOSE (code 0)
// or APP_CLOSE_WITH_ERROR.
void close_app(int return_code, double time_started, EventLogger& evt_logger);

// When both an e-mail and a password are configured, checks them with the
// service and stores (and saves) the account the service answers. Throws
// ProgressFailed when they are refused or the service cannot be reached.
void check_commandline_credentials(SecondaryBindingSpec& secondary_injector,
                                   const RuntimeConfig& config, World& world);

// Builds the containers, announces the start, checks command-line credentials,
// honours a SIGINT or SIGTERM of the start-up, starts the application, tells a
// service manager it is ready, installs the running phase's SIGINT and SIGTERM
// handling, runs the main loop and reports the close.
// Returns the exit code: CLIENT_DISCONNECT_NO_RECOVERY_POSSIBLE for refused
// credentials, OK for a SIGINT or SIGTERM during start-up, START_MUTEX when
// another instance runs, else the application's code. Other failures
// propagate. `services` replaces parts of the application (tests).
int start_quillpost(const RuntimeConfig& config, const Paths& paths, const SystemInfo& system_info,
                    Event& sigint, Event& sigterm, const logs::Logger& logger,
                    const BuildInfo& build, AppServices services = {});

}  // namespace quillpost::main
