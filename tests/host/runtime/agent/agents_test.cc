#include <gtest/gtest.h>

#include <thread>

#include "quillpost/host/agent/main_loop_queue.h"
#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/agent/runtime.h"
#include "quillpost/host/runtime/agent/schedule.h"
#include "quillpost/host/runtime/agent/service_manager.h"
#include "recorder.h"

namespace quillpost::agent {
namespace {

using namespace std::chrono_literals;
using test::Recorder;

// Spawns a Recorder under `name` that subscribes to `topics` in before().
std::shared_ptr<Recorder> subscriber(Runtime& runtime, const std::string& name,
                                     std::vector<std::string> topics) {
  auto rec = std::make_shared<Recorder>();
  rec->on_before = [topics](Recorder& r) {
    for (const auto& t : topics) r.channel("pubsub").send("subscribe", t);
    r.send_self("ready");
  };
  runtime.spawn(rec, name);
  return rec;
}

TEST(PubSub, PublishedMessagesReachEverySubscriberOfTheTopicOnly) {
  Runtime runtime;
  runtime.spawn(std::make_shared<PubSubAgent>());
  auto a = subscriber(runtime, "a", {"news", "sport"});
  auto b = subscriber(runtime, "b", {"news", "news"});  // twice: delivered once
  runtime.start();
  ASSERT_TRUE(a->wait_for(1));
  ASSERT_TRUE(b->wait_for(1));

  auto pubsub = runtime.channel("pubsub");
  pubsub.send("publish", publication("news", Payload(1)));
  pubsub.send("publish", publication("sport", Payload(2)));
  pubsub.send("publish", publication("weather", Payload(3)));  // nobody listens
  pubsub.send("publish", publication("news", Payload(4)));
  ASSERT_TRUE(a->wait_for(4));
  ASSERT_TRUE(b->wait_for(3));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(a->events(), (std::vector<std::string>{"ready", "news", "sport", "news"}));
  EXPECT_EQ(b->events(), (std::vector<std::string>{"ready", "news", "news"}));
  EXPECT_EQ(payload_as<int>(b->received()[2].payload), 4);
}

TEST(PubSub, ASharedPayloadReachesEverySubscriberAsTheOneValueSent) {
  Runtime runtime;
  runtime.spawn(std::make_shared<PubSubAgent>());
  auto a = subscriber(runtime, "a", {"frame"});
  auto b = subscriber(runtime, "b", {"frame"});
  runtime.start();
  ASSERT_TRUE(a->wait_for(1));
  ASSERT_TRUE(b->wait_for(1));

  const Payload sent = shared_payload(std::string(4096, 'x'));
  const std::string* value = &payload_as<std::string>(sent);
  runtime.channel("pubsub").send("publish", publication("frame", sent));
  ASSERT_TRUE(a->wait_for(2));
  ASSERT_TRUE(b->wait_for(2));
  // Read as the plain type, and not copied on the way.
  EXPECT_EQ(&payload_as<std::string>(a->received()[1].payload), value);
  EXPECT_EQ(&payload_as<std::string>(b->received()[1].payload), value);
  EXPECT_THROW(payload_as<int>(a->received()[1].payload), BadPayload);
}

TEST(PubSub, UnsubscribedAndStoppedSubscribersGetNothingMore) {
  Runtime runtime;
  runtime.spawn(std::make_shared<PubSubAgent>());
  auto a = subscriber(runtime, "a", {"t"});
  auto b = subscriber(runtime, "b", {"t"});
  runtime.start();
  ASSERT_TRUE(a->wait_for(1));
  ASSERT_TRUE(b->wait_for(1));
  runtime.stop_agent("b");
  // "unsubscribe" must come from the subscriber itself: ask it through a self-message.
  a->on_receive = [](Recorder& r, const std::string& event, const Payload&) {
    if (event == "leave") r.channel("pubsub").send("unsubscribe", "t");
  };
  runtime.channel("a").send("leave");
  ASSERT_TRUE(a->wait_for(2));
  runtime.channel("pubsub").send("publish", publication("t", Payload()));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(a->events(), (std::vector<std::string>{"ready", "leave"}));
  EXPECT_EQ(b->events(), (std::vector<std::string>{"ready"}));
}

TEST(Schedule, DeliversTheEventBackToTheRequesterAfterTheDelay) {
  Runtime runtime;
  runtime.spawn(std::make_shared<ScheduleAgent>());
  auto rec = std::make_shared<Recorder>();
  rec->on_before = [](Recorder& r) {
    auto schedule = r.channel(std::string(ScheduleAgent::name));
    schedule.send(ScheduleAgent::schedule(0.08, "heartbeat_reminder", "c-1"));
    schedule.send(ScheduleAgent::schedule(0.0, "now"));
  };
  runtime.spawn(rec);
  const auto start = std::chrono::steady_clock::now();
  runtime.start();
  ASSERT_TRUE(rec->wait_for(2));
  auto got = rec->received();
  EXPECT_EQ(rec->events(), (std::vector<std::string>{"now", "heartbeat_reminder"}));
  EXPECT_EQ(payload_as<std::string>(got[1].payload), "c-1");
  EXPECT_GE(got[1].at - start, 80ms);
}

TEST(Schedule, RequestsWithoutASendingAgentAreIgnored) {
  logs::Capture capture;
  Runtime runtime;
  runtime.spawn(std::make_shared<ScheduleAgent>());
  runtime.start();
  runtime.channel("schedule").send(ScheduleAgent::schedule(0.0, "x"));
  bool warned = false;
  for (int i = 0; i < 2000 && !warned; ++i) {
    std::this_thread::sleep_for(1ms);
    for (const auto& t : capture.texts("schedule"))
      if (t.find("without a sending agent") != std::string::npos) warned = true;
  }
  EXPECT_TRUE(warned);
}

// An account store that keeps texts.
class FakeAccounts : public core::AccountStore {
 public:
  void save(const Payload& account) override {
    std::lock_guard lock(mutex);
    saved.push_back(payload_as<std::string>(account));
  }
  Payload logout(const std::string& reason) override {
    std::lock_guard lock(mutex);
    saved.push_back("<logged out: " + reason + ">");
    return Payload(std::string("empty account"));
  }
  std::mutex mutex;
  std::vector<std::string> saved;
};

TEST(Core, GuiLogsLogoutAndAccountUpdates) {
  Runtime runtime;
  std::mutex gui_mutex;
  std::vector<GuiLog> gui;
  auto accounts = std::make_shared<FakeAccounts>();
  runtime.spawn(std::make_shared<PubSubAgent>());
  runtime.spawn(std::make_shared<core::CoreAgent>(
      [&](const GuiLog& g) {
        std::lock_guard lock(gui_mutex);
        gui.push_back(g);
      },
      accounts));
  auto watcher = subscriber(runtime, "watcher", {std::string(core::UPDATE_ACCOUNT)});
  runtime.start();
  ASSERT_TRUE(watcher->wait_for(1));

  auto core_channel = runtime.channel("core");
  core_channel.send(core::LOG_TO_GUI, GuiLog{GuiLogEvent::CLIENT_CONNECTED, "Connected."});
  core_channel.send(core::UPDATE_ACCOUNT, "account v2");
  core_channel.send(core::REQUEST_LOGOUT, core::LogoutRequest{"bad key"});
  ASSERT_TRUE(watcher->wait_for(3));
  runtime.stop();

  auto got = watcher->received();
  EXPECT_EQ(got[1].event, core::UPDATE_ACCOUNT);
  EXPECT_EQ(payload_as<std::string>(got[1].payload), "account v2");
  EXPECT_EQ(payload_as<std::string>(got[2].payload), "empty account");
  EXPECT_EQ(accounts->saved, (std::vector<std::string>{"account v2", "<logged out: bad key>"}));
  ASSERT_EQ(gui.size(), 1u);
  EXPECT_EQ(gui[0], (GuiLog{GuiLogEvent::CLIENT_CONNECTED, "Connected."}));
}

TEST(MainLoopQueue, PutNeverBlocksAndGetWaitsBoundedly) {
  MainLoopQueue queue;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.get(30ms).has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

  for (int i = 0; i < 10000; ++i) queue.put(Payload(i));
  EXPECT_EQ(queue.size(), 10000u);
  EXPECT_EQ(payload_as<int>(*queue.try_get()), 0);

  MainLoopQueue other;
  std::thread producer([&] {
    std::this_thread::sleep_for(20ms);
    other.put(Payload(std::string("Disconnected")));
  });
  auto got = other.get(5s);
  producer.join();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(payload_as<std::string>(*got), "Disconnected");
}

TEST(MainLoopQueue, CloseWakesAWaitingConsumer) {
  MainLoopQueue queue;
  std::thread closer([&] {
    std::this_thread::sleep_for(20ms);
    queue.close();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.get(5s).has_value());
  closer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(ServiceManagerAgent, EveryConnectionStatusAsOneStatusLine) {
  using comms::ClientStatus;
  using nlohmann::json;
  const auto text = [](ClientStatus status, json info,
                       std::optional<double> retry_in = std::nullopt) {
    comms::Connection connection{status, std::nullopt, std::move(info)};
    connection.retry_in = retry_in;
    return connection_status_text(connection);
  };
  EXPECT_EQ(text(ClientStatus::disconnected, {{"reason", "just started"}}, 0.1),
            "Disconnected: just started; retry in 0.1 s");
  EXPECT_EQ(text(ClientStatus::disconnected, {{"reason", "HTTP 500"}}, 10.0),
            "Disconnected: HTTP 500; retry in 10 s");
  EXPECT_EQ(text(ClientStatus::disconnected, {{"reason", nullptr}}),
            "Disconnected: no reason given; not reconnecting");
  EXPECT_EQ(text(ClientStatus::service_discovery,
                 {{"server", "https://print.example.com:8443/v1/discover?version=1"}}),
            "Finding server with print.example.com:8443");
  EXPECT_EQ(text(ClientStatus::connecting, {{"address", json::array({"10.0.0.1", 8471})}}),
            "Connecting to 10.0.0.1:8471");
  EXPECT_EQ(text(ClientStatus::connected, {{"address", json::array({"10.0.0.1", 8471})}}),
            "Connected to 10.0.0.1:8471");
  EXPECT_EQ(text(ClientStatus::handshaked, {{"account_id", 1}, {"computer_id", 1001}}),
            "Handshaked: account 1, computer 1001");
  // Whatever else a status holds gives a line, never an exception.
  EXPECT_EQ(text(ClientStatus::connecting, {{"address", "odd"}}), "Connecting to ?");
  EXPECT_EQ(text(ClientStatus::handshaked, json::object()), "Handshaked: account ?, computer ?");
}

}  // namespace
}  // namespace quillpost::agent
