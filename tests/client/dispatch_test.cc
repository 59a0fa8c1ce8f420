// Start-up, dispatch by event and state, and the status and GUI publication.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "client_harness.h"
#include "quillpost/host/runtime/comms/priority_queues.h"
#include "support/files.h"

namespace quillpost::client::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(ClientStart, SubscribesPublishesAndSchedulesTheFirstAttempt) {
  Harness h;
  const auto pubsub = h.system.sent_to("pubsub");
  ASSERT_EQ(pubsub.size(), 4u);
  std::vector<std::string> topics;
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(pubsub[i].event, "subscribe");
    topics.push_back(agent::payload_as<std::string>(pubsub[i].payload));
  }
  EXPECT_THAT(topics, ElementsAre(std::string(core::UPDATE_ACCOUNT), std::string(core::SEND_SERVER),
                                  std::string(core::HTTP_CONFIG_UPDATE)));
  // The published record holds exactly the reason; the wait rides beside it.
  const auto statuses = h.statuses();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].status, comms::ClientStatus::disconnected);
  EXPECT_EQ(statuses[0].account_id, std::nullopt);
  EXPECT_EQ(statuses[0].info, (nlohmann::json{{"reason", "just started"}}));
  EXPECT_EQ(statuses[0].retry_in, 0.1);
  const auto waits = h.self_sent(Client::WAIT_OVER);
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_DOUBLE_EQ(waits[0].delay, 0.1);
  EXPECT_EQ(std::get<comms::Disconnected>(h.client->state()).reason, "just started");
  EXPECT_THAT(h.all_lines(), ElementsAre("CLIENT SESSION ID --> " + h.client->client_session()));
}

TEST(ClientStart, FirstWaitOverStartsTheFirstAttempt) {
  Harness h;
  h.fire_wait_over();
  EXPECT_TRUE(std::holds_alternative<comms::ServiceDiscovery>(h.client->state()));
  EXPECT_EQ(h.workers->discoveries.size(), 1u);
}

TEST(ClientStart, ProtocolLogFileThatCannotBeOpenedFallsBackToNoop) {
  HarnessOptions options;
  options.server_protocol_logfile = "/nonexistent-dir/protocol.log";
  Harness h(options);
  EXPECT_EQ(h.client->protocol_logwriter(), comms::noop_protocol_log_writer());
  const auto errors = h.lines(logs::Level::exception);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], StartsWith("Protocol logwriter; "));
}

TEST(ClientStart, EmptyProtocolLogFileUsesNoopSilently) {
  Harness h;
  EXPECT_EQ(h.client->protocol_logwriter(), comms::noop_protocol_log_writer());
  EXPECT_TRUE(h.lines(logs::Level::exception).empty());
}

TEST(ClientStart, SessionIdsDifferBetweenClients) {
  Harness a, b;
  EXPECT_NE(a.client->client_session(), b.client->client_session());
  EXPECT_FALSE(a.client->client_session().empty());
}

// A WAIT_OVER that arrives while an attempt is under way changes nothing.
TEST(ClientDispatch, LateWaitOverIsUnhandledOutsideDisconnected) {
  struct Row {
    std::function<void(Harness&)> reach;
    std::string shown;
  };
  const std::vector<Row> rows = {
      {[](Harness& h) { h.to_service_discovery(); }, "SERVICEDISCOVERY"},
      {[](Harness& h) { h.to_connecting(); }, "CONNECTING"},
      {[](Harness& h) { h.to_connected(); }, "CONNECTED"},
      {[](Harness& h) { h.to_handshaked(); }, "HANDSHAKED"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.shown);
    Harness h;
    row.reach(h);
    const auto before = h.client->state().index();
    h.forget();
    h.deliver(Client::WAIT_OVER, std::uint64_t{0});
    EXPECT_EQ(h.client->state().index(), before);
    EXPECT_THAT(h.lines(logs::Level::warning),
                ElementsAre("client -> " + row.shown + " unhandled 'wait_over'"));
    EXPECT_TRUE(h.system.log().empty());
    EXPECT_TRUE(h.workers->discoveries.empty());
  }
}

TEST(ClientDispatch, SendServerWhileDisconnectedIsUnhandledAndNotKept) {
  Harness h;
  h.deliver(core::SEND_SERVER, agent::Message{"print_done", nlohmann::json{{"job", 1}}, {}});
  EXPECT_THAT(h.lines(logs::Level::warning),
              ElementsAre("client -> DISCONNECTED unhandled 'send_server'"));
  EXPECT_EQ(h.system.log().size(), 4u);  // only the start-up messages
  h.to_handshaked();
  EXPECT_EQ(h.state<comms::Handshaked>().write_queue->size(), 0u);
}

TEST(ClientDispatch, SendServerWhileHandshakedIsQueued) {
  Harness h;
  h.to_handshaked();
  h.deliver(core::SEND_SERVER, agent::Message{"print_done", nlohmann::json{{"job", 1}}, {}});
  h.deliver(core::SEND_SERVER, agent::Message{"hello", std::string("text"), {}});
  auto queue = h.state<comms::Handshaked>().write_queue;
  ASSERT_EQ(queue->size(), 2u);
  auto first = queue->get(std::chrono::milliseconds(0));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->msg, "print_done");
  EXPECT_EQ(first->payload, (nlohmann::json{{"job", 1}}));
  EXPECT_EQ(queue->get(std::chrono::milliseconds(0))->payload, "text");
}

TEST(ClientDispatch, UnknownEventIsLoggedWithTheStateName) {
  Harness h;
  h.to_connecting();
  h.forget();
  h.deliver("mystery");
  EXPECT_THAT(h.lines(logs::Level::warning),
              ElementsAre("client -> CONNECTING unhandled 'mystery'"));
  EXPECT_TRUE(h.system.log().empty());
}

TEST(ClientDispatch, CheckStateConnectionComparesKindThenId) {
  const comms::State discovering = comms::ServiceDiscovery{"http://x", "id-1", {1.0}};
  const comms::State connecting = comms::Connecting{"id-1", {1.0, 2.0}, {}};
  EXPECT_TRUE(check_state_connection<comms::ServiceDiscovery>(discovering, "id-1"));
  EXPECT_FALSE(check_state_connection<comms::ServiceDiscovery>(discovering, "id-2"));
  EXPECT_FALSE(check_state_connection<comms::ServiceDiscovery>(connecting, "id-1"));
  EXPECT_FALSE(check_state_connection<comms::Connecting>(comms::State{comms::Disconnected{}}, ""));
}

TEST(ClientPublication, EachCallSendsExactlyOneMessage) {
  Harness h;
  h.forget();
  h.client->_update_connection(
      comms::Connection{comms::ClientStatus::connecting, std::nullopt, {}});
  h.client->_log_to_gui("CLIENT_CONNECTED", "Connected x -> y:1.");
  ASSERT_EQ(h.system.log().size(), 2u);
  EXPECT_THAT(h.gui_lines(),
              ElementsAre(GuiLog{GuiLogEvent::CLIENT_CONNECTED, "Connected x -> y:1."}));
  EXPECT_EQ(h.statuses().size(), 1u);
}

TEST(ClientPublication, UnknownGuiCodeSendsNothing) {
  Harness h;
  h.forget();
  EXPECT_THROW(h.client->_log_to_gui("CLIENT_EXPLODED", "boom"), std::invalid_argument);
  EXPECT_TRUE(h.system.log().empty());
}

TEST(ClientPublication, TransitionsAssertTheirPrecondition) {
  Harness h;
  EXPECT_THROW(h.client->to_connecting(answer_for("x"), std::nullopt), std::logic_error);
  EXPECT_THROW(h.client->to_handshaked(1, 2), std::logic_error);
  h.to_connecting();
  EXPECT_THROW(h.client->to_service_discovery("http://a", "b", std::nullopt), std::logic_error);
  EXPECT_TRUE(std::holds_alternative<comms::Connecting>(h.client->state()));
}

TEST(ClientPublication, UpperKindNames) {
  EXPECT_EQ(upper_kind_name(comms::Disconnected{}), "DISCONNECTED");
  EXPECT_EQ(upper_kind_name(comms::ServiceDiscovery{}), "SERVICEDISCOVERY");
  EXPECT_EQ(upper_kind_name(comms::Handshaked{}), "HANDSHAKED");
}

}  // namespace
}  // namespace quillpost::client::testing

namespace quillpost::client::testing {
namespace {

TEST(ProtocolLog, ClientKeysAreMaskedInFrames) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {R"({"event":"authenticate","payload":{"email":"a@b","clientKey":"abc-secret","n":1}})",
       R"({"event":"authenticate","payload":{"email":"a@b","clientKey":"**********","n":1}})"},
      {R"({"event":"x","payload":[{"clientKey":"k1"},{"other":{"clientKey":"k2"}}]})",
       R"({"event":"x","payload":[{"clientKey":"**"},{"other":{"clientKey":"**"}}]})"},
      {R"({"event":"heartbeat","payload":[]})", R"({"event":"heartbeat","payload":[]})"},
      {R"({"event":"x","payload":{"clientKey":null}})",
       R"({"event":"x","payload":{"clientKey":null}})"},
      {R"(not json "clientKey":"abc-secret")", "<frame with a client key, not JSON: not logged>"},
  };
  for (const auto& [frame, expected] : rows) EXPECT_EQ(mask_protocol_secrets(frame), expected);
}

TEST(ProtocolLog, FileNeverReceivesTheClientKey) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("client-protocol-" + std::to_string(::getpid()) + ".log");
  {
    HarnessOptions options;
    options.server_protocol_logfile = path.string();
    Harness h(options);
    ASSERT_NE(h.client->protocol_logwriter(), comms::noop_protocol_log_writer());
    h.client->protocol_logwriter()->write(
        comms::Direction::out, "c1",
        R"({"event":"authenticate","payload":{"clientKey":"abc-secret"}})");
  }
  const std::string content = quillpost::testing::read_file(path);
  std::filesystem::remove(path);
  EXPECT_EQ(content.find("abc-secret"), std::string::npos);
}

}  // namespace
}  // namespace quillpost::client::testing
