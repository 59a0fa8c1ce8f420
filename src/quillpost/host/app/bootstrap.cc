#include "quillpost/host/app/bootstrap.h"

#include <poll.h>

#include <cerrno>
#include <system_error>

#include "quillpost/host/comms/defs.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/notify.h"
#include "quillpost/host/process/signal_dispatch.h"

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
  while (!exit_code) {
    pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    if (::poll(polled, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    serve();
  }
  notify_stopping(getenv_, "Stopping: " + exit_reason);
  app.stop();
  return *exit_code;
}

}  // namespace quillpost
