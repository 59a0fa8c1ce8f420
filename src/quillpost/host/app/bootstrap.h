// Starting the application and running its main loop.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillpost/host/app/event_logger.h"
#include "quillpost/host/app/main_loop.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/process/environment.h"
#include "quillpost/host/process/event.h"
#include "quillpost/host/process/startup_lock.h"
#include "quillpost/host/world/paths.h"
#include "quillpost/host/world/world.h"

namespace quillpost {

// A main loop that an application brings along in place of the Runner's own
// wait: a GUI toolkit's, which must run on the main thread.
class EventLoop {
 public:
  virtual ~EventLoop() = default;
  // Runs on the calling (main) thread until quit(), calling `wake` there
  // whenever one of `fds` can be read. `wake` must leave the descriptors idle
  // again (read them empty) or it is called again at once.
  virtual void run(const std::vector<int>& fds, const std::function<void()>& wake) = 0;
  // Ends run() once control is back in the loop. Called from inside `wake`.
  virtual void quit() = 0;
};

// The running application as its starter sees it.
class Application {
 public:
  virtual ~Application() = default;
  // The loop the main thread must run instead of the Runner's wait; null when
  // the application needs none (headless).
  virtual EventLoop* event_loop() { return nullptr; }
  // Asks the application to end with `exit_code`. Safe from any thread; the
  // first request wins. It must end in an ExitRequest on the main-loop queue,
  // which is what ends Runner::run.
  virtual void exit(const std::string& reason, int exit_code) = 0;
  // The client stopped connecting (its account has no key, or the service
  // refused or destroyed it). True when the application goes on without it
  // (a desktop, where the person signs in again); false ends the run with
  // CLIENT_DISCONNECT_NO_RECOVERY_POSSIBLE. Called on the main thread.
  virtual bool client_gave_up(const std::string& /*reason*/) { return false; }
  // Stops the agents and waits for their threads. Called once, on the main
  // thread, after the main loop has ended.
  virtual void stop() = 0;
};

// Everything an application is built from: what the containers hold.
struct AppContext {
  const RuntimeConfig& config;
  const Paths& paths;
  const SystemInfo& system_info;
  Event& sigint;
  World& world;
  const HttpConfig& http_config;
  std::shared_ptr<MainLoopQueue> main_loop_queue;
  EventLogger& event_logger;    // where the application's GUI log lines go
  AccountStore& account_store;  // the persisted account
  std::string service_url;      // the service's base URL
  Getenv getenv;                // the environment (the service manager's variables, the
                                // printing system's address)
};

// Starts the application's parts (agent runtime, agents) and returns its front.
using ApplicationStarter = std::function<std::shared_ptr<Application>(const AppContext&)>;

// The headless application's front: exit requests go to the main-loop queue,
// where the Runner picks them up. `on_stop` stops whatever was started with it.
class HeadlessApplication : public Application {
 public:
  explicit HeadlessApplication(std::shared_ptr<MainLoopQueue> queue,
                               std::function<void()> on_stop = {})
      : queue_(std::move(queue)), on_stop_(std::move(on_stop)) {}

  void exit(const std::string& reason, int exit_code) override;
  void stop() override;

 private:
  std::shared_ptr<MainLoopQueue> queue_;
  std::function<void()> on_stop_;
};

// The application of this build: the headless front over the main-loop queue.
// The agent runtime and the connection client plug in here once they exist.
std::shared_ptr<Application> start_headless_application(const AppContext& context);

class QuillPostBootstrap {
 public:
  QuillPostBootstrap(AppContext context, ApplicationStarter starter)
      : context_(std::move(context)), starter_(std::move(starter)) {}

  // Takes the start-up lock (when `startup_mutex` is true or unset), starts the
  // application and returns its front. Throws StartupMutexError when another
  // instance holds the lock. The lock is held while this object lives.
  std::shared_ptr<Application> run();

 private:
  AppContext context_;
  ApplicationStarter starter_;
  std::optional<StartupLock> lock_;
};

// The main loop: the Runner's own wait, or the application's event loop.
class Runner {
 public:
  // `getenv` finds the service manager, if one runs the application.
  explicit Runner(std::shared_ptr<MainLoopQueue> queue, Getenv getenv = {})
      : queue_(std::move(queue)), getenv_(std::move(getenv)) {}

  // Runs on the calling (main) thread until the application is asked to exit:
  // dispatches deferred signal handlers and consumes the main-loop queue,
  // waiting in the application's event loop when it has one. A
  // client that gave up ends a headless application with
  // CLIENT_DISCONNECT_NO_RECOVERY_POSSIBLE. Tells a service manager that the
  // application is stopping, stops it and returns the exit code it was asked
  // to end with.
  int run(Application& app);

 private:
  std::shared_ptr<MainLoopQueue> queue_;
  Getenv getenv_;
};

}  // namespace quillpost
