#include "quillpost/host/runtime/comms/wire.h"

#include <gtest/gtest.h>

#include <thread>

#include "collector.h"
#include "peer.h"

namespace quillpost::comms {
namespace {

using namespace std::chrono_literals;
using test::Conn;
using test::Peer;

// The connect report of one create_socket_thread run.
ConnectingCompletePayload connect_report(const std::string& address, std::int64_t port,
                                         const std::optional<Proxy>& proxy,
                                         ConnectOptions options = {}) {
  auto [mailbox, box] = test::collecting_mailbox();
  create_socket_thread("cid", address, port, proxy, mailbox, options);
  auto messages = box->messages();
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages.at(0).event, CONNECTING_COMPLETE);
  return agent::payload_as<ConnectingCompletePayload>(messages.at(0).payload);
}

// Answers "ping" lines with "pong" lines until the stream ends.
void echo_pong(Conn& conn) {
  while (auto line = conn.read_line()) conn.write("pong " + *line + "\n");
}

// Writes one line through `sock` and expects the pong back.
void expect_round_trip(Socket& sock) {
  sock.write_all("hello\n");
  char buf[64];
  const std::size_t n = sock.read_some(buf, 5.0);
  EXPECT_EQ(std::string(buf, n), "pong hello\n");
}

TEST(Connect, PlainReportsFiveElementsAndAddresses) {
  Peer peer(echo_pong);
  auto report = connect_report("127.0.0.1", peer.port(), std::nullopt);
  ASSERT_TRUE(report.success) << report.msg;
  EXPECT_EQ(report.connection_id, "cid");
  EXPECT_GT(report.start, 0.0);
  ASSERT_TRUE(report.ret);
  auto& [sock, far] = *report.ret;
  EXPECT_EQ(far, (Address{"127.0.0.1", peer.port()}));
  EXPECT_EQ(sock->getsockname().first, "127.0.0.1");
  EXPECT_NE(sock->getsockname().second, 0);
  expect_round_trip(*sock);
  sock->close();
  EXPECT_TRUE(sock->is_closed());
}

TEST(Connect, FailuresSayWhatFailed) {
  const int closed_port = test::free_port();
  struct Case {
    std::string address;
    std::int64_t port;
    std::optional<Proxy> proxy;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", closed_port, std::nullopt, "connect to 127.0.0.1:"},
      {"127.0.0.1", 0, std::nullopt, "bad port"},
      {"no-such-host.invalid", 80, std::nullopt, "resolve no-such-host.invalid"},
      {"127.0.0.1", 80, Proxy{"http", "127.0.0.1", std::to_string(closed_port), {}},
       "connect to proxy 127.0.0.1"},
      {"127.0.0.1", 80, Proxy{"ftp", "127.0.0.1", "1", {}}, ""},
  };
  for (const auto& c : cases) {
    auto report = connect_report(c.address, c.port, c.proxy, ConnectOptions{2.0, {}});
    EXPECT_FALSE(report.success) << c.address;
    EXPECT_FALSE(report.ret);
    EXPECT_NE(report.msg.find(c.expected), std::string::npos) << report.msg;
  }
}

TEST(Connect, IsBoundedInTime) {
  // A peer that accepts and never speaks: the TLS handshake waits for it.
  Peer silent([](Conn& conn) { conn.read_bytes(1 << 20); });
  ConnectOptions options{0.3, {}};
  options.tls.enabled = true;
  const auto start = std::chrono::steady_clock::now();
  auto report = connect_report("127.0.0.1", silent.port(), std::nullopt, options);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_FALSE(report.success);
  EXPECT_NE(report.msg.find("timed out after 0.3s"), std::string::npos) << report.msg;
  EXPECT_NE(report.msg.find("TLS handshake"), std::string::npos) << report.msg;
}

TEST(Tls, VerifiedConnectionsAndRefusals) {
  const auto& certs = test::TestCerts::get();
  Peer peer(echo_pong, /*tls=*/true);
  struct Case {
    std::string name;
    std::string address;
    std::string server_name;
    bool verify;
    std::optional<std::string> cafile;
    bool ok;
    std::string expected;
  };
  const std::string ca = certs.ca_cert.string();
  const std::vector<Case> cases = {
      {"ip, our CA", "127.0.0.1", "", true, ca, true, ""},
      {"name, our CA", "localhost", "", true, ca, true, ""},
      {"wrong host name", "127.0.0.1", "wrong.example", true, ca, false,
       "certificate verify failed"},
      {"unknown CA", "127.0.0.1", "", true, std::nullopt, false, "certificate verify failed"},
      {"wrong name, no verification", "127.0.0.1", "wrong.example", false, std::nullopt, true, ""},
      {"missing CA file", "127.0.0.1", "", true, "/nonexistent/ca.pem", false,
       "cannot load CA file"},
  };
  for (const auto& c : cases) {
    ConnectOptions options{5.0, TlsSettings{true, c.verify, c.cafile, c.server_name}};
    auto report = connect_report(c.address, peer.port(), std::nullopt, options);
    EXPECT_EQ(report.success, c.ok) << c.name << ": " << report.msg;
    EXPECT_NE(report.msg.find(c.expected), std::string::npos) << c.name << ": " << report.msg;
    if (report.success) {
      expect_round_trip(*report.ret->first);
      report.ret->first->close();
    }
  }
}

// A listener fed by a peer that writes `lines` and then does `after`.
std::vector<agent::Message> listen_to(const std::string& lines, std::optional<double> timeout,
                                      std::size_t expected_messages,
                                      std::function<void(Conn&)> after = {}) {
  Peer peer([&](Conn& conn) {
    conn.write(lines);
    if (after) after(conn);
    conn.read_line();  // holds the connection open until the client closes it
  });
  auto sock = open_socket("127.0.0.1", peer.port(), std::nullopt);
  auto [mailbox, box] = test::collecting_mailbox();
  std::thread listener(
      [&, mb = mailbox] { listen(sock, "cid", timeout, mb, noop_protocol_log_writer()); });
  EXPECT_TRUE(box->wait_for(expected_messages));
  sock->close();
  listener.join();
  return box->messages();
}

const SocketErrorPayload& socket_error(const agent::Message& m) {
  EXPECT_EQ(m.event, SOCKET_ERROR);
  return agent::payload_as<SocketErrorPayload>(m.payload);
}

TEST(Listen, DeliversFramesAndConsumesServerHeartbeats) {
  auto got = listen_to(
      "{\"event\":\"authentication\",\"payload\":{\"a\":1}}\n"
      "{\"event\":\"heartbeat\",\"payload\":[]}\r\n"
      "\n"
      "{\"event\":\"job\",\"payload\":[1,2]}\n",
      std::nullopt, 2);
  ASSERT_GE(got.size(), 2u);
  auto first = agent::payload_as<ServerMessage>(got[0].payload);
  EXPECT_EQ(got[0].event, SERVER_MESSAGE);
  EXPECT_EQ(first.event, "authentication");
  EXPECT_EQ(first.payload, nlohmann::json({{"a", 1}}));
  EXPECT_EQ(first.connection_id, "cid");
  EXPECT_EQ(agent::payload_as<ServerMessage>(got[1].payload).event, "job");
  // The client's own close ends the listener with a SOCKET_ERROR too.
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(socket_error(got[2]).source, "listener");
}

TEST(Listen, ProtocolErrorsEndTheConnection) {
  const std::string huge =
      "{\"event\":\"x\",\"payload\":\"" + std::string(MAX_FRAME_BYTES, 'a') + "\"}\n";
  // Nesting that would exhaust the stack of the code that copies or prints the
  // payload (a crash before the limit existed); brackets in strings do not count.
  const auto nested = [](std::size_t levels) {
    return "{\"event\":\"error\",\"payload\":" + std::string(levels, '[') +
           std::string(levels, ']') + "}\n";
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"not json\n", "not JSON"},
      {"[1,2]\n", "not an object"},
      {"{\"payload\":1}\n", "without an event name"},
      {huge, "longer than"},
      {nested(MAX_FRAME_DEPTH), "nested deeper than 64 levels"},
      {nested(400000), "nested deeper than"},
  };
  for (const auto& [lines, expected] : cases) {
    auto got = listen_to(lines, std::nullopt, 1);
    ASSERT_EQ(got.size(), 1u) << expected;
    const auto& error = socket_error(got[0]);
    EXPECT_EQ(error.connection_id, "cid");
    EXPECT_NE(error.reason.find("protocol error"), std::string::npos) << error.reason;
    EXPECT_NE(error.reason.find(expected), std::string::npos) << error.reason;
  }
}

TEST(Listen, FramesUpToTheDepthLimitAreDelivered) {
  const std::size_t levels = MAX_FRAME_DEPTH - 1;  // the frame's object is one level
  const std::string brackets = "\"[[[{{{\\\"]]]}}}\"";
  auto got = listen_to("{\"event\":\"deep\",\"payload\":" + std::string(levels, '[') + brackets +
                           std::string(levels, ']') + "}\n",
                       std::nullopt, 1);
  ASSERT_GE(got.size(), 1u);
  ASSERT_EQ(got[0].event, SERVER_MESSAGE);
  nlohmann::json payload = agent::payload_as<ServerMessage>(got[0].payload).payload;
  for (std::size_t i = 0; i < levels; ++i) {
    ASSERT_TRUE(payload.is_array() && payload.size() == 1u) << i;
    payload = nlohmann::json(payload[0]);
  }
  EXPECT_EQ(payload, "[[[{{{\"]]]}}}");
}

TEST(Listen, HeartbeatTimeoutIsTheReadDeadline) {
  const auto start = std::chrono::steady_clock::now();
  auto got = listen_to("{\"event\":\"hello\",\"payload\":null}\n", 0.2, 2);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(socket_error(got[1]).reason, "no data within 0.2s");
  // A deadline past what the clock's nanoseconds hold is far away, not now.
  auto far = listen_to("{\"event\":\"hello\",\"payload\":null}\n", 1e12, 1);
  ASSERT_FALSE(far.empty());
  EXPECT_EQ(far[0].event, SERVER_MESSAGE);
}

TEST(Listen, ServerClosingIsReported) {
  auto got = listen_to("", std::nullopt, 1, [](Conn& conn) { conn.close(); });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(socket_error(got[0]).reason.find("closed by the server"), std::string::npos);
}

TEST(Writer, SendsUrgentMessagesFirstAndStopsOnShutdown) {
  std::mutex mutex;
  std::vector<std::string> lines;
  Peer peer([&](Conn& conn) {
    while (auto line = conn.read_line()) {
      std::lock_guard lock(mutex);
      lines.push_back(*line);
    }
  });
  auto sock = open_socket("127.0.0.1", peer.port(), std::nullopt);
  auto queue = make_server_send_queue();
  queue->add({"job", {{"n", 1}}});
  queue->add({"job", {{"n", 2}}});
  queue->add({"heartbeat", nlohmann::json::array()});
  queue->add({"authenticate", {{"k", "v"}}});
  auto closed = std::make_shared<Event>();
  auto [mailbox, box] = test::collecting_mailbox();
  std::thread writer_thread(
      [&, mb = mailbox] { writer(sock, closed, queue, "cid", mb, noop_protocol_log_writer()); });
  for (int i = 0; i < 500; ++i) {
    {
      std::lock_guard lock(mutex);
      if (lines.size() == 4) break;
    }
    std::this_thread::sleep_for(5ms);
  }
  queue->shutdown("done");
  writer_thread.join();  // ends by itself
  EXPECT_EQ(queue->add({"late", nullptr}), ServerSendQueue::AddResult::shut_down);
  sock->close();
  std::lock_guard lock(mutex);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       R"({"event":"heartbeat","payload":[]})",
                       R"({"event":"authenticate","payload":{"k":"v"}})",
                       R"({"event":"job","payload":{"n":1}})",
                       R"({"event":"job","payload":{"n":2}})",
                   }));
  EXPECT_TRUE(box->messages().empty());
}

TEST(Writer, StopsWhenTheClosedEventIsSet) {
  Peer peer([](Conn& conn) { conn.read_line(); });
  auto sock = open_socket("127.0.0.1", peer.port(), std::nullopt);
  auto queue = make_server_send_queue();
  auto closed = std::make_shared<Event>();
  auto [mailbox, box] = test::collecting_mailbox();
  std::thread writer_thread(
      [&, mb = mailbox] { writer(sock, closed, queue, "cid", mb, noop_protocol_log_writer()); });
  closed->set();
  writer_thread.join();
  sock->close();
  EXPECT_TRUE(box->messages().empty());
}

TEST(Writer, ReportsAWriteThePeerRefuses) {
  Peer peer([](Conn& conn) { conn.close(); });
  auto sock = open_socket("127.0.0.1", peer.port(), std::nullopt);
  auto queue = make_server_send_queue();
  auto [mailbox, box] = test::collecting_mailbox();
  std::thread writer_thread([&, mb = mailbox] {
    writer(sock, std::make_shared<Event>(), queue, "cid", mb, noop_protocol_log_writer());
  });
  // The first writes may still land in the kernel's buffers; the peer's reset
  // fails a later one.
  for (int i = 0; i < 500 && box->messages().empty(); ++i) {
    queue->add({"job", nullptr});
    std::this_thread::sleep_for(10ms);
  }
  writer_thread.join();
  sock->close();
  const auto messages = box->messages();
  ASSERT_EQ(messages.size(), 1u);
  const auto& error = socket_error(messages[0]);
  EXPECT_EQ(error.source, "writer");
  EXPECT_EQ(error.connection_id, "cid");
  EXPECT_EQ(error.reason.find("socket closed"), std::string::npos) << error.reason;
}

TEST(Writer, LeavesTheReportOfAClosedSocketToWhoeverClosedIt) {
  // The listener's read deadline closes the socket and reports "no data
  // within ..."; a heartbeat written meanwhile must not report first.
  Peer peer([](Conn& conn) { conn.read_line(); });
  auto sock = open_socket("127.0.0.1", peer.port(), std::nullopt);
  auto [mailbox, box] = test::collecting_mailbox();
  std::thread listener(
      [&, mb = mailbox] { listen(sock, "cid", 0.1, mb, noop_protocol_log_writer()); });
  ASSERT_TRUE(box->wait_for(1));
  listener.join();
  auto queue = make_server_send_queue();
  queue->add({"heartbeat", nlohmann::json::array()});
  writer(sock, std::make_shared<Event>(), queue, "cid", mailbox, noop_protocol_log_writer());
  const auto messages = box->messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(socket_error(messages[0]).source, "listener");
  EXPECT_EQ(socket_error(messages[0]).reason, "no data within 0.1s");
}

TEST(Socket, CloseAndGetsocknameAreSafeWhileReadingAndWriting) {
  Peer peer([](Conn& conn) {
    // Reads everything, answers nothing: the reader blocks, the writer flows.
    while (conn.read_line()) {
    }
  });
  auto sock = open_socket("127.0.0.1", peer.port(), std::nullopt);
  std::atomic<bool> reader_done{false};
  std::thread reader([&] {
    char buf[16];
    EXPECT_THROW(sock->read_some(buf, std::nullopt), SocketFailure);
    reader_done = true;
  });
  std::thread writer_thread([&] {
    try {
      for (int i = 0; i < 100000; ++i) sock->write_all("{\"event\":\"x\",\"payload\":1}\n");
    } catch (const SocketFailure& e) {
      EXPECT_EQ(e.kind(), SocketFailure::Kind::closed);
    }
  });
  for (int i = 0; i < 50; ++i) EXPECT_EQ(sock->getsockname().first, "127.0.0.1");
  std::this_thread::sleep_for(20ms);
  sock->close();
  sock->close();  // idempotent
  reader.join();
  writer_thread.join();
  EXPECT_TRUE(reader_done);
}

}  // namespace
}  // namespace quillpost::comms
