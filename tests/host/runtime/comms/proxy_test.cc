#include <gtest/gtest.h>

#include "collector.h"
#include "peer.h"
#include "proxies.h"
#include "quillpost/host/runtime/comms/wire.h"

namespace quillpost::comms {
namespace {

using test::Conn;

void echo_pong(Conn& conn) {
  while (auto line = conn.read_line()) conn.write("pong " + *line + "\n");
}

class ProxyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { proxies = new test::Proxies(); }
  static void TearDownTestSuite() {
    delete proxies;
    proxies = nullptr;
  }
  static test::Proxies* proxies;
};
test::Proxies* ProxyTest::proxies = nullptr;

TEST_F(ProxyTest, EveryProxyKindCarriesTheConnection) {
  test::Peer peer(echo_pong);
  test::Peer tls_peer(echo_pong, /*tls=*/true);
  // Each through the proxy to the peer, with a round trip; one also with TLS on top.
  for (const std::string label :
       {"http", "http-auth", "socks5", "socks5-auth", "socks5-dante", "socks4", "socks4a"}) {
    auto proxy = proxies->get(label);
    if (!proxy) {
      ADD_FAILURE() << "proxy " << label << " did not start";
      continue;
    }
    for (bool tls : {false, true}) {
      ConnectOptions options{5.0, {}};
      options.tls = TlsSettings{tls, true, test::TestCerts::get().ca_cert.string(), ""};
      // SOCKS4a is asked by name, so the proxy does the lookup.
      const std::string host = label == "socks4a" ? "localhost" : "127.0.0.1";
      std::shared_ptr<Socket> sock;
      try {
        sock = open_socket(host, tls ? tls_peer.port() : peer.port(), proxy, options);
      } catch (const std::exception& e) {
        ADD_FAILURE() << label << (tls ? " tls: " : ": ") << e.what();
        continue;
      }
      sock->write_all("hi\n");
      char buf[32];
      EXPECT_EQ(std::string(buf, sock->read_some(buf, 5.0)), "pong hi\n") << label;
      sock->close();
    }
  }
}

TEST_F(ProxyTest, RefusalsSayWhichProxyAndWhy) {
  test::Peer peer(echo_pong);
  struct Case {
    std::string label;
    std::optional<std::pair<std::string, std::string>> auth;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"http-auth", std::nullopt, "refused: 40"},
      {"http-auth", std::make_pair(std::string("qpuser"), std::string("wrong")), "refused: 40"},
      {"socks5-auth", std::nullopt, "no acceptable authentication method"},
      {"socks5-auth", std::make_pair(std::string("qpuser"), std::string("wrong")),
       "credentials refused"},
  };
  for (const auto& c : cases) {
    auto proxy = proxies->get(c.label);
    ASSERT_TRUE(proxy) << c.label;
    proxy->auth = c.auth;
    auto [mailbox, box] = test::collecting_mailbox();
    create_socket_thread("cid", "127.0.0.1", peer.port(), proxy, mailbox, {5.0, {}});
    auto report = agent::payload_as<ConnectingCompletePayload>(box->messages().at(0).payload);
    EXPECT_FALSE(report.success) << c.label;
    EXPECT_NE(report.msg.find("proxy 127.0.0.1:" + proxy->port), std::string::npos) << report.msg;
    EXPECT_NE(report.msg.find(c.expected), std::string::npos) << report.msg;
    EXPECT_EQ(report.msg.find("wrong"), std::string::npos) << "password in " << report.msg;
  }
}

TEST_F(ProxyTest, Socks4aLeavesTheLookupToTheProxy) {
  test::Peer peer(echo_pong);
  test::Socks4aProxy proxy;
  auto sock = open_socket("localhost", peer.port(),
                          Proxy{"socks4a", "127.0.0.1", std::to_string(proxy.port()), {}});
  sock->close();
  EXPECT_EQ(proxy.last_host(), "localhost");
}

TEST_F(ProxyTest, ReportOfAProxiedConnectNamesTheTargetAndHidesCredentials) {
  test::Peer peer(echo_pong);
  auto proxy = proxies->get("socks5-auth");
  ASSERT_TRUE(proxy);
  auto [mailbox, box] = test::collecting_mailbox();
  create_socket_thread("cid", "127.0.0.1", peer.port(), proxy, mailbox);
  auto report = agent::payload_as<ConnectingCompletePayload>(box->messages().at(0).payload);
  ASSERT_TRUE(report.success) << report.msg;
  EXPECT_EQ(report.ret->second, (Address{"127.0.0.1", peer.port()}));
  EXPECT_EQ(report.msg.find(test::PROXY_PASSWORD), std::string::npos) << report.msg;
  report.ret->first->close();
}

}  // namespace
}  // namespace quillpost::comms
