// SIGINT in its three phases, and the signals of service managers.
//
// Start-up: SIGINT only sets the shutdown flag (configure_initial_shutdown_handler),
// which start-up tests before it starts the application. Running: SIGINT either
// asks the application to exit with code 0, once, or is ignored
// (configure_signal_handlers). The exit request runs as ordinary code on the
// main thread, from the main loop, never inside the signal handler.
//
// SIGTERM (what systemctl stop, docker stop and init systems send) goes the
// way of a SIGINT whose shutdown is enabled, whatever the configuration says:
// during start-up it sets a flag of its own, which ends the start before the
// application runs; afterwards it asks the application, once, to exit with
// code 0 (configure_termination_handler). Before the launcher's first step
// both keep the operating system's default, the host installs nothing. SIGHUP
// is logged and ignored: the configuration is read only at start.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quillpost/host/config/build_info.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/event.h"

namespace quillpost::main {

// The application's exit operation: (reason, exit_code).
using ExitCallback = std::function<void(const std::string& reason, int exit_code)>;

// Makes a new shutdown flag and lets SIGINT set it. The flag is kept alive for
// the rest of the process (a late signal may still set it).
std::shared_ptr<Event> configure_initial_shutdown_handler();

// What the start-up SIGINT does: sets `event`, nothing else.
void initial_shutdown_handler(Event& event, int sig);

// Installs the running phase's SIGINT handling. With shutdown on SIGINT (the
// configuration's `shutdown_on_sigint`, or a development build): when SIGINT
// already came during start-up, asks the application to exit at once and
// returns false; otherwise installs the exit request and returns true. Without
// it: ignores SIGINT from now on and returns false.
bool configure_signal_handlers(const RuntimeConfig& config, Event& sigint, ExitCallback callback,
                               const logs::Logger& logger, const BuildInfo& build);

// The running phase's SIGINT handler: ignores further SIGINTs, logs the signal
// and asks the application to exit with code 0.
void wrapped_sigint_callback(const ExitCallback& callback, int sig);

// Makes a new flag that SIGTERM sets from now on, and lets SIGHUP be logged
// (from the main loop) and ignored. Called right after
// configure_initial_shutdown_handler.
std::shared_ptr<Event> configure_initial_termination_handler();

// Installs the running phase's SIGTERM handling: when SIGTERM already came
// during start-up, asks the application to exit at once and returns false;
// otherwise installs the exit request and returns true.
bool configure_termination_handler(Event& sigterm, ExitCallback callback);

// The running phase's SIGTERM handler: ignores further SIGTERMs, logs the
// signal and asks the application to exit with code 0.
void wrapped_sigterm_callback(const ExitCallback& callback, int sig);

// The names of the signal facility's constants whose value is `sig`, in
// character order ("SIGINT", "SIG_SETMASK" for 2 on Linux); empty when none.
std::vector<std::string> get_signal_names(int sig);

}  // namespace quillpost::main
