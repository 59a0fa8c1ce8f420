// The real client on the real runtime against a scripted server on loopback:
// a discovery answer with the row's heartbeat settings, and a socket that asks
// for authentication and answers with the row's line. Durations beyond their
// bounds and answers the client cannot read each end in a bounded behaviour:
// no flood of heartbeats or reconnects, no link ended at once, no client stuck
// connected; and the logged waits are the waits kept.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/runtime/comms/peer.h"
#include "quillpost/client/client.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/agent/runtime.h"
#include "quillpost/host/runtime/agent/schedule.h"
#include "support/temp_dir.h"

namespace quillpost::client {
namespace {

using namespace std::chrono_literals;
using comms::test::Conn;
using nlohmann::json;

const std::string kWelcome = R"({"event":"authenticate.response","payload":)"
                             R"({"success":true,"accountId":4242,"id":7}})";

// Discovery over HTTP, then the socket: "authentication", the client's answer,
// the scripted reply, then it reads (and counts the heartbeats) until the
// client goes. It never answers a heartbeat.
class ScriptedServer {
 public:
  ScriptedServer(json heartbeat, std::string reply)
      : heartbeat_(std::move(heartbeat)), reply_(std::move(reply)) {}

  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(http_.port()); }
  int discoveries() const { return discoveries_; }
  int heartbeats() const { return heartbeats_; }
  // The first line the client sent on the socket, as it was on the wire.
  std::string first_line() const {
    std::lock_guard lock(mutex_);
    return first_line_;
  }

 private:
  void discover(Conn& conn) {
    conn.read_head();
    ++discoveries_;
    const std::string body = json{
        {"address", "127.0.0.1"},
        {"port", socket_.port()},
        {"remote_address", "127.0.0.1"},
        {"version", "1"},
        {"heartbeat",
         heartbeat_}}.dump();
    conn.write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  }

  void talk(Conn& conn) {
    conn.write("{\"event\":\"authentication\",\"payload\":{}}\n");
    const auto answer = conn.read_line();
    if (!answer) return;
    {
      std::lock_guard lock(mutex_);
      if (first_line_.empty()) first_line_ = *answer;
    }
    if (!reply_.empty()) conn.write(reply_ + "\n");
    while (const auto line = conn.read_line()) {
      if (line->find("\"event\":\"heartbeat\"") != std::string::npos) ++heartbeats_;
    }
  }

  const json heartbeat_;
  const std::string reply_;
  std::atomic<int> discoveries_{0};
  std::atomic<int> heartbeats_{0};
  mutable std::mutex mutex_;
  std::string first_line_;
  comms::test::Peer socket_{[this](Conn& conn) { talk(conn); }};
  comms::test::Peer http_{[this](Conn& conn) { discover(conn); }};
};

// The client with the runtime agents it talks to, started at once (no
// recorder: these tests read its log).
class HostileLinkClient {
 public:
  explicit HostileLinkClient(const std::string& base_url) {
    runtime_.spawn(std::make_shared<agent::PubSubAgent>());
    runtime_.spawn(std::make_shared<agent::ScheduleAgent>());
    World world;
    world.configuration.account = Account{"user@example.com", "client-key-1", 7};
    world.configuration.computer.name = "office-pc";
    world.configuration.world_id = "world-1";
    world.state.instance_id = "instance-1";
    SystemInfo system_info;
    system_info.hostname = "office-pc";
    system_info.username = "tester";
    comms::UrlContext context{"0.1.0", "community", "office-pc", "world-1", "instance-1"};
    runtime_.spawn(std::make_shared<Client>(
        world, system_info, std::make_shared<agent::MainLoopQueue>(), HttpConfig{},
        comms::UrlFactory(base_url, context), comms::RequestHeaders{}, ParamMap{}, logs_.path(),
        ServerAddress{}, ""));
    runtime_.start();
  }
  ~HostileLinkClient() { runtime_.stop(); }

 private:
  quillpost::testing::TempDir logs_;
  agent::Runtime runtime_;
};

std::size_t count_lines(const logs::Capture& capture, const std::string& text) {
  std::size_t n = 0;
  for (const auto& line : capture.texts("client")) n += line.find(text) != std::string::npos;
  return n;
}

bool wait_for_line(const logs::Capture& capture, const std::string& text,
                   std::chrono::milliseconds timeout = 5s) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (count_lines(capture, text) == 0) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::string rejected(const json& payload) {
  return json{{"event", "rejected"}, {"payload", payload}}.dump();
}

TEST(HostileServer, DurationsAreBoundedAndUnreadableAnswersEndTheLink) {
  struct Row {
    std::string name;
    json heartbeat;
    std::string reply;
    std::vector<std::string> lines;   // client log lines that must appear, in any order
    std::chrono::milliseconds watch;  // then nothing more may happen for this long
    int max_heartbeats;
    std::size_t disconnects;
  };
  const std::vector<Row> rows = {
      {"interval below its floor",
       {{"interval", 1e-9}},
       kWelcome,
       {"heartbeat enabled with 1s interval"},
       1500ms,
       2,
       0},
      {"interval beyond its ceiling",
       {{"interval", 1e12}},
       kWelcome,
       {"heartbeat enabled with 86400s interval"},
       500ms,
       0,
       0},
      {"timeout beyond its ceiling",
       {{"interval", 0}, {"timeout", 1e12}},
       kWelcome,
       {"heartbeat [0, 86400]", "CONNECTED --> HANDSHAKED"},
       500ms,
       0,
       0},
      {"timeout below its floor",
       {{"timeout", 1e-9}},
       kWelcome,
       {"heartbeat [None, 1]", "--> DISCONNECTED: no data within 1.0s", "reconnecting in 3000ms"},
       300ms,
       0,
       1},
      {"interval not a number",
       {{"interval", "soon"}},
       "",
       {"heartbeat interval is not a number", "reconnecting in 10000ms"},
       300ms,
       0,
       1},
      {"answer not an object",
       {},
       R"({"event":"authenticate.response","payload":[1,2]})",
       {"--> DISCONNECTED: malformed authenticate.response; not an object: [1,2]",
        "reconnecting in 3000ms"},
       300ms,
       0,
       1},
      {"account id not an integer",
       {},
       R"({"event":"authenticate.response","payload":{"success":true,"accountId":1.5,"id":7}})",
       {"malformed authenticate.response; 'accountId' is not an integer: 1.5",
        "reconnecting in 3000ms"},
       300ms,
       0,
       1},
      {"retryAfter not a number",
       {},
       rejected({{"retryAfter", "soon"}}),
       {"--> DISCONNECTED: server rejected client. reconnecting after 5.0",
        "reconnecting in 5000ms"},
       300ms,
       0,
       1},
      {"retryAfter beyond its ceiling",
       {},
       rejected({{"retryAfter", 1e12}}),
       {"--> DISCONNECTED: server rejected client. reconnecting after 86400.0",
        "reconnecting in 86400000ms"},
       300ms,
       0,
       1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    logs::Capture capture;
    ScriptedServer server(row.heartbeat, row.reply);
    HostileLinkClient client(server.base_url());
    for (const auto& line : row.lines) {
      EXPECT_TRUE(wait_for_line(capture, line))
          << line << "\n"
          << ::testing::PrintToString(capture.texts("client"));
    }
    std::this_thread::sleep_for(row.watch);
    // Every wait is seconds long: one discovery, however the row ended.
    EXPECT_EQ(server.discoveries(), 1);
    EXPECT_LE(server.heartbeats(), row.max_heartbeats);
    EXPECT_EQ(count_lines(capture, "--> DISCONNECTED: "), row.disconnects);
  }
}

// The authenticate message reaches the wire with its entries in the order the
// server expects, not in the alphabetical order of an unordered object.
TEST(HostileServer, AuthenticateKeysReachTheWireInOrder) {
  logs::Capture capture;
  ScriptedServer server(json{{"interval", 0}}, kWelcome);
  HostileLinkClient client(server.base_url());
  ASSERT_TRUE(wait_for_line(capture, "CONNECTED --> HANDSHAKED"));
  const std::string line = server.first_line();
  EXPECT_EQ(line.rfind(R"({"event":"authenticate","payload":{"email":"user@example.com",)", 0), 0u)
      << line;
  const auto frame = nlohmann::ordered_json::parse(line);
  std::vector<std::string> keys;
  for (const auto& item : frame["payload"].items()) keys.push_back(item.key());
  EXPECT_THAT(keys, ::testing::ElementsAre("email", "computerName", "clientKey", "inet",
                                           "worldUuid", "instanceUuid", "connectionId", "hostname",
                                           "username", "version", "edition", "clientSessionId"));
}

}  // namespace
}  // namespace quillpost::client
