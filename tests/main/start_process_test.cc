// The launcher's start and close as a process: exit codes, standard output and
// the log, with real signals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

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
  EXPECT_EQ(driver.wait_exit(), 128 + SIGTERM);
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
