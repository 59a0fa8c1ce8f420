// The whole program end to end: the real `launch` headless against the real
// quillpost-service on loopback, each on free ports, every wait a poll with a
// deadline. What a user sees (the GUI lines on standard output, the log, the
// exit code, the web status page) and what the service saw.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/launch_process.h"
#include "support/files.h"
#include "support/ports.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace quillpost {
namespace {

using namespace std::chrono_literals;
using ::testing::ContainsRegex;
using testing::free_port;
using ::testing::HasSubstr;
using testing::LaunchProcess;
using ::testing::Not;
using testing::read_file;
using testing::ServiceProcess;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

// The account the tests sign in with: secrets that cannot appear by chance.
constexpr std::string_view kEmail = "ann@example.test";
constexpr std::string_view kPassword = "pw-Ann-5ecret-71";
constexpr std::string_view kClientKey = "ann-key-5ecret-93";
constexpr std::string_view kHandshaked =
    "CLIENT_HANDSHAKED: Authenticated. Account email ann@example.test. Account id 7.";
constexpr std::string_view kDisconnected = "CLIENT_DISCONNECTED: Disconnected after ";
// Seconds the client waits before reconnecting after its socket failed.
constexpr double kSocketErrorWait = 3.0;

std::string launch_path() {
  return std::string(QP_BINARY_DIR) + "/bin/launch";
}

// The service's options that add Ann's account (the file is written once).
std::vector<std::string> with_account(std::vector<std::string> args = {}) {
  static const TempDir dir;
  static const std::string file = [] {
    const auto path = dir / "accounts.json";
    std::ofstream(path) << nlohmann::json{
        {"accounts",
         {{{"id", 7}, {"email", kEmail}, {"password", kPassword}, {"clientKey", kClientKey}}}}};
    return path.string();
  }();
  args.insert(args.end(), {"--accounts", file});
  return args;
}

// The client's environment: the service's URL.
std::vector<std::string> client_env(const ServiceProcess& service) {
  return {"QUILLPOST_SERVICE_URL=" + service.base_url()};
}

// A headless client against `service` with its settings in `dir`, signing in
// with Ann's e-mail and password.
std::unique_ptr<LaunchProcess> start_client(const ServiceProcess& service, const TempDir& dir,
                                            std::vector<std::string> extra = {}) {
  std::vector<std::string> args{"--headless",
                                "--shutdown-on-sigint",
                                "--email=" + std::string(kEmail),
                                "--password=" + std::string(kPassword),
                                "--settings-dir=" + (dir / "settings").string(),
                                "--settings-dir-create"};
  args.insert(args.end(), extra.begin(), extra.end());
  return std::make_unique<LaunchProcess>(launch_path(), std::move(args), client_env(service));
}

std::string log_of(const TempDir& dir) {
  return read_file(dir / "settings/logs/quillpost.log");
}

// Ends the client with SIGINT and expects the clean close.
void expect_clean_sigint_exit(LaunchProcess& client) {
  client.signal(SIGINT);
  EXPECT_EQ(client.wait_exit(), 0) << client.output();
  EXPECT_THAT(client.output(), ContainsRegex("APP_CLOSE: Closing after [^\n]+\\. Exit code 0\\."));
}

// The service's single connection, or null when it has none or several.
nlohmann::json only_connection(const nlohmann::json& state) {
  const auto& connections = state.at("connections");
  return connections.size() == 1 ? connections[0] : nlohmann::json();
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

TEST(EndToEnd, StartsFindsTheServerAndHandshakes) {
  ServiceProcess service(with_account());
  TempDir dir;
  auto client = start_client(service, dir);
  ASSERT_TRUE(client->wait_for_line(kHandshaked)) << client->output();
  ASSERT_TRUE(client->wait_for_line("CLIENT_HANDSHAKED: Computer name ")) << client->output();

  // The GUI lines tell the story in order.
  const std::string out = client->output();
  const auto at = [&](std::string_view text) { return out.find(text); };
  EXPECT_LT(at("APP_STARTING: Application starting; "), at("CLIENT_FINDING_SERVER: "));
  EXPECT_LT(at("CLIENT_FINDING_SERVER: Finding server with 127.0.0.1"), at("CLIENT_CONNECTING: "));
  EXPECT_LT(at("CLIENT_CONNECTING: "), at("CLIENT_CONNECTED: "));
  EXPECT_LT(at("CLIENT_CONNECTED: "), at(kHandshaked));
  EXPECT_THAT(out, Not(HasSubstr(kDisconnected)));

  // The service holds one authenticated connection for the account.
  ASSERT_TRUE(service.wait_for_state([](const nlohmann::json& state) {
    return only_connection(state).value("authenticated", false);
  })) << service.state().dump();
  const auto state = service.state();
  EXPECT_EQ(only_connection(state)["accountId"], 7);
  EXPECT_EQ(state["counts"]["discoveries"], 1);
  EXPECT_EQ(state["counts"]["authentications"], 1);
  EXPECT_EQ(state["lastDiscovery"]["edition"], "community") << state["lastDiscovery"].dump();

  expect_clean_sigint_exit(*client);

  // The password and the client key the login returned travel to the
  // service but are written nowhere: not on standard output, not in the log,
  // not in the settings directory's files other than the account's own.
  const std::string log = log_of(dir);
  EXPECT_THAT(log, HasSubstr("CONNECTED --> HANDSHAKED"));
  for (const auto secret : {kPassword, kClientKey}) {
    EXPECT_THAT(client->output(), Not(HasSubstr(secret)));
    EXPECT_THAT(log, Not(HasSubstr(secret)));
  }
}

TEST(EndToEnd, TheDemoCommandLineConnectsWithTheClientKey) {
  // As scripts/run starts it: the service's demo account, a client key only.
  ServiceProcess service;
  TempDir dir;
  LaunchProcess client(launch_path(),
                       {"--headless", "--shutdown-on-sigint", "--client-key=demo-client-key",
                        "--settings-dir=" + (dir / "settings").string(), "--settings-dir-create"},
                       client_env(service));
  ASSERT_TRUE(client.wait_for_line("CLIENT_HANDSHAKED: Computer name ")) << client.output();
  // The handshake renames the key's placeholder e-mail to "Id 1": a new
  // e-mail, so the client reconnects once at once and the second link stays.
  ASSERT_TRUE(client.wait_for_line("account settings changed")) << client.output();
  ASSERT_TRUE(client.wait_for_line("CLIENT_HANDSHAKED: Computer name ", 2)) << client.output();
  EXPECT_TRUE(service.wait_for_state([](const nlohmann::json& state) {
    return only_connection(state).value("accountId", 0) == 1;
  })) << service.state().dump();
  EXPECT_FALSE(client.wait_for_line(kDisconnected, 2, std::chrono::milliseconds(500)))
      << client.output();
  EXPECT_EQ(service.state()["counts"]["authentications"], 2) << service.state().dump();
  // The printing agent's printer list reaches the service on the link that
  // stays, not the client outside one.
  EXPECT_TRUE(service.wait_for_state([&](const nlohmann::json&) {
    return !service.control("GET", "/control/printers")["computers"].empty();
  })) << client.output();
  expect_clean_sigint_exit(client);
  const std::string log = log_of(dir);
  EXPECT_THAT(log, Not(HasSubstr("demo-client-key")));
  // A clean start warns of nothing.
  EXPECT_THAT(log, Not(ContainsRegex("Z (WARNING|ERROR|EXCEPTION|CRITICAL) "))) << log;
}

TEST(EndToEnd, LibcurlIsMappedOnlyWhenThePycurlEngineIsSelected) {
  // libcurl and its twenty libraries are a module of their own: a client on
  // the default engine never loads it, for the login or for discovery; one on
  // "pycurl" does both through it.
  ServiceProcess service(with_account());
  const std::vector<std::string> key = {"--client-key=demo-client-key"};
  const std::vector<std::string> login = {"--email=" + std::string(kEmail),
                                          "--password=" + std::string(kPassword)};
  const struct {
    std::vector<std::string> credentials;
    std::string library;  // --http-library, empty: the default
    bool libcurl;
  } cases[] = {{key, "", false},
               {login, "", false},
               {login, "requests", false},
               {key, "pycurl", true},
               {login, "pycurl", true}};
  for (const auto& c : cases) {
    TempDir dir;
    std::vector<std::string> args{"--headless", "--shutdown-on-sigint",
                                  "--settings-dir=" + (dir / "settings").string(),
                                  "--settings-dir-create"};
    args.insert(args.end(), c.credentials.begin(), c.credentials.end());
    if (!c.library.empty()) args.push_back("--http-library=" + c.library);
    const std::string label = c.credentials[0].substr(0, 7) + " " + c.library;
    LaunchProcess client(launch_path(), args, client_env(service));
    ASSERT_TRUE(client.wait_for_line("CLIENT_HANDSHAKED: Computer name ")) << client.output();
    const std::string maps = read_file("/proc/" + std::to_string(client.pid()) + "/maps");
    EXPECT_EQ(maps.find("/libcurl.so") != std::string::npos, c.libcurl) << label;
    EXPECT_EQ(maps.find("libquillpost_curl.so") != std::string::npos, c.libcurl) << label;
    EXPECT_EQ(maps.find("libQt6"), std::string::npos) << label;
    expect_clean_sigint_exit(client);
  }
}

TEST(EndToEnd, ADesktopRunWithoutADisplayGoesOnHeadless) {
  // Not --headless, but nowhere to show a window: one warning line, and the
  // client runs (and shows its GUI lines) as a headless one, without Qt.
  ServiceProcess service(with_account());
  TempDir dir;
  std::vector<std::string> env = client_env(service);
  env.insert(env.end(), {"DISPLAY=", "WAYLAND_DISPLAY="});
  LaunchProcess client(launch_path(),
                       {"--shutdown-on-sigint", "--client-key=demo-client-key",
                        "--settings-dir=" + (dir / "settings").string(), "--settings-dir-create"},
                       env);
  ASSERT_TRUE(client.wait_for_line("CLIENT_HANDSHAKED: Computer name ")) << client.output();
  // A build without the GUI runs headless anyway, and has nothing to warn of.
  const std::size_t warnings = QP_HAS_GUI ? 1 : 0;
  EXPECT_EQ(
      client.count("No display: neither WAYLAND_DISPLAY nor DISPLAY is set. Running headless."),
      warnings)
      << client.output();
  const std::string maps = read_file("/proc/" + std::to_string(client.pid()) + "/maps");
  EXPECT_EQ(maps.find("libQt6"), std::string::npos);
  EXPECT_EQ(maps.find("libquillpost_gui.so"), std::string::npos);
  expect_clean_sigint_exit(client);
  if (warnings) {
    EXPECT_THAT(log_of(dir), HasSubstr("WARNING   main: No display: neither WAYLAND_DISPLAY"));
  }
}

TEST(EndToEnd, SigintEndsTheClientWithZeroInEveryPhase) {
  struct Row {
    const char* phase;
    std::vector<std::string> service_args;
    std::string reached;  // the GUI line that says the phase has begun
  };
  const std::vector<Row> rows = {
      // The discovery request hangs: a worker is blocked on the network.
      {"finding the server", {"--fault", "discovery=hang"}, "CLIENT_FINDING_SERVER: "},
      {"handshaked", {}, std::string(kHandshaked)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.phase);
    ServiceProcess service(with_account(row.service_args));
    TempDir dir;
    auto client = start_client(service, dir);
    ASSERT_TRUE(client->wait_for_line(row.reached)) << client->output();
    const auto signalled = Clock::now();
    // A burst, as an impatient user sends: one close, one exit code.
    client->signal(SIGINT);
    client->signal(SIGINT);
    EXPECT_EQ(client->wait_exit(), 0) << client->output();
    EXPECT_LT(seconds_between(signalled, Clock::now()), 5.0) << "the close waited on the network";
    EXPECT_EQ(client->count("APP_CLOSE: Closing after "), 1u) << client->output();
    EXPECT_THAT(client->output(),
                ContainsRegex("APP_CLOSE: Closing after [^\n]+\\. Exit code 0\\."));
    // The client's socket went with it.
    EXPECT_TRUE(service.wait_for_state([](const nlohmann::json& state) {
      return state["connections"].empty();
    })) << service.state().dump();
  }
}

TEST(EndToEnd, AnsweredHeartbeatsKeepTheLinkOverManyIntervals) {
  // The service's discovery answer sets the interval: 1 s (the shortest the
  // client takes), a 2 s time-out.
  ServiceProcess service(with_account({"--heartbeat-interval", "1", "--heartbeat-timeout", "2"}));
  TempDir dir;
  auto client = start_client(service, dir);
  const auto handshaked = client->wait_for_line(kHandshaked);
  ASSERT_TRUE(handshaked) << client->output();

  constexpr int kBeats = 5;  // over twice the time-out
  ASSERT_TRUE(service.wait_for_state(
      [](const nlohmann::json& state) {
        return only_connection(state).value("heartbeats", 0) >= kBeats;
      },
      10s))
      << service.state().dump();
  const double elapsed = seconds_between(*handshaked, Clock::now());
  const auto state = service.state();
  const int beats = only_connection(state)["heartbeats"].get<int>();
  // Paced by the interval, not faster: at most one per second (and some slack).
  EXPECT_LE(beats, static_cast<int>(elapsed / 1.0) + 2) << "after " << elapsed << " s";
  EXPECT_GE(elapsed, (kBeats - 1) * 1.0);
  // One connection all along: the answers kept it alive.
  EXPECT_EQ(state["counts"]["connectionsAccepted"], 1);
  EXPECT_THAT(client->output(), Not(HasSubstr(kDisconnected)));
  expect_clean_sigint_exit(*client);
}

TEST(EndToEnd, UnansweredHeartbeatsEndTheLinkAfterTheTimeout) {
  ServiceProcess service(with_account(
      {"--heartbeat-interval", "1", "--heartbeat-timeout", "1", "--fault", "heartbeat=ignore"}));
  TempDir dir;
  auto client = start_client(service, dir);
  const auto handshaked = client->wait_for_line(kHandshaked);
  ASSERT_TRUE(handshaked) << client->output();
  const auto gone = client->wait_for_line(kDisconnected, 1, 10s);
  ASSERT_TRUE(gone) << client->output();
  const double after = seconds_between(*handshaked, *gone);
  EXPECT_GE(after, 0.8) << "given up before the time-out";
  EXPECT_LT(after, 5.0) << "the time-out was not applied";
  expect_clean_sigint_exit(*client);
}

TEST(EndToEnd, ServiceRestartedUnderTheClientIsFoundAgainAfterTheWait) {
  auto service = std::make_unique<ServiceProcess>(with_account());
  TempDir dir;
  auto client = start_client(*service, dir);
  ASSERT_TRUE(client->wait_for_line(kHandshaked)) << client->output();

  // The service dies as in a crash and comes back on the same ports.
  const auto ports = service->same_ports_args();
  service->kill();
  const auto gone = client->wait_for_line(kDisconnected, 1, 10s);
  ASSERT_TRUE(gone) << client->output();
  service.reset();
  service = std::make_unique<ServiceProcess>(with_account(ports));

  const auto back = client->wait_for_line(kHandshaked, 2, 20s);
  ASSERT_TRUE(back) << client->output();
  const double waited = seconds_between(*gone, *back);
  EXPECT_GE(waited, kSocketErrorWait - 0.2) << "reconnected without its wait";
  EXPECT_LT(waited, kSocketErrorWait + 5.0);
  EXPECT_TRUE(service->wait_for_state([](const nlohmann::json& state) {
    return only_connection(state).value("authenticated", false);
  })) << service->state().dump();
  expect_clean_sigint_exit(*client);
}

TEST(EndToEnd, PushedMessagesReachTheClient) {
  struct Row {
    const char* what;
    nlohmann::json push;   // the last push, one the client must act on
    std::string gui;       // in the disconnect line on standard output
    std::string log_line;  // in the log
  };
  const std::vector<Row> rows = {
      {"server error",
       {{"event", "error"}, {"payload", {{"message", "maintenance window"}}}},
       "maintenance window",
       R"(server error: {"message":"maintenance window"})"},
      {"malformed frame",
       {{"raw", "this is not JSON"}},
       "protocol error: frame is not JSON",
       "listener: protocol error: frame is not JSON"},
      {"oversized frame",
       {{"oversized", true}},
       "protocol error: frame longer than 1048576 bytes",
       "protocol error: frame longer than"},
      // A reason that would forge a line and drive the terminal arrives
      // escaped on standard output and in the log.
      {"server error with control characters",
       {{"event", "error"},
        {"payload", {{"message", "bye\n2026-01-01 00:00:00.000 INFO forged\x1b[2J"}}}},
       "bye\\n2026-01-01 00:00:00.000 INFO forged\\x1b[2J",
       "--> DISCONNECTED: bye\\n2026-01-01 00:00:00.000 INFO forged\\x1b[2J\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ServiceProcess service(with_account());
    TempDir dir;
    auto client = start_client(service, dir);
    ASSERT_TRUE(client->wait_for_line(kHandshaked)) << client->output();
    ASSERT_TRUE(service.wait_for_state([](const nlohmann::json& state) {
      return only_connection(state).value("authenticated", false);
    }));

    // Ordinary messages pass through the listener and the client without
    // disturbing the connection...
    EXPECT_EQ(service.push({{"event", "printjob"}, {"payload", {{"id", 7}}}, {"count", 50}}), 1);
    // ...and the message after them, on the same stream, is read and acted on.
    EXPECT_EQ(service.push(row.push), 1);
    const auto gone = client->wait_for_line(kDisconnected, 1, 10s);
    ASSERT_TRUE(gone) << client->output();
    // The first disconnect is the one the last message caused: the ordinary
    // messages before it did not end the connection.
    for (const auto& line : client->lines()) {
      if (line.text.find(kDisconnected) == std::string::npos) continue;
      EXPECT_THAT(line.text, HasSubstr(row.gui));
      break;
    }
    EXPECT_THAT(log_of(dir), HasSubstr(row.log_line));
    EXPECT_THAT(client->output(), Not(HasSubstr("\x1b")));
    EXPECT_THAT(log_of(dir), Not(HasSubstr("\x1b")));
    expect_clean_sigint_exit(*client);
  }
}

TEST(EndToEnd, ConfigurationFileThatPassesTheCheckRunsTheClient) {
  ServiceProcess service(with_account());
  TempDir dir;
  std::filesystem::create_directory(dir / "settings");
  const auto config = dir / "client.conf";
  std::ofstream(config) << "base_dir = \"" << (dir / "settings").string() << "\"\n"
                        << "email = \"" << kEmail << "\"\npassword = \"" << kPassword << "\"\n"
                        << "headless = true\nshutdown_on_sigint = true\ncomputer = \"e2e-pc\"\n";
  const std::vector<std::string> env = client_env(service);

  LaunchProcess check(launch_path(), {"--config-file=" + config.string(), "--check"}, env);
  EXPECT_EQ(check.wait_exit(), 0) << check.output();
  EXPECT_EQ(check.output(), "Config OK :)\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "settings/logs")) << "--check set up logging";
  EXPECT_EQ(service.state()["counts"]["discoveries"], 0) << "--check went to the network";

  LaunchProcess run(launch_path(), {"--config-file=" + config.string()}, env);
  ASSERT_TRUE(run.wait_for_line("CLIENT_HANDSHAKED: Computer name E2E-PC.")) << run.output();
  expect_clean_sigint_exit(run);

  // A file the check refuses does not run at all.
  std::ofstream(config, std::ios::app) << "no_such_key = 1\n";
  LaunchProcess bad(launch_path(), {"--config-file=" + config.string()}, env);
  EXPECT_EQ(bad.wait_exit(), 3) << bad.output();
  EXPECT_THAT(bad.output(), HasSubstr("no_such_key"));
  EXPECT_EQ(service.state()["counts"]["discoveries"], 1);
}

// Polls GET /status until `predicate` holds; the last answer either way.
nlohmann::json wait_for_status(int port,
                               const std::function<bool(const nlohmann::json&)>& predicate,
                               std::chrono::milliseconds timeout = 10s) {
  const auto end = Clock::now() + timeout;
  nlohmann::json status;
  for (;;) {
    const auto reply = testing::http_request(port, "GET", "/status", {}, 2s);
    if (reply.status == 200) {
      status = nlohmann::json::parse(reply.body, nullptr, false);
      if (!status.is_discarded() && predicate(status)) return status;
    }
    if (Clock::now() >= end) return status;
    std::this_thread::sleep_for(20ms);
  }
}

std::function<bool(const nlohmann::json&)> connection_is(std::string status) {
  return [status](const nlohmann::json& s) {
    return s.contains("connection") && s["connection"].value("status", "") == status;
  };
}

std::vector<std::string> web_args(int port) {
  return {"--web-interface", "--web-interface-port=" + std::to_string(port),
          "--web-interface-shutdown"};
}

TEST(EndToEnd, WebStatusPageWhileTheServerIsBeingFound) {
  ServiceProcess service(with_account({"--fault", "discovery=hang"}));
  TempDir dir;
  const int port = free_port();
  auto client = start_client(service, dir, web_args(port));
  const auto status = wait_for_status(port, connection_is("service_discovery"));
  ASSERT_TRUE(connection_is("service_discovery")(status)) << status.dump() << client->output();
  EXPECT_TRUE(status["account_id"].is_null());
  // The page itself shows the same.
  const auto page = testing::http_request(port, "GET", "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_THAT(page.body, HasSubstr("status-service_discovery"));
  expect_clean_sigint_exit(*client);
}

TEST(EndToEnd, WebStatusPageFollowsHandshakeAndTheServiceGoing) {
  auto service = std::make_unique<ServiceProcess>(with_account());
  TempDir dir;
  const int port = free_port();
  auto client = start_client(*service, dir, web_args(port));

  auto status = wait_for_status(port, connection_is("handshaked"));
  ASSERT_TRUE(connection_is("handshaked")(status)) << status.dump() << client->output();
  EXPECT_EQ(status["account_id"], 7);
  EXPECT_TRUE(status["computer"]["id"].is_number()) << status.dump();
  EXPECT_THAT(status["gui_log"].dump(), HasSubstr("Authenticated. Account email"));
  EXPECT_THAT(status.dump(), Not(HasSubstr(kClientKey)));

  service->kill();
  status = wait_for_status(port, connection_is("disconnected"));
  ASSERT_TRUE(connection_is("disconnected")(status)) << status.dump();
  EXPECT_FALSE(status["connection"]["info"]["reason"].is_null()) << status.dump();
  EXPECT_THAT(status["gui_log"].dump(), HasSubstr("Disconnected after"));

  // Shutdown through the page, allowed on this command line, ends the run cleanly.
  const auto reply = testing::http_request(port, "POST", "/shutdown");
  EXPECT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(client->wait_exit(), 0) << client->output();
  EXPECT_THAT(client->output(), ContainsRegex("Closing after [^\n]+\\. Exit code 0\\."));
}

}  // namespace
}  // namespace quillpost
