// start_quillpost with the real containers in a temporary settings directory;
// only the application and the credentials check are stand-ins.
#include "quillpost/main/start.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "quillpost/host/comms/login.h"
#include "quillpost/host/process/signal_dispatch.h"
#include "quillpost/host/process/start_method.h"
#include "quillpost/host/process/startup_lock.h"
#include "quillpost/main/signals.h"
#include "support/files.h"
#include "support/unprivileged.h"

namespace quillpost::main {
namespace {

using quillpost::testing::TempDir;
using quillpost::testing::write_file;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// Refuses every check, or answers `answer`; notes each check in `seen`.
class FakeChecker : public CredentialsChecker {
 public:
  FakeChecker(std::optional<Account> answer, std::vector<std::string>& seen)
      : answer_(std::move(answer)), seen_(seen) {}
  Account run(const Credentials& credentials, const HttpConfig&) override {
    seen_.push_back(credentials.email + "/" + credentials.password);
    if (!answer_) throw ProgressFailed("Wrong password");
    return *answer_;
  }

 private:
  std::optional<Account> answer_;
  std::vector<std::string>& seen_;
};

class StartQuillpost : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signals::restore_default(sig);
  }

  // Runs start_quillpost; the application, once started, asks to exit with
  // `app_exit_code` (after `on_start`, which plays what happens meanwhile).
  int run(int app_exit_code = 0, std::function<void()> on_start = {}) {
    AppServices services;
    services.headless_out = &out;
    services.make_credentials_checker = [this] {
      checker_made = true;
      return std::make_unique<FakeChecker>(checker_answer, checked);
    };
    services.application_starter = [=, this](const AppContext& context) {
      ++started;
      account_at_start = context.world.configuration.account;
      if (on_start) on_start();
      auto app = start_headless_application(context);
      app->exit("test over", app_exit_code);
      return app;
    };
    return start_quillpost(config, paths, system_info, sigint, sigterm, logs::logger("main"), build,
                           services);
  }

  std::vector<std::string> gui_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  TempDir dir;
  RuntimeConfig config = [] {
    RuntimeConfig c;
    c.headless = true;
    return c;
  }();
  Paths paths{dir / "settings", dir / "resources"};
  SystemInfo system_info = [] {
    SystemInfo s;
    s.username = "alice";
    s.platform = "Plat-1";
    s.pid = 4242;
    return s;
  }();
  Event sigint;
  Event sigterm;
  BuildInfo build{"1", "community", false, "", false, {}};
  std::ostringstream out;
  std::optional<Account> checker_answer;
  bool checker_made = false;
  std::vector<std::string> checked;
  int started = 0;
  std::optional<Account> account_at_start;
  logs::Capture capture;
};

TEST_F(StartQuillpost, RunsTheApplicationAndReportsItsClose) {
  for (const auto& [code, event] :
       std::vector<std::pair<int, std::string>>{{0, "APP_CLOSE"}, {5, "APP_CLOSE_WITH_ERROR"}}) {
    out.str("");
    EXPECT_EQ(run(code), code);
    EXPECT_THAT(gui_lines(),
                ElementsAre("APP_STARTING: Application starting; alice/4242 on Plat-1.",
                            MatchesRegex(event + ": Closing after [0-9.]+s\\. Exit code " +
                                         std::to_string(code) + "\\.")));
  }
  EXPECT_FALSE(checker_made) << "no e-mail and password: nothing to check";
}

TEST_F(StartQuillpost, RefusedCredentialsEndTheRunBeforeTheApplicationStarts) {
  config.email = "a@example.com";
  config.password = "bad";
  EXPECT_EQ(run(), value(ExitCodes::CLIENT_DISCONNECT_NO_RECOVERY_POSSIBLE));
  EXPECT_EQ(started, 0);
  EXPECT_THAT(checked, ElementsAre("a@example.com/bad"));
  EXPECT_THAT(
      gui_lines(),
      ElementsAre("APP_STARTING: Application starting; alice/4242 on Plat-1.",
                  "COMMAND_LINE_CREDENTIALS_FAIL: Credentials passed on command line or in "
                  "config file are not valid. The program will exit. Error detail is "
                  "'Wrong password'.",
                  MatchesRegex("APP_CLOSE_WITH_ERROR: Closing after .*\\. Exit code 20\\.")));
}

TEST_F(StartQuillpost, AcceptedCredentialsGiveTheAccountTheApplicationStartsWith) {
  config.email = "a@example.com";
  config.password = "";  // an empty password is still a password to check
  config.client_key = "configured-key";
  checker_answer = Account{"a@example.com", "from-service", 3};
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(account_at_start, checker_answer);
  EXPECT_EQ(AccountStore(paths.state_file()).load(), checker_answer);
}

TEST_F(StartQuillpost, WithoutCredentialsTheAccountIsTheContainersOne) {
  config.email = "a@example.com";  // no password: no check
  config.client_key = "configured-key";
  EXPECT_EQ(run(), 0);
  EXPECT_FALSE(checker_made);
  EXPECT_EQ(account_at_start->client_key, "configured-key");
  EXPECT_EQ(account_at_start->email, std::string(AUTH_WITH_CLIENT_KEY_EMAIL));
}

TEST_F(StartQuillpost, ASigintOrSigtermBeforeTheStartEndsTheRunAfterTheCredentialsCheck) {
  config.email = "a@example.com";
  config.password = "good";
  config.shutdown_on_sigint = false;  // the start ends whatever the running phase would do
  checker_answer = Account{"a@example.com", "k", 1};
  struct Case {
    bool sigint;
    bool sigterm;
    std::string line;
  };
  for (const auto& c : std::vector<Case>{
           {true, false, "INITIAL_SIGINT: SIGINT received before app start"},
           {false, true, "INITIAL_SIGTERM: SIGTERM received before app start"},
           {true, true, "INITIAL_SIGINT: SIGINT received before app start"},
       }) {
    Event fresh_sigint, fresh_sigterm;
    if (c.sigint) fresh_sigint.set();
    if (c.sigterm) fresh_sigterm.set();
    out.str("");
    checked.clear();
    AppServices services;
    services.headless_out = &out;
    services.make_credentials_checker = [this] {
      return std::make_unique<FakeChecker>(checker_answer, checked);
    };
    services.application_starter = [this](const AppContext& context) {
      ++started;
      return start_headless_application(context);
    };
    EXPECT_EQ(start_quillpost(config, paths, system_info, fresh_sigint, fresh_sigterm,
                              logs::logger("main"), build, services),
              value(ExitCodes::OK));
    EXPECT_EQ(started, 0);
    EXPECT_EQ(checked.size(), 1u);
    const auto lines = gui_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], c.line);
    EXPECT_THAT(lines[2], MatchesRegex("APP_CLOSE: Closing after .*\\. Exit code 0\\."));
  }
  EXPECT_TRUE(capture.texts("signal_handler").empty());
}

TEST_F(StartQuillpost, ASecondInstanceIsRefused) {
  StartupLock first(paths.lock_file());
  EXPECT_EQ(run(), value(ExitCodes::START_MUTEX));
  EXPECT_EQ(started, 0);
  const auto lines = gui_lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_THAT(lines[1], HasSubstr("APP_STARTING_ERROR: Another instance is already running"));
  EXPECT_THAT(lines[2], HasSubstr("Exit code 21."));
}

TEST_F(StartQuillpost, ASignalWhileTheApplicationStartsAsksItToExitWithZero) {
  // SIGINT only where its shutdown is enabled; SIGTERM always.
  struct Case {
    int sig;
    bool shutdown_on_sigint;
    std::string line;
  };
  for (const auto& c : std::vector<Case>{
           {SIGINT, true, "Processing signal 2 (SIGINT, SIG_SETMASK)"},
           {SIGTERM, false, "Processing signal 15 (SIGTERM)"},
       }) {
    auto flag = configure_initial_shutdown_handler();
    auto term = configure_initial_termination_handler();
    config.shutdown_on_sigint = c.shutdown_on_sigint;
    AppServices services;
    services.headless_out = &out;
    services.application_starter = [sig = c.sig](const AppContext& context) {
      std::raise(sig);  // comes while the application is being started
      return start_headless_application(context);
    };
    capture.clear();
    EXPECT_EQ(start_quillpost(config, paths, system_info, *flag, *term, logs::logger("main"), build,
                              services),
              0);
    EXPECT_THAT(capture.texts("signal_handler"), ElementsAre(c.line));
    EXPECT_THAT(gui_lines().back(), MatchesRegex("APP_CLOSE: Closing after .*\\. Exit code 0\\."));
  }
}

TEST(ConfigureMultiprocessing, ForkOnlyWhereTheNameIsPartOfLinux) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"Linux", "fork"}, {"", "fork"}, {"Lin", "fork"}, {"Windows", "spawn"}, {"Darwin", "spawn"}};
  for (const auto& [system, method] : cases)
    EXPECT_EQ(select_start_method(system), method) << system;
  configure_multiprocessing();
  EXPECT_EQ(start_method(), "fork");
}

TEST(ConfigureLogging, WritesTheBuildLineThenTheSystemLines) {
  TempDir dir;
  SystemInfo info;
  info.system = "Linux";
  const auto logger = configure_logging(dir / "logs", info, false,
                                        BuildInfo{"9.9", "test", false, "info", false, {}});
  EXPECT_EQ(logger.name(), "main");
  logs::flush();
  std::ifstream in(logs::log_file());
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_THAT(lines[lines.size() - 6], HasSubstr("main: BUILD CONFIGURATION version:9.9"));
  EXPECT_THAT(lines[lines.size() - 5], HasSubstr("main: PYTHON  : None"));
  EXPECT_THAT(lines[lines.size() - 4], HasSubstr("main: SYSTEM  : Linux"));
}

TEST(ConfigureLogging, AnUnwritableDirectoryIsAPermissionError) {
  quillpost::testing::where_permissions_apply([] {
    TempDir dir;
    std::filesystem::create_directories(dir / "ro");
    std::filesystem::permissions(
        dir / "ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_THROW(configure_logging(dir / "ro/logs", SystemInfo{}, false, BuildInfo{}),
                 PermissionError);
  });
}

}  // namespace
}  // namespace quillpost::main
