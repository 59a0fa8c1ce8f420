// The real Client on the real agent runtime and worker threads, against the
// local service on loopback: discovery, connect, authentication, heartbeats,
// server messages both ways, and the service's drops, rejections, errors and
// refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "quillpost/client/client.h"
#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/agent/runtime.h"
#include "quillpost/host/runtime/agent/schedule.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace quillpost::client {
namespace {

using namespace std::chrono_literals;
using quillpost::testing::ServiceProcess;

// An agent that keeps every message it receives; it subscribes to `topics`.
class Recorder : public agent::SimpleAgent {
 public:
  explicit Recorder(std::vector<std::string> topics = {}) : topics_(std::move(topics)) {}

  void before() override {
    auto pubsub = channel(std::string(agent::PubSubAgent::name));
    for (const auto& topic : topics_) pubsub.send(agent::PubSubAgent::SUBSCRIBE, topic);
  }
  void receive(const std::string& event, const agent::Payload& payload) override {
    {
      std::lock_guard lock(mutex_);
      messages_.push_back(agent::Message{event, payload, std::nullopt});
    }
    changed_.notify_all();
  }

  // The `nth` message (in arrival order, from 1) that `match` accepts,
  // waiting up to `timeout` for it.
  std::optional<agent::Message> wait_for(const std::function<bool(const agent::Message&)>& match,
                                         std::chrono::milliseconds timeout = 10s,
                                         std::size_t nth = 1) {
    std::unique_lock lock(mutex_);
    std::optional<agent::Message> found;
    changed_.wait_for(lock, timeout, [&] {
      std::size_t seen = 0;
      for (const auto& m : messages_) {
        if (match(m) && ++seen == nth) {
          found = m;
          return true;
        }
      }
      return false;
    });
    return found;
  }

  std::size_t count(const std::function<bool(const agent::Message&)>& match) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(messages_.begin(), messages_.end(), match));
  }

 private:
  std::vector<std::string> topics_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<agent::Message> messages_;
};

// Matches a published connection status of `status`.
std::function<bool(const agent::Message&)> status_is(comms::ClientStatus status) {
  return [status](const agent::Message& m) {
    return m.event == comms::UPDATE_CONNECTION &&
           agent::payload_as<comms::Connection>(m.payload).status == status;
  };
}

std::function<bool(const agent::Message&)> event_is(std::string_view event) {
  return [event = std::string(event)](const agent::Message& m) { return m.event == event; };
}

class LiveClient {
 public:
  LiveClient(std::vector<std::string> service_args, Account account)
      : service_(std::move(service_args)) {
    runtime_.spawn(std::make_shared<agent::PubSubAgent>());
    runtime_.spawn(std::make_shared<agent::ScheduleAgent>());
    runtime_.spawn(core_, std::string(core::CoreAgent::name));
    runtime_.spawn(app_, "app");
    World world;
    world.configuration.account = std::move(account);
    world.configuration.computer.name = "office-pc";
    world.configuration.world_id = "world-1";
    world.state.instance_id = "instance-1";
    SystemInfo system_info;
    system_info.hostname = "office-pc";
    system_info.username = "tester";
    comms::UrlContext context{"0.1.0", "community", "office-pc", "world-1", "instance-1"};
    runtime_.spawn(std::make_shared<Client>(world, system_info, queue_, HttpConfig{},
                                            comms::UrlFactory(service_.base_url(), context),
                                            comms::RequestHeaders{{"User-Agent", "QuillPost/test"}},
                                            ParamMap{}, logs_.path(), ServerAddress{}, ""));
    runtime_.start();
  }
  ~LiveClient() { runtime_.stop(); }

  ServiceProcess& service() { return service_; }
  Recorder& app() { return *app_; }
  Recorder& core() { return *core_; }
  agent::Runtime& runtime() { return runtime_; }
  agent::MainLoopQueue& queue() { return *queue_; }

  comms::Connection wait_status(comms::ClientStatus status,
                                std::chrono::milliseconds timeout = 10s) {
    auto m = app_->wait_for(status_is(status), timeout);
    if (!m) throw std::runtime_error("no status " + std::string(comms::name(status)) + " in time");
    return agent::payload_as<comms::Connection>(m->payload);
  }

 private:
  ServiceProcess service_;
  quillpost::testing::TempDir logs_;
  agent::Runtime runtime_;
  std::shared_ptr<Recorder> core_ = std::make_shared<Recorder>();
  std::shared_ptr<Recorder> app_ = std::make_shared<Recorder>(std::vector<std::string>{
      std::string(comms::UPDATE_CONNECTION), std::string(comms::SERVER_MESSAGE)});
  std::shared_ptr<agent::MainLoopQueue> queue_ = std::make_shared<agent::MainLoopQueue>();
};

const Account demo_account{"demo@quillpost.test", "demo-client-key", std::nullopt};

TEST(ClientWithService, HandshakesAndServesTheConnection) {
  LiveClient live({"--heartbeat-interval", "1", "--log-frames"}, demo_account);
  const auto handshaked = live.wait_status(comms::ClientStatus::handshaked);
  EXPECT_EQ(handshaked.account_id, 1);  // the demo account's id, as the integer it is
  EXPECT_TRUE(handshaked.info.contains("computer_id"));

  // Heartbeats flow every second and the service answers them.
  EXPECT_TRUE(live.service().wait_for_state([](const nlohmann::json& state) {
    const auto& connections = state["connections"];
    return connections.size() == 1 && connections[0]["heartbeats"].get<int>() >= 2;
  }));

  // A message pushed by the service reaches a subscriber whole.
  EXPECT_EQ(live.service().push("printjob", {{"id", 7}}), 1);
  const auto pushed = live.app().wait_for(event_is(comms::SERVER_MESSAGE));
  ASSERT_TRUE(pushed);
  const auto& message = agent::payload_as<comms::ServerMessage>(pushed->payload);
  EXPECT_EQ(message.event, "printjob");
  EXPECT_EQ(message.payload, (nlohmann::json{{"id", 7}}));

  // An application message reaches the service.
  live.runtime()
      .channel(std::string(Client::name))
      .send(core::SEND_SERVER, agent::Message{"print_done", nlohmann::json{{"id", 7}}, {}});
  EXPECT_TRUE(live.service().wait_for_output("<- print_done {\"id\":7}"));

  // The service saw the twelve entries of the authenticate message in the
  // order they were on the wire.
  const auto keys =
      live.service().state()["lastAuthenticate"]["keys"].get<std::vector<std::string>>();
  EXPECT_THAT(keys, ::testing::ElementsAre("email", "computerName", "clientKey", "inet",
                                           "worldUuid", "instanceUuid", "connectionId", "hostname",
                                           "username", "version", "edition", "clientSessionId"));
}

TEST(ClientWithService, DroppedConnectionReconnectsAfterItsWait) {
  LiveClient live({}, demo_account);
  live.wait_status(comms::ClientStatus::handshaked);
  EXPECT_EQ(live.service().drop_connections(), 1);
  live.wait_status(comms::ClientStatus::disconnected, 5s);
  const auto dropped_at = std::chrono::steady_clock::now();
  ASSERT_TRUE(live.app().wait_for(status_is(comms::ClientStatus::handshaked), 10s, 2));
  const auto waited = std::chrono::steady_clock::now() - dropped_at;
  EXPECT_GE(waited,
            std::chrono::milliseconds(static_cast<int>(Client::SOCKET_ERROR_WAIT * 1000) - 200));
}

TEST(ClientWithService, RejectionAndServerErrorDisconnectWithTheirReasons) {
  struct Row {
    std::string fault;
    std::string reason;  // a regular expression
  };
  const std::vector<Row> rows = {
      {"auth=rejected", ".*  - reconnecting after 5\\.0"},
      {"auth=rejected-bare", "server rejected client\\. reconnecting after 5\\.0"},
      {"auth=error", ".+"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    LiveClient live({"--fault", row.fault}, demo_account);
    // The first disconnected status is the start-up one; the one after the
    // connection is the one that matters.
    const auto after = live.app().wait_for(
        [](const agent::Message& m) {
          return status_is(comms::ClientStatus::disconnected)(m) &&
                 agent::payload_as<comms::Connection>(m.payload).info["reason"] != "just started";
        },
        10s);
    ASSERT_TRUE(after);
    const auto reason = agent::payload_as<comms::Connection>(after->payload).info["reason"];
    ASSERT_TRUE(reason.is_string());
    EXPECT_TRUE(std::regex_match(reason.get<std::string>(), std::regex(row.reason)))
        << reason.get<std::string>();
    // Both waits are seconds long: no new connection within the next 0.5 s.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(live.service().state()["counts"]["connectionsAccepted"], 1);
  }
}

TEST(ClientWithService, WrongClientKeyEndsWithTheLogoutRequest) {
  LiveClient live({}, Account{"demo@quillpost.test", "wrong-key", std::nullopt});
  const auto logout = live.core().wait_for(event_is(core::REQUEST_LOGOUT));
  ASSERT_TRUE(logout);
  const auto& reason = agent::payload_as<core::LogoutRequest>(logout->payload).reason;
  EXPECT_EQ(reason.rfind("authentication failure; ", 0), 0u) << reason;
  const auto record = live.queue().get(5s);
  ASSERT_TRUE(record);
  EXPECT_EQ(agent::payload_as<comms::Disconnected>(*record).reason, reason);
  EXPECT_EQ(live.app().count(status_is(comms::ClientStatus::handshaked)), 0u);
}

}  // namespace
}  // namespace quillpost::client
