// The launcher's start and close as a process: exit codes, standard output and
// the log, with real signals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "host/services/stub_service.h"
#include "main/process_driver.h"
#include "support/files.h"
#include "support/service_process.h"

namespace quillpost {
namespace {

using ::testing::HasSubstr;
using testing::TempDir;
using testing::write_file;

class Driver : public testing::Driver {
 public:
  explicit Driver(std::vector<std::string> args, std::vector<std::string> env = {})
      : testing::Driver("start_driver", std::move(args), std::move(env)) {}
};

std::string log_of(const TempDir& dir) {
  return testing::read_file(dir / "settings/logs/quillpost.log");
}

TEST(StartProcess, SigintEndsARunningApplicationWithZero) {
  TempDir dir;
  Driver driver({(dir / "settings").string(), "1"});
  ASSERT_TRUE(driver.wait_for_output("started")) << driver.out();
  driver.signal(SIGINT);
  driver.signal(SIGINT);
  EXPECT_EQ(driver.wait_exit(), 0) << driver.out();
  EXPECT_THAT(driver.out(), HasSubstr("APP_STARTING: Application starting; "));
  EXPECT_THAT(driver.out(),
              ::testing::ContainsRegex("APP_CLOSE: Closing after .*\\. Exit code 0\\."));
  const std::string log = log_of(dir);
  EXPECT_THAT(log, HasSubstr("main: BUILD CONFIGURATION version:"));
  EXPECT_THAT(log, HasSubstr("signal_handler: Processing signal 2 (SIGINT, SIG_SETMASK)"));
  EXPECT_LT(log.find("BUILD CONFIGURATION"), log.find("user, hostname, cwd"));
}

TEST(StartProcess, WithoutShutdownOnSigintSigintIsIgnored) {
  TempDir dir;
  Driver driver({(dir / "settings").string(), "0"});
  ASSERT_TRUE(driver.wait_for_output("started")) << driver.out();
  // Until the handling is final a SIGINT would end the start: wait until the
  // process ignores SIGINT.
  for (int i = 0; i < 2000 && !driver.ignores(SIGINT); ++i) ::usleep(1000);
  ASSERT_TRUE(driver.ignores(SIGINT));
  driver.signal(SIGINT);
  ::usleep(100000);
  EXPECT_TRUE(driver.running());
  driver.signal(SIGTERM);
  EXPECT_EQ(driver.wait_exit(), 0) << driver.out();
}

// Waits until the log holds `text` (the main loop logs deferred signals).
bool log_shows(const TempDir& dir, const std::string& text) {
  for (int i = 0; i < 2000; ++i) {
    if (log_of(dir).find(text) != std::string::npos) return true;
    ::usleep(5000);
  }
  return false;
}

// SIGTERM ends the run with 0 in every phase, whatever shutdown on SIGINT
// says; SIGHUP is logged and ignored. The start-up phase is held open by a
// login that the stub service answers only when the test lets it.
TEST(StartProcess, SigtermEndsAndSighupIsIgnoredInEachPhase) {
  constexpr std::string_view kSighup =
      "WARNING   signal_handler: Ignoring SIGHUP: the configuration is read only at start; "
      "restart to apply a change";
  struct Case {
    std::string phase;  // "start-up" or "running"
    std::string shutdown_on_sigint;
    int sig;
  };
  for (const auto& c : std::vector<Case>{{"start-up", "0", SIGTERM},
                                         {"start-up", "1", SIGHUP},
                                         {"running", "0", SIGTERM},
                                         {"running", "1", SIGTERM},
                                         {"running", "0", SIGHUP}}) {
    SCOPED_TRACE(c.phase + " " + c.shutdown_on_sigint + " " + std::to_string(c.sig));
    testing::StubService login(
        testing::http_response(200, R"({"email": "a@example.com", "clientKey": "k"})"),
        /*held=*/true);
    TempDir dir;
    Driver driver({(dir / "settings").string(), c.shutdown_on_sigint, "a@example.com", "pw"},
                  {"QUILLPOST_SERVICE_URL=" + login.base_url()});
    if (c.phase == "start-up") {
      for (int i = 0; i < 2000 && login.request().empty(); ++i) ::usleep(5000);
      ASSERT_FALSE(login.request().empty()) << driver.out();
      driver.signal(c.sig);
      login.release();
    } else {
      login.release();
      ASSERT_TRUE(driver.wait_for_output("started")) << driver.out();
      driver.signal(c.sig);
      driver.signal(c.sig);  // a burst: one request
    }
    if (c.sig == SIGHUP) {
      ASSERT_TRUE(driver.wait_for_output("started")) << driver.out();
      EXPECT_TRUE(log_shows(dir, std::string(kSighup))) << log_of(dir);
      EXPECT_TRUE(driver.running());
      driver.signal(SIGTERM);
    }
    EXPECT_EQ(driver.wait_exit(), 0) << driver.out();
    EXPECT_THAT(driver.out(),
                ::testing::ContainsRegex("APP_CLOSE: Closing after .*\\. Exit code 0\\."));
    const std::string log = log_of(dir);
    if (c.phase == "start-up" && c.sig == SIGTERM) {
      EXPECT_THAT(driver.out(), HasSubstr("INITIAL_SIGTERM: SIGTERM received before app start"));
      EXPECT_THAT(driver.out(), ::testing::Not(HasSubstr("started")));
      EXPECT_THAT(log, ::testing::Not(HasSubstr("Processing signal")));
    } else {
      const std::string processing = "signal_handler: Processing signal 15 (SIGTERM)";
      const auto first = log.find(processing);
      EXPECT_NE(first, std::string::npos) << log;
      EXPECT_EQ(log.find(processing, first + 1), std::string::npos) << log;
    }
  }
}

TEST(StartProcess, ASecondInstanceExitsWithStartMutex) {
  TempDir dir;
  Driver first({(dir / "settings").string(), "1"});
  ASSERT_TRUE(first.wait_for_output("started")) << first.out();
  Driver second({(dir / "settings").string(), "1"});
  EXPECT_EQ(second.wait_exit(), 21) << second.out();
  EXPECT_THAT(second.out(), HasSubstr("APP_STARTING_ERROR: Another instance is already running"));
  EXPECT_THAT(second.out(), HasSubstr("Exit code 21."));
  first.signal(SIGINT);
  EXPECT_EQ(first.wait_exit(), 0);
}

TEST(StartProcess, WrongCredentialsExitWithNoRecoveryPossible) {
  testing::ServiceProcess service;
  TempDir dir;
  Driver driver({(dir / "settings").string(), "1", "demo@quillpost.test", "sekrit-pw"},
                {"QUILLPOST_SERVICE_URL=" + service.base_url()});
  EXPECT_EQ(driver.wait_exit(), 20) << driver.out();
  EXPECT_THAT(driver.out(),
              HasSubstr("COMMAND_LINE_CREDENTIALS_FAIL: Credentials passed on command line or in "
                        "config file are not valid. The program will exit. Error detail is "
                        "'Invalid email or password.'."));
  EXPECT_THAT(driver.out(), HasSubstr("APP_CLOSE_WITH_ERROR: Closing after"));
  EXPECT_THAT(driver.out(), ::testing::Not(HasSubstr("started")));
  EXPECT_THAT(log_of(dir), ::testing::Not(HasSubstr("sekrit-pw")));
}

TEST(StartProcess, AcceptedCredentialsAreKeptForTheNextStart) {
  testing::ServiceProcess service;
  TempDir dir;
  Driver driver({(dir / "settings").string(), "1", "demo@quillpost.test", "demo"},
                {"QUILLPOST_SERVICE_URL=" + service.base_url()});
  ASSERT_TRUE(driver.wait_for_output("started")) << driver.out();
  driver.signal(SIGINT);
  EXPECT_EQ(driver.wait_exit(), 0) << driver.out();
  const std::string saved = testing::read_file(dir / "settings/account.json");
  EXPECT_THAT(saved, HasSubstr("demo-client-key"));
  EXPECT_THAT(saved, ::testing::Not(HasSubstr("\"demo\"")));  // never the password
}

}  // namespace
}  // namespace quillpost
