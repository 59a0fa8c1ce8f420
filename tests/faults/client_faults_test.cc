// The connection client under the service's fault knobs: every failure ends
// in a disconnect with the right reason and reconnect wait, and the client
// comes back to a handshake by itself (or gives up where it must), without
// crashing, hanging or leaking threads and descriptors.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "harness.h"
#include "support/service_process.h"

namespace quillpost::faults {
namespace {

using testing::ServiceProcess;

// Heartbeats every second, the link given up after two silent seconds: the
// listener's deadline trips fast.
const std::vector<std::string> kFastHeartbeat = {"--heartbeat-interval", "1", "--heartbeat-timeout",
                                                 "2"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Starts launch against `service`, whose first answers are faulty.
std::unique_ptr<LaunchRun> start(const ServiceProcess& service) {
  LaunchRun::Options options;
  options.service_url = service.base_url();
  return std::make_unique<LaunchRun>(options);
}

// Expects disconnect number `n` with a reason containing `reason`, and notes
// it in `row`.
void expect_disconnect(const LaunchRun& run, Row& row, int n, const std::string& reason,
                       std::chrono::milliseconds timeout = 20s) {
  const std::string seen = run.wait_disconnect(n, timeout);
  ASSERT_FALSE(seen.empty()) << "no disconnect #" << n << "; stdout:\n" << run.out();
  EXPECT_NE(seen.find(reason), std::string::npos) << seen;
  row.observe("\"" + seen + "\"");
}

void expect_handshake_after(const LaunchRun& run, Row& row, int before,
                            std::chrono::milliseconds timeout = 20s) {
  const bool again = run.wait_handshake_after(before, timeout);
  EXPECT_TRUE(again) << run.out();
  row.observe(again ? "handshaked again" : "no handshake");
}

// Ends the run with SIGINT (a clean exit 0 proves nothing is stuck), then
// compares the reconnect waits the client logged, in order, with `waits_ms`.
// The log is read only now: lines below warning level reach the file when it
// is flushed.
void finish(LaunchRun& run, Row& row, const std::vector<int>& waits_ms) {
  run.process().signal(SIGINT);
  const auto code = run.process().wait_exit(20s);
  EXPECT_EQ(code, 0) << run.out();
  const std::vector<int> waits = run.reconnect_waits_ms();
  EXPECT_EQ(waits, waits_ms) << run.log();
  std::string text;
  for (int w : waits) text += (text.empty() ? "" : ",") + std::to_string(w);
  row.observe("waits [" + text + "]ms; exit " + (code ? std::to_string(*code) : "none"));
}

// True once the service holds exactly one connection and it is
// authenticated: the client's old connection is gone on the service's side
// too, so a push reaches the live one.
bool one_live_connection(const ServiceProcess& service) {
  return service.wait_for_state(
      [](const nlohmann::json& s) {
        return s["connections"].size() == 1 && s["connections"][0]["authenticated"] == true;
      },
      10s);
}

std::string waits_text(const std::vector<int>& waits) {
  std::string text;
  for (int w : waits) text += (text.empty() ? "" : ",") + std::to_string(w);
  return "waits [" + text + "]ms";
}

TEST(ClientFaults, DiscoveryFailuresEachWaitThenRecover) {
  ServiceProcess service({"--fault", "discovery=500"});
  // The last wait (0) is the reconnect after the first handshake taught the
  // client its account id.
  const std::vector<int> waits = {10000, 10000, 5000, 0};
  Row row("discovery 500, then malformed, then closed-port, then ok",
          "disconnects naming the cause; " + waits_text(waits) + "; handshake; exit 0");
  auto run = start(service);
  expect_disconnect(*run, row, 1, "HTTP 500");
  service.set_fault("discovery", "malformed");
  expect_disconnect(*run, row, 2, "service discovery failed");
  service.set_fault("discovery", "closed-port");
  expect_disconnect(*run, row, 3, "");
  service.set_fault("discovery", "ok");
  expect_handshake_after(*run, row, 0);
  ASSERT_TRUE(run->wait_out(kHandshaked, 2));
  finish(*run, row, waits);
}

TEST(ClientFaults, DiscoveryThatNeverAnswersTimesOut) {
  ServiceProcess service({"--fault", "discovery=hang"});
  const std::vector<int> waits = {10000, 0};
  Row row("discovery never answers (request held open)",
          "disconnect after the 15s discovery time-out; " + waits_text(waits) + "; handshake");
  auto run = start(service);
  expect_disconnect(*run, row, 1, "timed out", 25s);
  service.set_fault("discovery", "ok");
  expect_handshake_after(*run, row, 0);
  ASSERT_TRUE(run->wait_out(kHandshaked, 2));
  finish(*run, row, waits);
}

TEST(ClientFaults, SilentSocketDroppedMidHandshakeThenListenerDeadline) {
  ServiceProcess service(with(kFastHeartbeat, {"--fault", "socket=silent"}));
  const std::vector<int> waits = {3000, 3000, 0};
  Row row("socket accepts then stays silent: dropped mid-handshake, then left silent",
          "drop: disconnect; silence: listener deadline (2s); " + waits_text(waits) +
              "; handshake once ok");
  auto run = start(service);
  // Mid-handshake: connected, no "authentication" yet, then the service drops it.
  ASSERT_TRUE(service.wait_for_state(
      [](const nlohmann::json& s) { return !s["connections"].empty(); }, 10s));
  EXPECT_GE(service.drop_connections(), 1);
  expect_disconnect(*run, row, 1, "closed by the server");
  expect_disconnect(*run, row, 2, "no data within 2.0s");
  service.set_fault("socket", "ok");
  expect_handshake_after(*run, row, 0);
  ASSERT_TRUE(run->wait_out(kHandshaked, 2));
  finish(*run, row, waits);
}

struct AuthCase {
  std::string knob;
  std::string retry_after;  // empty: the service's default (1)
  std::string reason;       // part of the disconnect reason
  int wait_ms;
};

// Answers to "authenticate" after which the client reconnects by itself.
TEST(ClientFaults, AuthAnswersThatMakeTheClientComeBack) {
  const std::vector<AuthCase> cases = {
      {"rejected", "", "  - reconnecting after 5.0", 5000},
      {"rejected", "6", "  - reconnecting after 6.0", 6000},
      {"rejected-bare", "", "server rejected client. reconnecting after 5.0", 5000},
      {"error", "", "Server error", 10000},
      {"oversized", "", "protocol error", 3000},
      {"malformed", "", "protocol error", 3000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.knob + " " + c.retry_after);
    std::vector<std::string> args = {"--fault", "auth=" + c.knob};
    if (!c.retry_after.empty())
      args.insert(args.end(), {"--fault", "retry-after=" + c.retry_after});
    ServiceProcess service(args);
    const std::vector<int> waits = {c.wait_ms, 0};
    Row row("auth answer " + c.knob + (c.retry_after.empty() ? "" : " retryAfter " + c.retry_after),
            "disconnect \"" + c.reason + "\"; " + waits_text(waits) + "; handshake once ok");
    auto run = start(service);
    expect_disconnect(*run, row, 1, c.reason);
    service.set_fault("auth", "ok");
    expect_handshake_after(*run, row, 0);
    ASSERT_TRUE(run->wait_out(kHandshaked, 2));
    finish(*run, row, waits);
  }
}

// Answers after which the client must give up: it logs the account out, the
// key is forgotten on disk and launch exits with 20.
TEST(ClientFaults, AuthAnswersThatEndTheClient) {
  for (const std::string knob : {"fail", "rejected-destroy", "rejected-destroy-bare"}) {
    SCOPED_TRACE(knob);
    ServiceProcess service({"--fault", "auth=" + knob});
    Row row("auth answer " + knob, "logout, key forgotten on disk, exit 20");
    auto run = start(service);
    const auto code = run->process().wait_exit(20s);
    ASSERT_TRUE(code.has_value()) << run->out();
    EXPECT_EQ(*code, 20) << run->out();
    row.observe("exit " + std::to_string(*code));
    const std::string account = read_file(run->settings_dir() / "account.json");
    EXPECT_EQ(account.find(kDemoClientKey), std::string::npos) << account;
    row.observe(account.find(kDemoClientKey) == std::string::npos ? "key forgotten" : "KEY KEPT");
    EXPECT_FALSE(service.state()["lastAuthenticate"].is_null());
  }
}

// A key the service destroys must be gone from disk, or the next start uses
// it again. The key here comes from account.json, not the command line.
TEST(ClientFaults, DestroyedKeyIsForgottenOnDisk) {
  for (const std::string knob : {"fail", "rejected-destroy"}) {
    SCOPED_TRACE(knob);
    ServiceProcess service({"--fault", "auth=" + knob});
    Row row("auth answer " + knob + ", key kept in account.json",
            "the key is removed from account.json before exit 20");
    testing::TempDir dir;
    const auto settings = dir / "settings";
    std::filesystem::create_directories(settings);
    std::ofstream(settings / "account.json") << nlohmann::json{
        {"email", "Id 1"},
        {"client_key", kDemoClientKey},
        {"computer_id", 1001}}.dump();
    LaunchRun::Options options;
    options.service_url = service.base_url();
    options.add_settings_dir = false;
    options.add_client_key = false;
    options.args = {"--settings-dir=" + settings.string()};
    LaunchRun run(options);
    const auto code = run.process().wait_exit(20s);
    EXPECT_EQ(code, 20) << run.out();
    const std::string account = read_file(settings / "account.json");
    EXPECT_EQ(account.find(kDemoClientKey), std::string::npos) << account;
    row.observe(account.find(kDemoClientKey) == std::string::npos ? "key removed" : "KEY KEPT");
  }
}

TEST(ClientFaults, UnansweredHeartbeatsEndTheLink) {
  ServiceProcess service(kFastHeartbeat);
  const std::vector<int> waits = {0, 3000};
  Row row("heartbeats unanswered (interval 1s, timeout 2s)",
          "disconnect by the listener deadline; " + waits_text(waits) + "; handshake");
  auto run = start_connected(service);
  ASSERT_TRUE(run);
  const int before = run->handshakes();
  const int disconnect = run->disconnects() + 1;  // counted before the fault
  service.set_fault("heartbeat", "ignore");
  expect_disconnect(*run, row, disconnect, "no data within 2.0s");
  service.set_fault("heartbeat", "answer");
  expect_handshake_after(*run, row, before);
  finish(*run, row, waits);
}

TEST(ClientFaults, MalformedAndOversizedFramesMidStream) {
  ServiceProcess service;
  const std::vector<int> waits = {0, 3000, 3000};
  Row row("pushed: a line that is not JSON, then a frame over 1 MiB",
          "each a protocol-error disconnect; " + waits_text(waits) + "; handshake again");
  auto run = start_connected(service);
  ASSERT_TRUE(run);
  for (const auto& request :
       {nlohmann::json{{"raw", "this is {not json"}}, nlohmann::json{{"oversized", true}}}) {
    ASSERT_TRUE(one_live_connection(service));
    const int before = run->handshakes();
    const int disconnect = run->disconnects() + 1;  // counted before the push
    ASSERT_EQ(service.push(request), 1);
    expect_disconnect(*run, row, disconnect, "protocol error");
    expect_handshake_after(*run, row, before);
  }
  finish(*run, row, waits);
}

int drop_cycles() {
  const char* env = std::getenv("QP_FAULTS_DROP_CYCLES");
  return env ? std::atoi(env) : 50;
}

TEST(ClientFaults, DroppedMidStreamManyTimesInARow) {
  const int cycles = drop_cycles();
  ServiceProcess service;
  Row row("connection dropped mid-stream " + std::to_string(cycles) + " times in a row",
          "each: disconnect, wait 3000ms, handshake; threads and fds back to the start count");
  auto run = start_connected(service);
  ASSERT_TRUE(run);
  const pid_t pid = run->process().pid();
  // The worker threads of the first connections end on their own; count once
  // they have.
  int threads = thread_count(pid);
  int fds = fd_count(pid);
  for (int i = 0; i < cycles; ++i) {
    const int before = run->handshakes();
    const int disconnects = run->disconnects();
    ASSERT_TRUE(one_live_connection(service)) << "cycle " << i;
    ASSERT_EQ(service.drop_connections(), 1) << "cycle " << i;
    ASSERT_TRUE(run->wait_out(kDisconnected, disconnects + 1, 10s)) << "cycle " << i;
    ASSERT_TRUE(run->wait_handshake_after(before, 15s)) << "cycle " << i << "\n" << run->out();
    if (i == 0) {
      threads = thread_count(pid);
      fds = fd_count(pid);
    }
  }
  row.observe(std::to_string(cycles) + " handshakes after drops");
  // Stragglers of the last connection may still be finishing.
  const bool threads_back = eventually([&] { return thread_count(pid) <= threads; }, 5s);
  const bool fds_back = eventually([&] { return fd_count(pid) <= fds; }, 5s);
  EXPECT_TRUE(threads_back) << thread_count(pid) << " threads, " << threads << " after cycle 1";
  EXPECT_TRUE(fds_back) << fd_count(pid) << " fds, " << fds << " after cycle 1";
  row.observe("threads " + std::to_string(threads) + " -> " + std::to_string(thread_count(pid)) +
              ", fds " + std::to_string(fds) + " -> " + std::to_string(fd_count(pid)));
  EXPECT_EQ(service.state()["connections"].size(), 1u);
  std::vector<int> waits(static_cast<std::size_t>(cycles) + 1, 3000);
  waits[0] = 0;
  finish(*run, row, waits);
}

}  // namespace
}  // namespace quillpost::faults
