#include "quillpost/main/signals.h"

#include <algorithm>
#include <csignal>
#include <mutex>
#include <string_view>
#include <utility>

#include "quillpost/host/process/signal_dispatch.h"

namespace quillpost::main {
namespace {

struct NamedConstant {
  std::string_view name;
  int value;
};

// The platform's named constants of the signal facility: the signals, their
// aliases, the dispositions and the mask operations.
std::vector<NamedConstant> signal_name_table() {
  std::vector<NamedConstant> table{
      {"SIGABRT", SIGABRT},
      {"SIGALRM", SIGALRM},
      {"SIGBUS", SIGBUS},
      {"SIGCHLD", SIGCHLD},
      {"SIGCONT", SIGCONT},
      {"SIGFPE", SIGFPE},
      {"SIGHUP", SIGHUP},
      {"SIGILL", SIGILL},
      {"SIGINT", SIGINT},
      {"SIGIO", SIGIO},
      {"SIGIOT", SIGIOT},
      {"SIGKILL", SIGKILL},
      {"SIGPIPE", SIGPIPE},
      {"SIGPOLL", SIGPOLL},
      {"SIGPROF", SIGPROF},
      {"SIGPWR", SIGPWR},
      {"SIGQUIT", SIGQUIT},
      {"SIGRTMAX", SIGRTMAX},
      {"SIGRTMIN", SIGRTMIN},
      {"SIGSEGV", SIGSEGV},
      {"SIGSTOP", SIGSTOP},
      {"SIGSYS", SIGSYS},
      {"SIGTERM", SIGTERM},
      {"SIGTRAP", SIGTRAP},
      {"SIGTSTP", SIGTSTP},
      {"SIGTTIN", SIGTTIN},
      {"SIGTTOU", SIGTTOU},
      {"SIGURG", SIGURG},
      {"SIGUSR1", SIGUSR1},
      {"SIGUSR2", SIGUSR2},
      {"SIGVTALRM", SIGVTALRM},
      {"SIGWINCH", SIGWINCH},
      {"SIGXCPU", SIGXCPU},
      {"SIGXFSZ", SIGXFSZ},
      {"SIG_BLOCK", SIG_BLOCK},
      {"SIG_UNBLOCK", SIG_UNBLOCK},
      {"SIG_SETMASK", SIG_SETMASK},
      {"SIG_DFL", 0},
      {"SIG_IGN", 1},
      {"NSIG", NSIG},
  };
  std::sort(table.begin(), table.end(),
            [](const NamedConstant& a, const NamedConstant& b) { return a.name < b.name; });
  return table;
}

// A new flag that `sig` sets from now on. Every flag ever installed stays
// alive, through exit too: the handler holds it by reference, and a signal
// may come while static objects are being destroyed.
std::shared_ptr<Event> install_new_flag(int sig) {
  struct Kept {
    std::mutex mutex;
    std::vector<std::shared_ptr<Event>> flags;
  };
  static Kept* const kept = new Kept();  // never destroyed
  auto flag = std::make_shared<Event>();
  {
    std::lock_guard lock(kept->mutex);
    kept->flags.push_back(flag);
  }
  signals::install_flag(sig, *flag);
  return flag;
}

std::string joined_signal_names(int sig) {
  std::string names;
  for (const auto& name : get_signal_names(sig)) {
    if (!names.empty()) names += ", ";
    names += name;
  }
  return names;
}

// What the handler of an exit signal does once it runs: `handled` is ignored
// from then on, so that a burst causes one request, and the application is
// asked to exit with code 0.
void request_exit(const ExitCallback& callback, int handled, int sig, const std::string& reason) {
  signals::ignore(handled);
  logs::logger("signal_handler").info("Processing signal %s (%s)", sig, joined_signal_names(sig));
  callback(reason, 0);
}

}  // namespace

std::shared_ptr<Event> configure_initial_shutdown_handler() {
  return install_new_flag(SIGINT);
}

std::shared_ptr<Event> configure_initial_termination_handler() {
  signals::install_deferred(SIGHUP, [](int) {
    logs::logger("signal_handler")
        .warning(
            "Ignoring SIGHUP: the configuration is read only at start; restart to apply a "
            "change");
  });
  return install_new_flag(SIGTERM);
}

bool configure_termination_handler(Event& sigterm, ExitCallback callback) {
  if (!sigterm.is_set()) {
    signals::install_deferred(SIGTERM,
                              [callback](int sig) { wrapped_sigterm_callback(callback, sig); });
    if (!sigterm.is_set()) return true;
    // A SIGTERM came between the test and the installation: act on it.
  }
  wrapped_sigterm_callback(callback, SIGTERM);
  return false;
}

void wrapped_sigterm_callback(const ExitCallback& callback, int sig) {
  request_exit(callback, SIGTERM, sig, "SIGTERM received");
}

void initial_shutdown_handler(Event& event, int) {
  event.set();
}

bool configure_signal_handlers(const RuntimeConfig& config, Event& sigint, ExitCallback callback,
                               const logs::Logger& logger, const BuildInfo& build) {
  if (config.shutdown_on_sigint.value_or(false) || build.develop) {
    if (!sigint.is_set()) {
      logger.info("setting up sigint handler");
      signals::install_deferred(SIGINT,
                                [callback](int sig) { wrapped_sigint_callback(callback, sig); });
      if (!sigint.is_set()) return true;
      // A SIGINT came between the test and the installation: it would be lost
      // otherwise, so act on it like one that came during start-up.
    }
    wrapped_sigint_callback(callback, SIGINT);
    return false;
  }
  signals::ignore(SIGINT);
  logger.info("not using signal handers; --shutdown-on-sigint=%s, debug=%s",
              config.shutdown_on_sigint, build.develop);
  return false;
}

void wrapped_sigint_callback(const ExitCallback& callback, int sig) {
  request_exit(callback, SIGINT, sig, "SIGINT received");
}

std::vector<std::string> get_signal_names(int sig) {
  std::vector<std::string> names;
  for (const auto& constant : signal_name_table()) {
    if (constant.value == sig) names.emplace_back(constant.name);
  }
  return names;
}

}  // namespace quillpost::main
