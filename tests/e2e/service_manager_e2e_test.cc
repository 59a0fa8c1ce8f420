// The program as a service manager runs it: the real `launch` headless
// against quillpost-service, with the manager's notify socket bound by the
// test, its credentials directory and its journal on standard error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "e2e/launch_process.h"
#include "support/files.h"
#include "support/notify_listener.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace quillpost {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::HasSubstr;
using testing::LaunchProcess;
using testing::NotifyListener;
using testing::ServiceProcess;
using ::testing::StartsWith;
using testing::TempDir;

constexpr std::string_view kClientKey = "svc-key-5ecret-42";

std::string launch_path() {
  return std::string(QP_BINARY_DIR) + "/bin/launch";
}

// The service, with an account that signs in with kClientKey (id 9).
std::vector<std::string> with_account(const TempDir& dir) {
  const auto path = dir / "accounts.json";
  std::ofstream(path) << nlohmann::json{
      {"accounts",
       {{{"id", 9}, {"email", "svc@example.test"}, {"password", "x"}, {"clientKey", kClientKey}}}}};
  return {"--accounts", path.string()};
}

// Every datagram until one starts with `last` (included), or the time is up.
std::vector<std::string> receive_until(const NotifyListener& listener, std::string_view last,
                                       std::vector<std::string>& seen) {
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < end) {
    const auto message = listener.receive(200ms);
    if (!message) continue;
    seen.push_back(*message);
    if (message->rfind(last, 0) == 0) break;
  }
  return seen;
}

TEST(AsAService, NotifiesTakesItsKeyFromCredentialsAndStopsOnSigterm) {
  TempDir dir;
  ServiceProcess service(with_account(dir));
  NotifyListener manager((dir / "notify").string());
  ASSERT_TRUE(manager.bound());
  testing::write_file(dir, "credentials/client_key", std::string(kClientKey) + "\n");
  LaunchProcess client(
      launch_path(),
      {"--headless", "--log-all", "--settings-dir=" + (dir / "settings").string(),
       "--settings-dir-create"},
      {"QUILLPOST_SERVICE_URL=" + service.base_url(), "NOTIFY_SOCKET=" + manager.name(),
       "WATCHDOG_USEC=200000", "CREDENTIALS_DIRECTORY=" + (dir / "credentials").string()},
      /*journal=*/true);

  std::vector<std::string> seen;
  receive_until(manager, "STATUS=Handshaked", seen);
  // Pings every 0.1 s from the agent runtime while it runs.
  for (int pings = 0; pings < 3;) {
    const auto message = manager.receive(2s);
    ASSERT_TRUE(message) << client.output();
    seen.push_back(*message);
    pings += *message == "WATCHDOG=1";
  }
  EXPECT_THAT(seen, Contains("READY=1"));
  EXPECT_THAT(seen, Contains("STATUS=Disconnected: just started; retry in 0.1 s"));
  EXPECT_THAT(seen, Contains("STATUS=Finding server with 127.0.0.1:" +
                             std::to_string(service.http_port())));
  EXPECT_THAT(seen, Contains(StartsWith("STATUS=Handshaked: account 9, computer ")));
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "READY=1"), 1);

  // SIGHUP is logged, at warning in the journal, and changes nothing.
  client.signal(SIGHUP);
  ASSERT_TRUE(client.wait_for_line(
      "<4>WARNING signal_handler: Ignoring SIGHUP: the configuration is read only at start; "
      "restart to apply a change"))
      << client.output();
  EXPECT_TRUE(client.running());

  client.signal(SIGTERM);
  receive_until(manager, "STOPPING=1", seen);
  EXPECT_EQ(seen.back(), "STOPPING=1\nSTATUS=Stopping: SIGTERM received");
  EXPECT_EQ(client.wait_exit(), 0) << client.output();
  EXPECT_THAT(client.output(), ::testing::ContainsRegex("APP_CLOSE: Closing after [^\n]+\\. "
                                                        "Exit code 0\\."));
  // The key never reached the command line, the output or the log.
  const std::string log = testing::read_file(dir / "settings/logs/quillpost.log");
  EXPECT_THAT(log, HasSubstr("Config credentials/client_key value *****************"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr(std::string(kClientKey))));
  EXPECT_THAT(client.output(), ::testing::Not(HasSubstr(std::string(kClientKey))));
}

TEST(AsAService, TheJournalShowsWhyItStopped) {
  TempDir dir;
  // No account at all: the client cannot connect and the run ends with 20.
  LaunchProcess client(
      launch_path(),
      {"--headless", "--settings-dir=" + (dir / "settings").string(), "--settings-dir-create"},
      {"QUILLPOST_SERVICE_URL=http://127.0.0.1:9"}, /*journal=*/true);
  EXPECT_EQ(client.wait_exit(), 20) << client.output();
  EXPECT_THAT(client.output(),
              HasSubstr("<4>WARNING client: Not connecting to server. Account is missing fields"));
  EXPECT_THAT(client.output(), HasSubstr("<3>ERROR runner: The client stopped connecting"));
  // Informational lines stay out of the journal.
  EXPECT_THAT(client.output(), ::testing::Not(HasSubstr("<6>")));
}

}  // namespace
}  // namespace quillpost
