// The comms services against the real local service on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "collector.h"
#include "proxies.h"
#include "quillpost/host/runtime/comms/service_discovery.h"
#include "quillpost/host/runtime/comms/url.h"
#include "quillpost/host/runtime/comms/wire.h"
#include "support/service_process.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace quillpost::comms {
namespace {

using namespace std::chrono_literals;
using testing::ServiceProcess;

const UrlContext kContext{"0.1.0", "community", "OFFICE-PC", "world-1", "instance-1"};

struct Pki {
  quillpost::testing::TempDir dir;
  quillpost::testing::TestPki files = quillpost::testing::make_test_pki(dir.path());
};

const Pki& pki() {
  static const Pki* p = new Pki();
  return *p;
}

agent::Message run_discovery(ServiceDiscoveryWorker engine, const std::string& base_url,
                             const HttpConfig& config = {}) {
  auto [mailbox, box] = test::collecting_mailbox();
  ParamMap params;
  params.set("region", "eu west");
  const std::string url = UrlFactory(base_url, kContext).url("discover", params);
  engine(url, request_headers(BuildInfo{"0.1.0", "community", false, "", {}, {}}), "cid", mailbox,
         config, "/tmp");
  auto messages = box->messages();
  EXPECT_EQ(messages.size(), 1u);
  return messages.at(0);
}

std::string fail_reason(const agent::Message& m) {
  EXPECT_EQ(m.event, SERVICE_DISCOVERY_FAIL);
  return m.event == SERVICE_DISCOVERY_FAIL
             ? agent::payload_as<ServiceDiscoveryFailPayload>(m.payload).second
             : std::string();
}

class ServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { proxies = new test::Proxies(); }
  static void TearDownTestSuite() {
    delete proxies;
    proxies = nullptr;
  }
  void TearDown() override { set_service_discovery_timeout(DISCOVERY_TIMEOUT); }
  static test::Proxies* proxies;
};
test::Proxies* ServiceTest::proxies = nullptr;

const std::vector<std::pair<const char*, ServiceDiscoveryWorker>> kEngines = {
    {"requests", &requests_service_discovery}, {"pycurl", &pycurl_service_discovery}};

TEST_F(ServiceTest, DiscoveryWithBothEnginesDirectAndThroughEachProxy) {
  ServiceProcess service({"--heartbeat-interval", "7", "--heartbeat-timeout", "21"});
  for (const auto& [name, engine] : kEngines) {
    for (const std::string label : {"", "http", "http-auth", "socks5-auth", "socks4"}) {
      HttpConfig config;
      if (!label.empty()) config.proxy = proxies->get(label);
      auto m = run_discovery(engine, service.base_url(), config);
      ASSERT_EQ(m.event, SERVICE_DISCOVERY_OK) << name << " " << label << ": " << fail_reason(m);
      auto answer = agent::payload_as<ServiceDiscoveryPayload>(m.payload);
      EXPECT_EQ(answer.address, "127.0.0.1");
      EXPECT_EQ(answer.port, service.socket_port());
      EXPECT_EQ(answer.connection_id, "cid");
      EXPECT_EQ(answer.heartbeat, (Heartbeat{7.0, 21.0}));
      EXPECT_FALSE(answer.tls);
    }
  }
  // The service saw our parameters, the extra one included.
  const auto query = service.state().dump();
  EXPECT_NE(query.find("eu west"), std::string::npos) << query;
}

TEST_F(ServiceTest, DiscoveryFaultsBecomeFailuresWithReasons) {
  ServiceProcess service;
  for (const auto& [name, engine] : kEngines) {
    // A loaded machine may take longer than the hang's short bound to answer.
    for (const auto& [fault, reason, timeout] : {std::tuple{"500", "HTTP 500", 30.0},
                                                 {"malformed", "malformed answer", 30.0},
                                                 {"hang", "timed out", 0.5}}) {
      set_service_discovery_timeout(timeout);
      service.set_fault("discovery", fault);
      const std::string why = fail_reason(run_discovery(engine, service.base_url()));
      EXPECT_NE(why.find(reason), std::string::npos) << name << " " << fault << ": " << why;
    }
    service.set_fault("discovery", "ok");
  }
  set_service_discovery_timeout(0.5);
  const int http_port = service.http_port();
  service.stop();
  for (const auto& [name, engine] : kEngines) {
    EXPECT_FALSE(
        fail_reason(run_discovery(engine, "http://127.0.0.1:" + std::to_string(http_port))).empty())
        << name;
  }
}

TEST_F(ServiceTest, HttpsDiscoveryVerifiesTheCertificate) {
  ServiceProcess good(ServiceProcess::tls_args(pki().files));
  ServiceProcess wrong(ServiceProcess::tls_args(pki().files, /*wrong_host=*/true));
  for (const auto& [name, engine] : kEngines) {
    HttpConfig verified;
    verified.cacert_file = pki().files.ca_cert.string();
    EXPECT_EQ(run_discovery(engine, good.https_base_url(), verified).event, SERVICE_DISCOVERY_OK)
        << name;
    EXPECT_FALSE(fail_reason(run_discovery(engine, wrong.https_base_url(), verified)).empty())
        << name;
    HttpConfig other_ca;
    other_ca.cacert_file = pki().files.other_ca_cert.string();
    EXPECT_FALSE(fail_reason(run_discovery(engine, good.https_base_url(), other_ca)).empty())
        << name;
    HttpConfig off;
    off.ssl_verify = false;
    EXPECT_EQ(run_discovery(engine, wrong.https_base_url(), off).event, SERVICE_DISCOVERY_OK)
        << name;
  }
}

// A connection to the service's socket with its listener running.
struct Session {
  Session(const ServiceProcess& service, const std::optional<Proxy>& proxy = std::nullopt,
          ConnectOptions options = {}, std::optional<double> timeout = std::nullopt) {
    auto [mb, box] = test::collecting_mailbox();
    mailbox = mb;
    inbox = box;
    sock = open_socket("127.0.0.1", service.socket_port(), proxy, options);
    listener = std::thread(
        [this, timeout] { listen(sock, "cid", timeout, mailbox, noop_protocol_log_writer()); });
    writer_thread = std::thread(
        [this] { writer(sock, closed, queue, "cid", mailbox, noop_protocol_log_writer()); });
  }
  ~Session() {
    closed->set();
    queue->shutdown("test over");
    sock->close();
    listener.join();
    writer_thread.join();
  }
  std::vector<std::string> events() const {
    std::vector<std::string> out;
    for (const auto& m : inbox->messages()) {
      out.push_back(m.event == SERVER_MESSAGE ? agent::payload_as<ServerMessage>(m.payload).event
                                              : std::string(m.event));
    }
    return out;
  }
  SocketErrorPayload last_error() const {
    return agent::payload_as<SocketErrorPayload>(inbox->messages().back().payload);
  }

  agent::Mailbox mailbox;
  std::shared_ptr<test::Collector> inbox;
  std::shared_ptr<Socket> sock;
  std::shared_ptr<ServerSendQueue> queue = make_server_send_queue();
  std::shared_ptr<Event> closed = std::make_shared<Event>();
  std::thread listener;
  std::thread writer_thread;
};

TEST_F(ServiceTest, ConversationDirectAndThroughEachProxy) {
  ServiceProcess service;
  for (const std::string label :
       {"", "http", "http-auth", "socks5", "socks5-auth", "socks5-dante", "socks4", "socks4a"}) {
    std::optional<Proxy> proxy;
    if (!label.empty()) proxy = proxies->get(label);
    Session s(service, proxy);
    ASSERT_TRUE(s.inbox->wait_for(1)) << label;
    // The service opens; our heartbeat's answer is consumed by the listener.
    s.queue->add({std::string(HEARTBEAT), nlohmann::json::array()});
    // Once the service took the heartbeat, its answer is on the wire before
    // the pushes (the closed connections of earlier rounds may still show).
    ASSERT_TRUE(service.wait_for_state(
        [](const nlohmann::json& state) {
          const auto& connections = state["connections"];
          return !connections.empty() &&
                 std::all_of(connections.begin(), connections.end(),
                             [](const nlohmann::json& c) { return c["heartbeats"] == 1; });
        },
        30s))
        << label;
    service.push(
        nlohmann::json{{"event", "job"}, {"payload", {{"n", 1}}}, {"to", "all"}, {"count", 2}});
    ASSERT_TRUE(s.inbox->wait_for(3)) << label;
    EXPECT_EQ(s.events(), (std::vector<std::string>{"authentication", "job", "job"})) << label;
  }
}

TEST_F(ServiceTest, ServerFaultsEndTheListenerWithTheirReason) {
  {
    ServiceProcess service({"--fault", "auth=oversized"});
    Session s(service);
    ASSERT_TRUE(s.inbox->wait_for(1));
    s.queue->add({"authenticate", {{"clientKey", "demo-client-key"}}});
    ASSERT_TRUE(s.inbox->wait_for(2));
    EXPECT_EQ(s.events().back(), SOCKET_ERROR);
    EXPECT_NE(s.last_error().reason.find("longer than"), std::string::npos);
  }
  {
    ServiceProcess service({"--fault", "socket=silent"});
    Session s(service, std::nullopt, {}, 0.3);
    ASSERT_TRUE(s.inbox->wait_for(1));
    EXPECT_EQ(s.last_error().reason, "no data within 0.3s");
  }
  {
    ServiceProcess service;
    Session s(service);
    ASSERT_TRUE(s.inbox->wait_for(1));
    service.drop_connections();
    ASSERT_TRUE(s.inbox->wait_for(2));
    EXPECT_EQ(s.last_error().source, "listener");
    EXPECT_NE(s.last_error().reason.find("closed by the server"), std::string::npos);
  }
}

TEST_F(ServiceTest, TlsSocketVerifiedAndRefused) {
  auto args = ServiceProcess::tls_args(pki().files);
  args.push_back("--socket-tls");
  ServiceProcess good(args);
  auto wrong_args = ServiceProcess::tls_args(pki().files, /*wrong_host=*/true);
  wrong_args.push_back("--socket-tls");
  ServiceProcess wrong(wrong_args);
  ConnectOptions verified{5.0, TlsSettings{true, true, pki().files.ca_cert.string(), ""}};
  {
    Session s(good, std::nullopt, verified);
    ASSERT_TRUE(s.inbox->wait_for(1));
    EXPECT_EQ(s.events().front(), "authentication");
  }
  {
    // TLS through a proxy, too.
    Session s(good, proxies->get("socks5-auth"), verified);
    ASSERT_TRUE(s.inbox->wait_for(1));
    EXPECT_EQ(s.events().front(), "authentication");
  }
  try {
    open_socket("127.0.0.1", wrong.socket_port(), std::nullopt, verified);
    ADD_FAILURE() << "wrong host accepted";
  } catch (const SocketFailure& e) {
    EXPECT_NE(std::string(e.what()).find("certificate verify failed"), std::string::npos)
        << e.what();
  }
  ConnectOptions unverified{5.0, TlsSettings{true, false, std::nullopt, ""}};
  Session s(wrong, std::nullopt, unverified);
  ASSERT_TRUE(s.inbox->wait_for(1));
  EXPECT_EQ(s.events().front(), "authentication");
}

}  // namespace
}  // namespace quillpost::comms
