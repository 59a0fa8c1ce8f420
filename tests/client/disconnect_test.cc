// Leaving a connection from every state, the reconnect waits, socket errors,
// the phase timings, and requests to connect and disconnect.
#include <functional>
#include <regex>

#include "client_harness.h"
#include "quillpost/host/runtime/comms/priority_queues.h"

namespace quillpost::client::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

TEST(ToDisconnected, FromEveryState) {
  struct Row {
    std::string previous;
    std::function<void(Harness&)> reach;
    bool attempt;  // an attempt was under way: uptime and GUI lines
    bool live;     // a socket was open: closed, queue shut down
  };
  const std::vector<Row> rows = {
      {"DISCONNECTED", [](Harness&) {}, false, false},
      {"SERVICEDISCOVERY", [](Harness& h) { h.to_service_discovery(); }, true, false},
      {"CONNECTING", [](Harness& h) { h.to_connecting(); }, true, false},
      {"CONNECTED", [](Harness& h) { h.to_connected(); }, true, true},
      {"HANDSHAKED", [](Harness& h) { h.to_handshaked(); }, true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.previous);
    Harness h;
    row.reach(h);
    std::string id;
    std::shared_ptr<comms::ServerSendQueue> queue;
    std::shared_ptr<Event> closed;
    std::visit(
        [&](const auto& s) {
          if constexpr (!std::is_same_v<std::decay_t<decltype(s)>, comms::Disconnected>) {
            id = s.connection_id;
          }
          if constexpr (requires { s.write_queue; }) {
            queue = s.write_queue;
            closed = s.closed_event;
          }
        },
        h.client->state());
    h.forget();

    h.client->to_disconnected("user asked", 2.5);

    EXPECT_EQ(h.state<comms::Disconnected>().reason, "user asked");
    const auto statuses = h.statuses();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status, comms::ClientStatus::disconnected);
    EXPECT_EQ(statuses[0].account_id, std::nullopt);
    EXPECT_EQ(statuses[0].info, (nlohmann::json{{"reason", "user asked"}}));
    EXPECT_EQ(statuses[0].retry_in, 2.5);
    const auto info = h.lines(logs::Level::info);
    if (row.attempt) {
      ASSERT_GE(info.size(), 2u);
      EXPECT_EQ(info[0], "c-" + id + " " + row.previous + " --> DISCONNECTED: user asked");
      EXPECT_THAT(info[1], MatchesRegex("c-" + id + " uptime [0-9.]+s, T-SD [0-9]+.*"));
      ASSERT_EQ(h.gui_lines().size(), 1u);
      EXPECT_EQ(h.gui_lines()[0].event, GuiLogEvent::CLIENT_DISCONNECTED);
      EXPECT_THAT(h.gui_lines()[0].message,
                  MatchesRegex("Disconnected after [0-9.]+s; user asked\\."));
    } else {
      EXPECT_THAT(info, ElementsAre("DISCONNECTED --> DISCONNECTED: user asked"));
      EXPECT_THAT(h.gui_lines(), IsEmpty());
    }
    EXPECT_EQ(h.socket->is_closed(), row.live);
    if (row.live) {
      EXPECT_TRUE(closed->is_set());
      EXPECT_EQ(queue->shutdown_reason(), "user asked");
      EXPECT_THAT(info.back(), MatchesRegex("c-" + id + " socket orderly shutdown in [0-9]+ms"));
    }
    EXPECT_THAT(h.lines(logs::Level::debug), ElementsAre("... reconnecting in 2500ms"));
    const auto waits = h.self_sent(Client::WAIT_OVER);
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_DOUBLE_EQ(waits[0].delay, 2.5);
    EXPECT_THAT(h.main_loop_reasons(), IsEmpty());
  }
}

TEST(ToDisconnected, WaitZeroReconnectsAtOnce) {
  Harness h;
  h.forget();
  h.client->to_disconnected("now", 0);
  EXPECT_THAT(h.lines(logs::Level::debug), ElementsAre("... reconnecting in 0ms"));
  ASSERT_EQ(h.self_sent(Client::WAIT_OVER).size(), 1u);
  EXPECT_DOUBLE_EQ(h.self_sent(Client::WAIT_OVER)[0].delay, 0.0);
}

TEST(ToDisconnected, DontReconnectGivesUpAndTellsTheMainLoop) {
  Harness h;
  h.to_handshaked();
  h.forget();
  h.deliver(core::REQUEST_DISCONNECT, std::string("user clicked disconnect"));
  EXPECT_EQ(h.state<comms::Disconnected>().reason, "user clicked disconnect");
  EXPECT_THAT(h.main_loop_reasons(), ElementsAre("Disconnected and not scheduled to reconnect."));
  EXPECT_THAT(h.lines(logs::Level::debug), ElementsAre("reconnect not requested"));
  EXPECT_THAT(h.self_sent(Client::WAIT_OVER), IsEmpty());
  EXPECT_TRUE(h.socket->is_closed());
  // The status says no attempt follows.
  ASSERT_EQ(h.statuses().size(), 1u);
  EXPECT_EQ(h.statuses()[0].info, (nlohmann::json{{"reason", "user clicked disconnect"}}));
  EXPECT_EQ(h.statuses()[0].retry_in, std::nullopt);
}

TEST(ToDisconnected, RequestConnectWhileHandshakedReconnectsAtOnce) {
  Harness h;
  h.to_handshaked();
  h.forget();
  h.deliver(core::REQUEST_CONNECT, std::string("reconnect please"));
  EXPECT_TRUE(h.socket->is_closed());
  EXPECT_EQ(h.state<comms::Disconnected>().reason, "reconnect please");
  ASSERT_EQ(h.self_sent(Client::WAIT_OVER).size(), 1u);
  EXPECT_DOUBLE_EQ(h.self_sent(Client::WAIT_OVER)[0].delay, 0.0);
  h.fire_wait_over();
  EXPECT_TRUE(std::holds_alternative<comms::ServiceDiscovery>(h.client->state()));
}

TEST(ToDisconnected, ServerErrorWithoutMessageHasNoReason) {
  Harness h;
  const auto id = h.to_handshaked();
  h.forget();
  h.deliver(comms::SERVER_MESSAGE, comms::ServerMessage{"error", {{"code", 5}}, id});
  EXPECT_EQ(h.state<comms::Disconnected>().reason, std::nullopt);
  ASSERT_EQ(h.statuses().size(), 1u);
  EXPECT_EQ(h.statuses()[0].info, (nlohmann::json{{"reason", nullptr}}));
  EXPECT_EQ(h.statuses()[0].retry_in, 10.0);
  EXPECT_THAT(h.gui_lines()[0].message, MatchesRegex("Disconnected after [0-9.]+s; None\\."));
}

// The user's "stay disconnected" wins over reconnects scheduled before it.
TEST(ReconnectScheduling, DisconnectRequestCancelsEarlierScheduledReconnects) {
  Harness h;
  const auto id = h.to_handshaked();
  h.deliver(comms::SOCKET_ERROR, comms::SocketErrorPayload{id, "listener", "connection reset"});
  const auto pending = h.self_sent(Client::WAIT_OVER).back();
  EXPECT_DOUBLE_EQ(pending.delay, 3.0);
  h.deliver(core::REQUEST_DISCONNECT, std::string("user clicked disconnect"));
  h.forget();

  h.client->receive(std::string(Client::WAIT_OVER), pending.message.payload);
  EXPECT_TRUE(std::holds_alternative<comms::Disconnected>(h.client->state()));
  EXPECT_THAT(h.workers->discoveries, IsEmpty());
  EXPECT_THAT(h.statuses(), IsEmpty());
  // The start-up WAIT_OVER is just as void.
  h.client->receive(std::string(Client::WAIT_OVER), agent::Payload(std::uint64_t{0}));
  EXPECT_THAT(h.workers->discoveries, IsEmpty());

  // A later disconnect with a wait schedules reconnects again.
  h.deliver(core::REQUEST_CONNECT, std::string("user clicked connect"));
  h.fire_wait_over();
  EXPECT_TRUE(std::holds_alternative<comms::ServiceDiscovery>(h.client->state()));
  // And the old reconnect stays void even when it arrives later still.
  h.deliver(
      comms::SERVICE_DISCOVERY_FAIL,
      comms::ServiceDiscoveryFailPayload{h.workers->discoveries.back().connection_id, "down"});
  h.forget();
  h.client->receive(std::string(Client::WAIT_OVER), pending.message.payload);
  EXPECT_THAT(h.workers->discoveries, IsEmpty());
}

TEST(ReconnectScheduling, EveryValidWaitOverInDisconnectedStartsAnAttempt) {
  Harness h;
  h.fire_wait_over();
  const auto first_id = h.workers->discoveries.back().connection_id;
  h.deliver(core::REQUEST_CONNECT, std::string("one"));
  h.deliver(core::REQUEST_CONNECT, std::string("two"));
  const auto waits = h.self_sent(Client::WAIT_OVER);
  ASSERT_EQ(waits.size(), 3u);  // start-up, one, two
  h.client->receive(std::string(Client::WAIT_OVER), waits[2].message.payload);
  const auto second_id = h.workers->discoveries.back().connection_id;
  EXPECT_NE(second_id, first_id);
  h.deliver(comms::SERVICE_DISCOVERY_FAIL, comms::ServiceDiscoveryFailPayload{second_id, "down"});
  h.client->receive(std::string(Client::WAIT_OVER), waits[1].message.payload);
  EXPECT_EQ(h.workers->discoveries.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<comms::ServiceDiscovery>(h.client->state()));
}

TEST(SocketError, CurrentConnectionDisconnectsAfterThreeSeconds) {
  for (bool handshake : {false, true}) {
    SCOPED_TRACE(handshake);
    Harness h;
    const auto id = handshake ? h.to_handshaked() : h.to_connected();
    h.forget();
    const comms::SocketErrorPayload error{id, "writer", "broken pipe"};
    h.deliver(comms::SOCKET_ERROR, error);
    EXPECT_EQ(h.state<comms::Disconnected>().reason, "broken pipe");
    EXPECT_DOUBLE_EQ(h.self_sent(Client::WAIT_OVER).back().delay, 3.0);
    h.forget();
    h.deliver(comms::SOCKET_ERROR, error);
    EXPECT_THAT(h.lines(logs::Level::debug),
                ElementsAre("c-" + id + " [historical] socket writer error; broken pipe"));
    EXPECT_TRUE(h.system.log().empty());
    EXPECT_THAT(h.self_sent(Client::WAIT_OVER), IsEmpty());
  }
}

TEST(SocketError, OldConnectionIsHistorical) {
  Harness h;
  h.to_connected();
  h.forget();
  h.deliver(comms::SOCKET_ERROR, comms::SocketErrorPayload{"old-id", "listener", "timed out"});
  EXPECT_TRUE(std::holds_alternative<comms::Connected>(h.client->state()));
  EXPECT_THAT(h.lines(logs::Level::debug),
              ElementsAre("c-old-id [historical] socket listener error; timed out"));
  EXPECT_FALSE(h.socket->is_closed());
}

TEST(FormatTimings, PairsEachReadingWithTheNext) {
  struct Row {
    std::vector<double> timings;
    double end;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {{10.0}, 11.5, "T-SD 1500"},
      {{10.0, 10.25}, 11.0, "T-SD 250, T-CONNECT 750"},
      {{10.0, 10.1, 10.3}, 10.6, "T-SD 100, T-CONNECT 200, T-AUTH 300"},
      {{1.0, 2.0, 3.0, 4.0}, 9.0, "T-SD 1000, T-CONNECT 1000, T-AUTH 1000, T-HANDSHAKED 5000"},
      {{1.0, 2.0, 3.0, 4.0, 5.0}, 9.0, "T-SD 1000, T-CONNECT 1000, T-AUTH 1000, T-HANDSHAKED 1000"},
  };
  for (const auto& row : rows) EXPECT_EQ(format_timings(row.timings, row.end), row.expected);
  EXPECT_THROW(format_timings({}, 1.0), std::invalid_argument);
  EXPECT_THAT(format_timings({comms::monotonic()}), MatchesRegex("T-SD [0-9]+"));
}

}  // namespace
}  // namespace quillpost::client::testing
