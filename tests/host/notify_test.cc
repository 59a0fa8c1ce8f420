// The service manager's notifications against a unix datagram socket the
// test binds, and what they carry.
#include "quillpost/host/process/notify.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>

#include "support/notify_listener.h"
#include "support/temp_dir.h"

namespace quillpost {
namespace {

using Listener = testing::NotifyListener;

// An environment that holds NOTIFY_SOCKET=`value` and nothing else.
Getenv notify_socket(const std::string& value) {
  return [value](const std::string& name) -> std::optional<std::string> {
    if (name == "NOTIFY_SOCKET") return value;
    return std::nullopt;
  };
}

TEST(NotifyReady, SendsReadyToASocketPath) {
  testing::TempDir dir;
  Listener listener((dir / "notify").string());
  ASSERT_TRUE(listener.bound());
  EXPECT_TRUE(notify_ready(notify_socket(listener.name())));
  EXPECT_EQ(listener.receive(), "READY=1");
}

TEST(NotifyReady, SendsReadyToAnAbstractSocket) {
  Listener listener("@quillpost-notify-test-" + std::to_string(::getpid()));
  ASSERT_TRUE(listener.bound());
  EXPECT_TRUE(notify_service_manager(notify_socket(listener.name()), "STATUS=starting\nREADY=1"));
  EXPECT_EQ(listener.receive(), "STATUS=starting\nREADY=1");
}

TEST(NotifyReady, FalseWithoutAUsableSocket) {
  testing::TempDir dir;
  EXPECT_FALSE(notify_ready(Getenv{}));
  for (const std::string& value :
       {std::string(), std::string("@"), std::string("relative/notify"),
        "/" + std::string(200, 'x'),  // longer than a socket address holds
        (dir / "nobody-listens").string()}) {
    EXPECT_FALSE(notify_ready(notify_socket(value))) << value;
  }
}

// An environment of the given variables.
Getenv environment(std::map<std::string, std::string> variables) {
  return [variables = std::move(variables)](const std::string& name) -> std::optional<std::string> {
    const auto found = variables.find(name);
    if (found == variables.end()) return std::nullopt;
    return found->second;
  };
}

TEST(NotifyStatus, OneLineOfAtMostTheLimitWhateverTheTextHolds) {
  testing::TempDir dir;
  Listener listener((dir / "notify").string());
  ASSERT_TRUE(listener.bound());
  const Getenv getenv = notify_socket(listener.name());
  // A server's reason must not add an assignment of its own.
  EXPECT_TRUE(notify_status(getenv, "Disconnected: bye\nREADY=1\x1b[2J; retry in 3 s"));
  EXPECT_EQ(listener.receive(), "STATUS=Disconnected: bye\\nREADY=1\\x1b[2J; retry in 3 s");
  EXPECT_TRUE(notify_stopping(getenv, "Stopping: SIGTERM received"));
  EXPECT_EQ(listener.receive(), "STOPPING=1\nSTATUS=Stopping: SIGTERM received");
  EXPECT_TRUE(notify_watchdog(getenv));
  EXPECT_EQ(listener.receive(), "WATCHDOG=1");

  // Cut on a character boundary: "é" is two bytes and must not be split.
  const std::string long_text = std::string(kMaxStatusBytes - 1, 'a') + "\xc3\xa9tc";
  const std::string cut = status_assignment(long_text);
  EXPECT_EQ(cut, "STATUS=" + std::string(kMaxStatusBytes - 1, 'a'));
  EXPECT_EQ(status_assignment(std::string(300, 'b')).size(), 7 + kMaxStatusBytes);
}

TEST(WatchdogInterval, HalfThePeriodForThisProcessOnly) {
  struct Case {
    std::map<std::string, std::string> env;
    std::optional<std::chrono::microseconds> interval;
  };
  const std::string me = std::to_string(::getpid());
  const std::vector<Case> cases{
      {{{"WATCHDOG_USEC", "60000000"}}, std::chrono::seconds(30)},
      {{{"WATCHDOG_USEC", "200000"}, {"WATCHDOG_PID", me}}, std::chrono::milliseconds(100)},
      {{{"WATCHDOG_USEC", "200000"}, {"WATCHDOG_PID", "1"}}, std::nullopt},  // another's
      {{{"WATCHDOG_USEC", "0"}}, std::nullopt},
      {{{"WATCHDOG_USEC", "-5"}}, std::nullopt},
      {{{"WATCHDOG_USEC", "12x"}}, std::nullopt},
      {{{"WATCHDOG_USEC", "99999999999999999999999"}}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(watchdog_interval(environment(c.env), ::getpid()), c.interval)
        << (c.env.empty() ? "" : c.env.begin()->second);
  }
}

}  // namespace
}  // namespace quillpost
