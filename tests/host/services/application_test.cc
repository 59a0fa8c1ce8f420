// The containers, the bootstrap, the main loop and deferred signal handling.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <csignal>
#include <sstream>
#include <thread>

#include "quillpost/host/app/binding_specs.h"
#include "quillpost/host/comms/defs.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/signal_dispatch.h"
#include "support/files.h"

namespace quillpost {
namespace {

using ::testing::HasSubstr;
using testing::TempDir;
using testing::write_file;

struct HttpCase {
  RuntimeConfig config;
  HttpConfig expected;
};

TEST(MakeHttpConfig, FollowsTheConfiguration) {
  const Proxy proxy{"http", "proxy.example", "3128", std::nullopt};
  std::vector<HttpCase> cases;
  cases.push_back({RuntimeConfig{}, HttpConfig{}});
  {
    RuntimeConfig c;
    c.http_engine = "pycurl";
    c.ssl_verify = false;
    c.cacert_file = "/etc/ca.pem";
    c.max_http_redirects = 5;
    cases.push_back({c, HttpConfig{"pycurl", std::nullopt, false, "/etc/ca.pem", 5}});
  }
  {
    RuntimeConfig c;
    c.proxy = proxy;
    cases.push_back({c, HttpConfig{"requests", proxy, true, std::nullopt, 1}});
  }
  {
    RuntimeConfig c;
    c.proxy = NoProxy{};
    c.http_engine = "";
    cases.push_back({c, HttpConfig{}});
  }
  for (const auto& [config, expected] : cases) {
    EXPECT_EQ(make_http_config(config), expected) << config.to_text();
  }
}

struct Fixture {
  TempDir dir;
  RuntimeConfig config;
  Paths paths{dir / "settings", dir / "resources"};
  SystemInfo system_info;
  Event sigint;
};

TEST(PrimaryBindingSpec, ProvidesOneWorldFromTheSettingsDirectory) {
  Fixture f;
  f.config.computer = "desk-1";
  AccountStore(f.paths.state_file()).save(Account{"saved@example.com", "k", 4});
  PrimaryBindingSpec primary(f.config, f.paths, f.system_info, f.sigint);
  auto get_world = primary.get_world();
  World& world = get_world();
  EXPECT_EQ(&world, &get_world());
  EXPECT_EQ(world.configuration.computer.name, "desk-1");
  EXPECT_EQ(world.configuration.account->email, "saved@example.com");
  EXPECT_EQ(world.configuration.world_id, load_or_create_world_id(f.paths.world_id_file()));
  EXPECT_EQ(world.state.instance_id.size(), 36u);

  // A second run keeps the world id and gets a new instance id.
  PrimaryBindingSpec next(f.config, f.paths, f.system_info, f.sigint);
  World& next_world = next.get_world()();
  EXPECT_EQ(next_world.configuration.world_id, world.configuration.world_id);
  EXPECT_NE(next_world.state.instance_id, world.state.instance_id);
}

TEST(SecondaryBindingSpec, BuildsEachItemOnceAndShowsGuiLinesHeadless) {
  Fixture f;
  World world;
  std::ostringstream out;
  AppServices services;
  services.headless_out = &out;
  f.config.headless = true;
  SecondaryBindingSpec secondary(f.config, f.paths, f.system_info, f.sigint, world, services);
  EXPECT_EQ(&secondary.event_logger(), &secondary.event_logger());
  EXPECT_EQ(&secondary.runner(), &secondary.runner());
  EXPECT_EQ(secondary.main_loop_queue(), secondary.main_loop_queue());
  EXPECT_EQ(secondary.logs_dir(), f.paths.logs_dir());
  EXPECT_EQ(secondary.override_server_address(), ServerAddress{});

  logs::Capture capture;
  secondary.event_logger().report_gui_log(GuiLog{GuiLogEvent::APP_STARTING, "hello"});
  EXPECT_EQ(out.str(), "APP_STARTING: hello\n");
  EXPECT_EQ(capture.texts("gui"), std::vector<std::string>{"APP_STARTING: hello"});
}

TEST(EventLogger, AGuiGetsTheLinesReportedBeforeItListenedAndNoneAfterItLeft) {
  EventLogger logger(nullptr);
  std::vector<std::string> shown;
  const auto report = [&](const std::string& message) {
    logger.report_gui_log(GuiLog{GuiLogEvent::APP_STARTING, message});
  };
  report("before");
  logger.listen(
      [&](const GuiLog& line, EventLogger::Clock::time_point) { shown.push_back(line.message); });
  report("while");
  logger.listen({});
  report("after");
  EXPECT_EQ(shown, (std::vector<std::string>{"before", "while"}));
}

TEST(QuillPostBootstrap, TheStartupLockKeepsASecondInstanceOut) {
  Fixture f;
  World world;
  int started = 0;
  AppServices services;
  services.application_starter = [&](const AppContext& context) {
    ++started;
    return start_headless_application(context);
  };
  SecondaryBindingSpec first(f.config, f.paths, f.system_info, f.sigint, world, services);
  ASSERT_TRUE(first.bootstrap().run());
  SecondaryBindingSpec second(f.config, f.paths, f.system_info, f.sigint, world, services);
  EXPECT_THROW(second.bootstrap().run(), StartupMutexError);
  EXPECT_EQ(started, 1);

  // Without the lock any number may run.
  f.config.startup_mutex = false;
  SecondaryBindingSpec third(f.config, f.paths, f.system_info, f.sigint, world, services);
  EXPECT_TRUE(third.bootstrap().run());
  EXPECT_EQ(started, 2);
}

class CountingApplication : public HeadlessApplication {
 public:
  using HeadlessApplication::HeadlessApplication;
  void stop() override { ++stops; }
  int stops = 0;
};

TEST(Runner, ReturnsTheCodeTheApplicationWasAskedToExitWith) {
  auto queue = std::make_shared<MainLoopQueue>();
  CountingApplication app(queue);
  std::thread other([&] { app.exit("from another thread", 7); });
  EXPECT_EQ(Runner(queue).run(app), 7);
  other.join();
  EXPECT_EQ(app.stops, 1);
}

TEST(Runner, AClientThatGaveUpEndsAHeadlessRun) {
  auto queue = std::make_shared<MainLoopQueue>();
  CountingApplication app(queue);
  logs::Capture capture;
  queue->put(comms::Disconnected{"No ClientKey. Unable to connect."});
  EXPECT_EQ(Runner(queue).run(app), value(ExitCodes::CLIENT_DISCONNECT_NO_RECOVERY_POSSIBLE));
  EXPECT_THAT(capture.texts("runner").at(0), HasSubstr("No ClientKey. Unable to connect."));
}

TEST(Runner, RunsDeferredSignalHandlersOnItsOwnThread) {
  auto queue = std::make_shared<MainLoopQueue>();
  CountingApplication app(queue);
  const auto main_thread = std::this_thread::get_id();
  std::thread::id handler_thread;
  signals::install_deferred(SIGUSR1, [&](int sig) {
    handler_thread = std::this_thread::get_id();
    app.exit("signal", sig);
  });
  std::raise(SIGUSR1);
  EXPECT_EQ(Runner(queue).run(app), SIGUSR1);
  EXPECT_EQ(handler_thread, main_thread);
  signals::restore_default(SIGUSR1);
}

// An event loop as a GUI toolkit runs one: it waits on the descriptors itself
// and calls `wake` when one is readable, until quit() (or, with
// `ends_at_once`, ends on its own).
class PollLoop : public EventLoop {
 public:
  void run(const std::vector<int>& fds, const std::function<void()>& wake) override {
    ++runs;
    if (on_run) on_run();
    while (!quit_called && !ends_at_once) {
      std::vector<pollfd> polled;
      for (int fd : fds) polled.push_back({fd, POLLIN, 0});
      if (::poll(polled.data(), polled.size(), 5000) <= 0) return;  // a stuck loop ends the test
      wake();
    }
  }
  void quit() override { quit_called = true; }
  std::function<void()> on_run;  // called as the loop starts waiting
  int runs = 0;
  bool quit_called = false;
  bool ends_at_once = false;
};

class LoopApplication : public CountingApplication {
 public:
  using CountingApplication::CountingApplication;
  EventLoop* event_loop() override { return &loop; }
  PollLoop loop;
};

TEST(Runner, WaitsInTheApplicationsEventLoopForExitsAndSignals) {
  auto queue = std::make_shared<MainLoopQueue>();
  LoopApplication app(queue);
  signals::install_deferred(SIGUSR2, [&](int) { app.exit("after a signal", 9); });
  std::thread other;
  app.loop.on_run = [&] { other = std::thread([] { std::raise(SIGUSR2); }); };
  EXPECT_EQ(Runner(queue).run(app), 9);
  other.join();
  signals::restore_default(SIGUSR2);
  EXPECT_EQ(app.loop.runs, 1);
  EXPECT_TRUE(app.loop.quit_called);
  EXPECT_EQ(app.stops, 1);

  // A loop that ends on its own (its last window closed) is a normal close.
  LoopApplication ending(queue);
  ending.loop.ends_at_once = true;
  EXPECT_EQ(Runner(queue).run(ending), 0);
  EXPECT_EQ(ending.stops, 1);
}

TEST(SignalDispatch, ABurstRunsTheHandlerOnceAndIgnoreDropsPendingCalls) {
  int calls = 0;
  signals::install_deferred(SIGUSR2, [&](int) { ++calls; });
  for (int i = 0; i < 5; ++i) std::raise(SIGUSR2);
  EXPECT_EQ(signals::dispatch_pending(), 1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(signals::dispatch_pending(), 0);

  std::raise(SIGUSR2);
  signals::ignore(SIGUSR2);
  EXPECT_EQ(signals::dispatch_pending(), 0);
  std::raise(SIGUSR2);  // ignored: the process lives on
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(signals::disposition(SIGUSR2), signals::Disposition::ignore);
  signals::restore_default(SIGUSR2);
}

TEST(SignalDispatch, AFlagIsSetInsideTheSignalItself) {
  Event flag;
  signals::install_flag(SIGUSR2, flag);
  std::raise(SIGUSR2);
  EXPECT_TRUE(flag.is_set());
  EXPECT_EQ(signals::dispatch_pending(), 0);
  signals::restore_default(SIGUSR2);
}

}  // namespace
}  // namespace quillpost
