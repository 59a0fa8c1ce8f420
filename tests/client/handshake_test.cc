// Authentication, server messages, heartbeats, and account and HTTP updates.
#include <fmt/format.h>

#include "client_harness.h"
#include "quillpost/host/config/build_info.h"
#include "quillpost/host/runtime/agent/schedule.h"
#include "quillpost/host/runtime/comms/priority_queues.h"

namespace quillpost::client::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

std::vector<comms::ServerMessagePayload> drain(const std::shared_ptr<comms::ServerSendQueue>& q) {
  std::vector<comms::ServerMessagePayload> out;
  while (auto m = q->get(std::chrono::milliseconds(0))) out.push_back(*m);
  return out;
}

std::vector<core::LogoutRequest> logouts(const Harness& h) {
  std::vector<core::LogoutRequest> out;
  for (const auto& m : h.system.sent_to("core")) {
    if (m.event == core::REQUEST_LOGOUT)
      out.push_back(agent::payload_as<core::LogoutRequest>(m.payload));
  }
  return out;
}

std::vector<Account> account_updates(const Harness& h) {
  std::vector<Account> out;
  for (const auto& m : h.system.sent_to("core")) {
    if (m.event == core::UPDATE_ACCOUNT) out.push_back(agent::payload_as<Account>(m.payload));
  }
  return out;
}

void server_says(Harness& h, const std::string& id, const std::string& event,
                 const nlohmann::json& payload) {
  h.deliver(comms::SERVER_MESSAGE, comms::ServerMessage{event, payload, id});
}

TEST(Authentication, AnswersTheServersRequest) {
  Harness h;
  const auto id = h.to_connected();
  h.forget();
  server_says(h, id, "authentication", nullptr);
  EXPECT_TRUE(std::holds_alternative<comms::Connected>(h.client->state()));
  const auto sent = drain(h.state<comms::Connected>().write_queue);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].msg, "authenticate");
  EXPECT_EQ(sent[0].payload["clientKey"], "secret-client-key");
  EXPECT_EQ(sent[0].payload["connectionId"], id);
  EXPECT_EQ(sent[0].payload["clientSessionId"], h.client->client_session());
  for (const auto& line : h.all_lines())
    EXPECT_EQ(line.find("secret-client-key"), std::string::npos);
}

TEST(Authentication, MessageHasTwelveEntriesInOrder) {
  const logs::Logger logger("client");
  logs::Capture capture;
  SystemInfo info;
  info.hostname = "fallback-host";
  info.username = "alice";
  comms::Connected state;
  state.socket = std::make_shared<FakeSocket>(comms::Address{"192.0.2.44", 1});
  state.connection_id = "conn-1";
  const auto message = create_authenticate_message(
      info, Account{"a@example.com", "key-1", 3}, "office-pc", "world-1", "instance-1", state,
      "session-1", logger, [] { return std::string("real-host"); });
  std::vector<std::string> keys;
  for (const auto& item : message.items()) keys.push_back(item.key());
  EXPECT_THAT(keys, ElementsAre("email", "computerName", "clientKey", "inet", "worldUuid",
                                "instanceUuid", "connectionId", "hostname", "username", "version",
                                "edition", "clientSessionId"));
  EXPECT_EQ(message["email"], "a@example.com");
  EXPECT_EQ(message["computerName"], "office-pc");
  EXPECT_EQ(message["clientKey"], "key-1");
  EXPECT_EQ(message["inet"], "192.0.2.44");
  EXPECT_EQ(message["worldUuid"], "world-1");
  EXPECT_EQ(message["instanceUuid"], "instance-1");
  EXPECT_EQ(message["connectionId"], "conn-1");
  EXPECT_EQ(message["hostname"], "real-host");
  EXPECT_EQ(message["username"], "alice");
  EXPECT_EQ(message["version"], compiled_build_info().version);
  EXPECT_EQ(message["edition"], compiled_build_info().edition);
  EXPECT_EQ(message["clientSessionId"], "session-1");
  EXPECT_THAT(
      capture.texts("client"),
      ElementsAre(MatchesRegex("time to generate authenticate msg -> \\[[0-9]+ms, [0-9]+ms\\]")));
}

TEST(Authentication, MessageFallsBackWhenQueriesFail) {
  const logs::Logger logger("client");
  SystemInfo info;
  info.hostname = "fallback-host";
  auto sock = std::make_shared<FakeSocket>();
  sock->fail_getsockname = true;
  comms::Connected state;
  state.socket = sock;
  const auto message = create_authenticate_message(
      info, std::nullopt, "pc", "w", "i", state, "s", logger,
      []() -> std::string { throw std::runtime_error("no host name"); });
  EXPECT_EQ(message["hostname"], "fallback-host");
  EXPECT_EQ(message["inet"], "127.0.0.1");
  EXPECT_TRUE(message["email"].is_null());
  state.socket = nullptr;
  EXPECT_EQ(
      create_authenticate_message(info, std::nullopt, "pc", "w", "i", state, "s", logger)["inet"],
      "127.0.0.1");
}

TEST(Authentication, SuccessHandshakes) {
  Harness h;
  const auto id = h.to_connected();
  h.forget();
  server_says(h, id, "authenticate.response", {{"success", true}, {"accountId", "42"}, {"id", 7}});
  const auto& state = h.state<comms::Handshaked>();
  EXPECT_EQ(state.account_id, 42);
  EXPECT_EQ(state.connection_id, id);
  EXPECT_EQ(state.timings.size(), 4u);
  EXPECT_EQ(state.socket, h.socket);
  EXPECT_EQ(state.heartbeat_interval, 30.0);
  EXPECT_THAT(h.lines(logs::Level::info),
              ElementsAre("CONNECTED --> HANDSHAKED Account email user@example.com. Account id 42",
                          "Computer OFFICE-PC id 7"));
  EXPECT_THAT(h.gui_lines(),
              ElementsAre(GuiLog{GuiLogEvent::CLIENT_HANDSHAKED,
                                 "Authenticated. Account email user@example.com. Account id 42."},
                          GuiLog{GuiLogEvent::CLIENT_HANDSHAKED,
                                 "Computer name OFFICE-PC. Computer id 7."}));
  EXPECT_THAT(h.statuses(),
              ElementsAre(comms::Connection{
                  comms::ClientStatus::handshaked, 42, {{"account_id", 42}, {"computer_id", 7}}}));
  EXPECT_THAT(account_updates(h), IsEmpty());  // computer id 7 and a real e-mail: nothing new
}

TEST(Authentication, AccountUpdateAfterHandshake) {
  struct Row {
    std::string name;
    Account account;
    std::optional<Account> update;
  };
  const std::string placeholder(AUTH_WITH_CLIENT_KEY_EMAIL);
  const std::vector<Row> rows = {
      {"same", {"a@example.com", "k", 7}, std::nullopt},
      {"new computer id", {"a@example.com", "k", 3}, Account{"a@example.com", "k", 7}},
      {"no computer id", {"a@example.com", "k", std::nullopt}, Account{"a@example.com", "k", 7}},
      {"placeholder e-mail", {placeholder, "k", 7}, Account{"Id 42", "k", 7}},
      {"both", {placeholder, "k", 1}, Account{"Id 42", "k", 7}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HarnessOptions options;
    options.account = row.account;
    Harness h(options);
    h.to_handshaked();
    const auto updates = account_updates(h);
    if (row.update) {
      EXPECT_THAT(updates, ElementsAre(*row.update));
    } else {
      EXPECT_THAT(updates, IsEmpty());
    }
    EXPECT_EQ(h.client->account(), row.account);  // only a published update changes it
  }
}

TEST(Authentication, FailureAsksForLogoutAndStaysConnected) {
  Harness h;
  const auto id = h.to_connected();
  h.forget();
  server_says(h, id, "authenticate.response", {{"success", false}, {"errorMessage", "bad key"}});
  EXPECT_TRUE(std::holds_alternative<comms::Connected>(h.client->state()));
  ASSERT_EQ(logouts(h).size(), 1u);
  EXPECT_EQ(logouts(h)[0].reason, "authentication failure; bad key");
  EXPECT_THAT(h.main_loop_reasons(), ElementsAre("authentication failure; bad key"));
  EXPECT_THAT(h.self_sent(Client::WAIT_OVER), IsEmpty());
}

TEST(Authentication, RejectionWaitsAndMayLogOut) {
  const double floor = comms::ReconnectTimings::REJECTED_MSG_MIN_RECONNECT_TIME;
  struct Row {
    std::string name;
    nlohmann::json payload;
    std::string logout;  // empty: no logout
    std::string reason;
    double wait;
  };
  const std::vector<Row> rows = {
      {"nothing", nlohmann::json::object(), "",
       fmt::format("server rejected client. reconnecting after {:.1f}", floor), floor},
      {"no payload", nullptr, "",
       fmt::format("server rejected client. reconnecting after {:.1f}", floor), floor},
      {"short retry",
       {{"retryAfter", 1}, {"message", "busy"}},
       "",
       fmt::format("busy  - reconnecting after {:.1f}", floor),
       floor},
      {"long retry",
       {{"retryAfter", 42.25}, {"message", "busy"}},
       "",
       "busy  - reconnecting after 42.2",
       42.25},
      {"destroy, no message",
       {{"destroyClientKey", true}},
       "server requested logout and rejected connection",
       fmt::format("server rejected client. reconnecting after {:.1f}", floor),
       floor},
      {"destroy with message",
       {{"destroyClientKey", true}, {"message", "key revoked"}, {"retryAfter", 60}},
       "key revoked",
       "key revoked  - reconnecting after 60.0",
       60.0},
      {"destroy false",
       {{"destroyClientKey", false}},
       "",
       fmt::format("server rejected client. reconnecting after {:.1f}", floor),
       floor},
      {"destroy text",
       {{"destroyClientKey", "true"}},
       "",
       fmt::format("server rejected client. reconnecting after {:.1f}", floor),
       floor},
      // A retryAfter that is no finite, non-negative number counts as absent;
      // a huge one waits a day at most.
      {"retry null",
       {{"retryAfter", nullptr}},
       "",
       fmt::format("server rejected client. reconnecting after {:.1f}", floor),
       floor},
      {"retry text",
       {{"retryAfter", "soon"}},
       "",
       fmt::format("server rejected client. reconnecting after {:.1f}", floor),
       floor},
      {"retry negative",
       {{"retryAfter", -30}},
       "",
       fmt::format("server rejected client. reconnecting after {:.1f}", floor),
       floor},
      {"retry huge",
       {{"retryAfter", 1e12}},
       "",
       "server rejected client. reconnecting after 86400.0",
       86400.0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h;
    const auto id = h.to_connected();
    h.forget();
    server_says(h, id, "rejected", row.payload);
    EXPECT_EQ(h.state<comms::Disconnected>().reason, row.reason);
    EXPECT_DOUBLE_EQ(h.self_sent(Client::WAIT_OVER).back().delay, row.wait);
    const auto logout = logouts(h);
    if (!row.logout.empty()) {
      ASSERT_EQ(logout.size(), 1u);
      EXPECT_EQ(logout[0].reason, row.logout);
      EXPECT_THAT(h.main_loop_reasons(), ElementsAre(row.logout));
    } else {
      EXPECT_THAT(logout, IsEmpty());
      EXPECT_THAT(h.main_loop_reasons(), IsEmpty());
    }
  }
}

// A reply the client cannot read would leave it connected and never signed
// in: it ends the link like a socket error.
TEST(Authentication, MalformedRepliesEndTheConnectionWithTheSocketErrorWait) {
  const std::vector<std::pair<nlohmann::json, std::string>> replies = {
      {{{"accountId", 1}, {"id", 2}}, "no 'success'"},
      {{{"success", true}, {"id", 2}}, "no 'accountId'"},
      {{{"success", true}, {"accountId", "4x"}, {"id", 2}},
       "'accountId' is not an integer: \"4x\""},
      {{{"success", true}, {"accountId", 4.5}, {"id", 2}}, "'accountId' is not an integer: 4.5"},
      {{{"success", true}, {"accountId", 1}, {"id", nullptr}}, "'id' is not an integer: null"},
      {nlohmann::json::array({1, 2}), "not an object: [1,2]"},
      {nullptr, "not an object: null"},
  };
  for (const auto& [reply, what] : replies) {
    SCOPED_TRACE(reply.dump());
    Harness h;
    const auto id = h.to_connected();
    server_says(h, id, "authenticate.response", reply);
    EXPECT_EQ(h.state<comms::Disconnected>().reason, "malformed authenticate.response; " + what);
    EXPECT_DOUBLE_EQ(h.self_sent(Client::WAIT_OVER).back().delay, Client::SOCKET_ERROR_WAIT);
    EXPECT_TRUE(h.socket->is_closed());
  }
  Harness h;
  const auto id = h.to_connected();
  server_says(h, id, "authenticate.response", {{"success", 1}, {"accountId", 42.0}, {"id", "7"}});
  EXPECT_EQ(h.state<comms::Handshaked>().account_id, 42);
}

TEST(Authentication, UnexpectedEventIsLogged) {
  Harness h;
  const auto id = h.to_connected();
  h.forget();
  server_says(h, id, "print_job", {{"id", 1}});
  EXPECT_THAT(h.lines(logs::Level::error),
              ElementsAre("unexpected server message 'print_job' {\"id\":1}"));
  EXPECT_TRUE(std::holds_alternative<comms::Connected>(h.client->state()));
  EXPECT_TRUE(h.system.log().empty());
}

TEST(ServerMessage, HandshakedMessagesArePublishedWhole) {
  Harness h;
  const auto id = h.to_handshaked();
  h.forget();
  const comms::ServerMessage message{"print_job", {{"id", 9}}, id};
  h.deliver(comms::SERVER_MESSAGE, message);
  const auto published = h.system.sent_to("pubsub");
  ASSERT_EQ(published.size(), 1u);
  const auto& inner = agent::payload_as<agent::Message>(published[0].payload);
  EXPECT_EQ(inner.event, comms::SERVER_MESSAGE);
  const auto& got = agent::payload_as<comms::ServerMessage>(inner.payload);
  EXPECT_EQ(got.event, "print_job");
  EXPECT_EQ(got.payload, message.payload);
  EXPECT_EQ(got.connection_id, id);
}

TEST(ServerMessage, ClosedAndOldConnectionsAreIgnored) {
  Harness h;
  server_says(h, "gone", "print_job", nullptr);
  EXPECT_THAT(h.lines(logs::Level::warning),
              ElementsAre("client ignoring server message 'print_job' from closed socket"));
  h.to_handshaked();
  h.forget();
  server_says(h, "gone", "error", {{"message", "x"}});
  EXPECT_THAT(h.lines(logs::Level::warning),
              ElementsAre("client ignoring server message 'error' for old connection 'gone'"));
  EXPECT_TRUE(std::holds_alternative<comms::Handshaked>(h.client->state()));
  EXPECT_TRUE(h.system.log().empty());
}

TEST(ServerMessage, ErrorDisconnectsFromConnectedAndHandshaked) {
  for (bool handshake : {false, true}) {
    SCOPED_TRACE(handshake);
    Harness h;
    const auto id = handshake ? h.to_handshaked() : h.to_connected();
    h.forget();
    server_says(h, id, "error", {{"message", "maintenance"}});
    EXPECT_EQ(h.state<comms::Disconnected>().reason, "maintenance");
    EXPECT_THAT(h.lines(logs::Level::error),
                ElementsAre("server error: {\"message\":\"maintenance\"}"));
    EXPECT_DOUBLE_EQ(h.self_sent(Client::WAIT_OVER).back().delay,
                     comms::ReconnectTimings::SERVER_ERROR);
    EXPECT_TRUE(h.socket->is_closed());
  }
}

TEST(Heartbeat, ChainRunsWhileItsConnectionLives) {
  for (bool handshake : {false, true}) {
    SCOPED_TRACE(handshake);
    Harness h;
    const auto id = handshake ? h.to_handshaked() : h.to_connected();
    h.forget();
    h.deliver(comms::HEARTBEAT_REMINDER, id);
    std::shared_ptr<comms::ServerSendQueue> queue = handshake
                                                        ? h.state<comms::Handshaked>().write_queue
                                                        : h.state<comms::Connected>().write_queue;
    const auto sent = drain(queue);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].msg, comms::HEARTBEAT);
    EXPECT_EQ(sent[0].payload, nlohmann::json::array());
    const auto requests = h.system.sent_to("schedule");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].event, agent::ScheduleAgent::SCHEDULE);
    const auto& request = agent::payload_as<agent::ScheduleRequest>(requests[0].payload);
    EXPECT_DOUBLE_EQ(request.delay, 30.0);
    EXPECT_EQ(request.event, comms::HEARTBEAT_REMINDER);
    EXPECT_EQ(agent::payload_as<std::string>(request.payload), id);
  }
}

TEST(Heartbeat, StaleRemindersEndTheChainSilently) {
  Harness h;
  h.deliver(comms::HEARTBEAT_REMINDER, std::string("old"));  // Disconnected
  const auto id = h.to_handshaked();
  h.forget();
  h.deliver(comms::HEARTBEAT_REMINDER, std::string("old"));  // another connection
  EXPECT_TRUE(drain(h.state<comms::Handshaked>().write_queue).empty());
  EXPECT_TRUE(h.system.log().empty());
  EXPECT_THAT(h.all_lines(), IsEmpty());
  h.deliver(core::REQUEST_DISCONNECT, std::string("bye"));
  h.forget();
  h.deliver(comms::HEARTBEAT_REMINDER, id);
  EXPECT_TRUE(h.system.log().empty());
}

TEST(AccountUpdate, OnlyCredentialsReconnect) {
  struct Row {
    std::string name;
    std::optional<Account> account;
    bool reconnect;
  };
  const std::vector<Row> rows = {
      {"computer id", Account{"user@example.com", "secret-client-key", 99}, false},
      {"e-mail", Account{"new@example.com", "secret-client-key", 7}, true},
      {"client key", Account{"user@example.com", "other-key", 7}, true},
      {"logged out", Account{"user@example.com", std::nullopt, 7}, true},
      {"no account", std::nullopt, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Harness h;
    h.to_handshaked();
    h.forget();
    h.deliver(core::UPDATE_ACCOUNT, row.account);
    EXPECT_EQ(h.client->account(), row.account);
    if (row.reconnect) {
      EXPECT_EQ(h.state<comms::Disconnected>().reason, "account settings changed");
      EXPECT_DOUBLE_EQ(h.self_sent(Client::WAIT_OVER).back().delay, 0.0);
    } else {
      EXPECT_TRUE(std::holds_alternative<comms::Handshaked>(h.client->state()));
      EXPECT_TRUE(h.system.log().empty());
    }
  }
}

// The handshake renames a client-key account's placeholder e-mail to "Id N";
// that is a new e-mail like any other, and reconnects once.
TEST(AccountUpdate, APlaceholderRenamedByTheHandshakeReconnectsOnce) {
  const std::string placeholder(AUTH_WITH_CLIENT_KEY_EMAIL);
  struct Row {
    std::string name;
    Account before;
    Account update;
    bool reconnect;
  };
  const std::vector<Row> rows = {
      {"renamed", {placeholder, "k", 7}, {"Id 42", "k", 7}, true},
      {"renamed again, the same", {"Id 42", "k", 7}, {"Id 42", "k", 7}, false},
      {"renamed with a new key", {placeholder, "k", 7}, {"Id 42", "other", 7}, true},
      {"a real e-mail instead", {placeholder, "k", 7}, {"new@example.com", "k", 7}, true},
      {"an ordinary e-mail renamed", {"a@example.com", "k", 7}, {"Id 42", "k", 7}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HarnessOptions options;
    options.account = row.before;
    Harness h(options);
    h.to_handshaked();
    h.forget();
    h.deliver(core::UPDATE_ACCOUNT, std::optional<Account>(row.update));
    EXPECT_EQ(h.client->account(), std::optional<Account>(row.update));
    if (row.reconnect) {
      EXPECT_EQ(h.state<comms::Disconnected>().reason, "account settings changed");
    } else {
      EXPECT_TRUE(std::holds_alternative<comms::Handshaked>(h.client->state()));
    }
  }
}

TEST(AccountUpdate, NextAttemptUsesTheNewAccount) {
  HarnessOptions options;
  options.account = Account{std::nullopt, "key", std::nullopt};
  Harness h(options);
  h.fire_wait_over();  // gives up: no e-mail
  EXPECT_THAT(h.workers->discoveries, IsEmpty());
  h.deliver(core::UPDATE_ACCOUNT, Account{"new@example.com", "key", std::nullopt});
  h.fire_wait_over();
  ASSERT_EQ(h.workers->discoveries.size(), 1u);
  h.to_handshaked();
  EXPECT_EQ(h.gui_lines().back().message, "Computer name OFFICE-PC. Computer id 7.");
  EXPECT_THAT(
      h.lines(logs::Level::info),
      ::testing::Contains("CONNECTED --> HANDSHAKED Account email new@example.com. Account id 42"));
}

TEST(HttpConfigUpdate, ReconnectsOnlyWhenTheConnectionIsAffected) {
  const Proxy proxy{"http", "proxy.test", "3128", std::make_pair("bob", "old-password")};
  Proxy new_password = proxy;
  new_password.auth->second = "new-password";
  struct Row {
    std::string name;
    std::optional<Proxy> before;
    std::function<void(HttpConfig&)> change;
    bool reconnect;
  };
  const std::vector<Row> rows = {
      {"nothing", proxy, [](HttpConfig&) {}, false},
      {"engine only", proxy, [](HttpConfig& c) { c.engine = "pycurl"; }, false},
      {"ssl", proxy, [](HttpConfig& c) { c.ssl_verify = false; }, true},
      {"proxy added", std::nullopt, [&](HttpConfig& c) { c.proxy = proxy; }, true},
      {"proxy removed", proxy, [](HttpConfig& c) { c.proxy.reset(); }, true},
      {"proxy password", proxy, [&](HttpConfig& c) { c.proxy = new_password; }, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    HarnessOptions options;
    options.http_config.proxy = row.before;
    Harness h(options);
    h.to_handshaked();
    h.forget();
    HttpConfig updated = options.http_config;
    row.change(updated);
    h.deliver(core::HTTP_CONFIG_UPDATE, updated);
    EXPECT_EQ(h.client->http_config(), updated);
    if (row.reconnect) {
      EXPECT_EQ(h.state<comms::Disconnected>().reason, "HTTP configuration changed");
      EXPECT_DOUBLE_EQ(h.self_sent(Client::WAIT_OVER).back().delay, 0.0);
    } else {
      EXPECT_TRUE(std::holds_alternative<comms::Handshaked>(h.client->state()));
    }
    for (const auto& line : h.all_lines()) EXPECT_EQ(line.find("password"), std::string::npos);
  }
}

TEST(HttpConfigUpdate, NewEngineServesTheNextAttempt) {
  Harness h;
  HttpConfig updated;
  updated.engine = "pycurl";
  h.deliver(core::HTTP_CONFIG_UPDATE, updated);
  h.fire_wait_over();
  ASSERT_EQ(h.workers->discoveries.size(), 1u);
  EXPECT_EQ(h.workers->discoveries[0].engine, &comms::pycurl_service_discovery);
}

}  // namespace
}  // namespace quillpost::client::testing
