#include "quillpost/host/app/bootstrap.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <system_error>

#include "quillpost/host/comms/defs.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/notify.h"
#include "quillpost/host/process/signal_dispatch.h"
#include "quillpost/host/process/threads.h"

namespace quillpost {

void HeadlessApplication::exit(const std::string& reason, int exit_code) {
  queue_->put(ExitRequest{reason, exit_code});
}

void HeadlessApplication::stop() {
  if (on_stop_) on_stop_();
}

std::shared_ptr<Application> start_headless_application(const AppContext& context) {
  logs::logger("bootstrap")
      .info("Application started headless; world %s, instance %s",
            context.world.configuration.world_id, context.world.state.instance_id);
  return std::make_shared<HeadlessApplication>(context.main_loop_queue);
}

std::shared_ptr<Application> QuillPostBootstrap::run() {
  if (context_.config.startup_mutex.value_or(true)) {
    lock_.emplace(context_.paths.lock_file());
    if (!lock_->note_error().empty()) {
      logs::logger("bootstrap")
          .warning("Start-up lock taken, but the process id could not be noted: %s",
                   lock_->note_error());
    }
  }
  return starter_(context_);
}

int Runner::run(Application& app) {
  auto log = logs::logger("runner");
  std::optional<int> exit_code;
  std::string exit_reason;
  // What one wake-up does, whoever waits: deferred signal handlers, then the
  // queue until it is empty or an exit was asked for.
  const auto serve = [&] {
    signals::dispatch_pending();
    while (!exit_code) {
      auto record = queue_->try_get();
      if (!record) break;
      if (const auto* gave_up = std::any_cast<comms::Disconnected>(&*record)) {
        const std::string reason = gave_up->reason.value_or("no reason given");
        if (app.client_gave_up(reason)) {
          log.warning("The client stopped connecting: %s. Waiting for a sign-in.", reason);
          continue;
        }
        log.error("The client stopped connecting: %s. No recovery possible; exiting.", reason);
        app.exit(reason, value(ExitCodes::CLIENT_DISCONNECT_NO_RECOVERY_POSSIBLE));
      } else if (const auto* request = std::any_cast<ExitRequest>(&*record)) {
        log.info("Exit requested: %s (exit code %s)", request->reason, request->exit_code);
        exit_code = request->exit_code;
        exit_reason = request->reason;
      }
    }
  };
  const std::vector<int> fds{signals::wakeup_fd(), queue_->wait_fd()};
  if (EventLoop* loop = app.event_loop()) {
    // Something may have been queued before the loop watches the descriptors.
    serve();
    if (!exit_code) {
      loop->run(fds, [&] {
        serve();
        if (exit_code) loop->quit();
      });
    }
    // A loop that ended on its own (its last window gone) is a normal close.
    if (!exit_code) {
      exit_code = value(ExitCodes::OK);
      exit_reason = "the event loop ended";
    }
  }
  // The stop and reload signals reach this thread only while it waits:
  // blocked here, unblocked by ppoll for the length of the wait. A signal that
  // comes while the loop is busy stays pending in the kernel until the next
  // wait, so its handler always runs at one known point, never in the middle
  // of a system call or a library's code (which a sanitizer's own handling of
  // signals can then delay or lose).
  const sigset_t handled = handled_signals();
  sigset_t outside;
  pthread_sigmask(SIG_BLOCK, &handled, &outside);
  sigset_t waiting = outside;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sigismember(&handled, sig) == 1) sigdelset(&waiting, sig);
  }
  while (!exit_code) {
    pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    if (::ppoll(polled, 2, nullptr, &waiting) < 0 && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "ppoll");
    }
    serve();
  }
  pthread_sigmask(SIG_SETMASK, &outside, nullptr);
  notify_stopping(getenv_, "Stopping: " + exit_reason);
  app.stop();
  return *exit_code;
}

}  // namespace quillpost
