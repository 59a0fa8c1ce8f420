#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>

#include "collector.h"
#include "peer.h"
#include "proxies.h"
#include "quillpost/host/runtime/comms/service_discovery.h"

namespace quillpost::comms {
namespace {

using namespace std::chrono_literals;
using test::Conn;

const std::string kAnswer =
    R"({"address":"127.0.0.1","port":4100,"remote_address":"10.1.2.3","version":"3",)"
    R"("heartbeat":{"interval":20,"timeout":45.5},"tls":true})";

std::string http_response(int status, const std::string& reason, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// A discovery service that answers every request with `response` and keeps
// the last request head.
class FakeService {
 public:
  explicit FakeService(std::string response, bool tls = false)
      : response_(std::move(response)),
        peer_(
            [this](Conn& conn) {
              const std::string head = conn.read_head();
              {
                std::lock_guard lock(mutex_);
                head_ = head;
              }
              if (response_ == "silence") {
                conn.read_line();
                return;
              }
              conn.write(response_);
            },
            tls) {}
  int port() const { return peer_.port(); }
  std::string head() const {
    std::lock_guard lock(mutex_);
    return head_;
  }

 private:
  std::string response_;
  mutable std::mutex mutex_;
  std::string head_;
  test::Peer peer_;
};

struct Engine {
  const char* name;
  ServiceDiscoveryWorker run;
};

class Discovery : public ::testing::TestWithParam<Engine> {
 protected:
  static void SetUpTestSuite() { proxies = new test::Proxies(); }
  static void TearDownTestSuite() {
    delete proxies;
    proxies = nullptr;
  }
  void TearDown() override { set_service_discovery_timeout(DISCOVERY_TIMEOUT); }

  // Runs the engine once and returns its single message.
  agent::Message discover(const std::string& url, const HttpConfig& config = {}) {
    auto [mailbox, box] = test::collecting_mailbox();
    GetParam().run(url, {{"User-Agent", "QuillPost/test (community)"}}, "cid-1", mailbox, config,
                   "/tmp");
    auto messages = box->messages();
    EXPECT_EQ(messages.size(), 1u);
    return messages.at(0);
  }
  std::string failure(const std::string& url, const HttpConfig& config = {}) {
    auto m = discover(url, config);
    EXPECT_EQ(m.event, SERVICE_DISCOVERY_FAIL);
    auto fail = agent::payload_as<ServiceDiscoveryFailPayload>(m.payload);
    EXPECT_EQ(fail.first, "cid-1");
    return fail.second;
  }
  static test::Proxies* proxies;
};
test::Proxies* Discovery::proxies = nullptr;

std::string url_for(int port, const std::string& scheme = "http") {
  return scheme + "://127.0.0.1:" + std::to_string(port) + "/discover?version=1&x=a%20b";
}

TEST_P(Discovery, OkAnswerBecomesThePayload) {
  FakeService service(http_response(200, "OK", kAnswer));
  auto m = discover(url_for(service.port()));
  ASSERT_EQ(m.event, SERVICE_DISCOVERY_OK);
  auto answer = agent::payload_as<ServiceDiscoveryPayload>(m.payload);
  EXPECT_EQ(answer, (ServiceDiscoveryPayload{"127.0.0.1", 4100, "10.1.2.3", "cid-1", "3",
                                             Heartbeat{20.0, 45.5}, true}));
  const std::string head = service.head();
  EXPECT_EQ(head.rfind("GET /discover?version=1&x=a%20b HTTP/1.1\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("User-Agent: QuillPost/test (community)\r\n"), std::string::npos) << head;
}

TEST_P(Discovery, FailuresCarryTheirReason) {
  FakeService error(http_response(500, "Internal Server Error", "{}"));
  FakeService malformed(http_response(200, "OK", "{\"address\": "));
  FakeService no_port(http_response(200, "OK", R"({"address":"a"})"));
  FakeService garbage("this is not HTTP\r\n\r\n");
  FakeService closes("");  // the connection ends before a byte of the answer
  EXPECT_NE(failure(url_for(error.port())).find("HTTP 500"), std::string::npos);
  EXPECT_NE(failure(url_for(malformed.port())).find("malformed answer: not JSON"),
            std::string::npos);
  EXPECT_NE(failure(url_for(no_port.port())).find("port"), std::string::npos);
  EXPECT_NE(failure(url_for(garbage.port())).find("service discovery failed"), std::string::npos);
  EXPECT_NE(failure(url_for(closes.port())).find("service discovery failed: "), std::string::npos);
  EXPECT_NE(failure(url_for(test::free_port())).find("service discovery failed: "),
            std::string::npos);
}

TEST_P(Discovery, ASilentServiceTimesOut) {
  FakeService silent("silence");
  set_service_discovery_timeout(0.3);
  const auto start = std::chrono::steady_clock::now();
  const std::string reason = failure(url_for(silent.port()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_NE(reason.find("timed out"), std::string::npos) << reason;
}

// An answer announcing 100 MiB is refused by its announced length, or at the
// 1 MiB limit at the latest, and the rest is never read: the client neither
// holds nor waits for it.
TEST_P(Discovery, AnAnswerOverTheLimitIsRefusedUnread) {
  constexpr std::size_t kAnnounced = 100 * 1024 * 1024;
  std::atomic<std::size_t> sent{0};
  std::string reason;
  std::chrono::steady_clock::duration took{};
  {
    test::Peer service([&](Conn& conn) {
      conn.read_head();
      conn.write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                 std::to_string(kAnnounced) + "\r\nConnection: close\r\n\r\n");
      const std::string chunk(64 * 1024, ' ');
      while (sent < kAnnounced) {
        const auto n = ::send(conn.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
        if (n <= 0) break;  // the client closed the connection
        sent += static_cast<std::size_t>(n);
      }
    });
    const auto start = std::chrono::steady_clock::now();
    reason = failure(url_for(service.port()));
    took = std::chrono::steady_clock::now() - start;
  }  // the peer's writer has ended
  EXPECT_NE(reason.find("answer longer than 1 MiB"), std::string::npos) << reason;
  EXPECT_LT(took, 2s);
  EXPECT_LT(sent.load(), kAnnounced / 4) << "bytes the service could write";
}

TEST_P(Discovery, HttpsVerifiesUnlessSwitchedOff) {
  FakeService service(http_response(200, "OK", kAnswer), /*tls=*/true);
  HttpConfig verified;
  verified.cacert_file = test::TestCerts::get().ca_cert.string();
  EXPECT_EQ(discover(url_for(service.port(), "https"), verified).event, SERVICE_DISCOVERY_OK);
  HttpConfig unknown_ca;  // the system store does not know our test CA
  EXPECT_FALSE(failure(url_for(service.port(), "https"), unknown_ca).empty());
  HttpConfig off;
  off.ssl_verify = false;
  EXPECT_EQ(discover(url_for(service.port(), "https"), off).event, SERVICE_DISCOVERY_OK);
}

TEST_P(Discovery, WorksThroughEachProxyKind) {
  FakeService service(http_response(200, "OK", kAnswer));
  for (const std::string label : {"http", "http-auth", "socks5", "socks5-auth", "socks4"}) {
    HttpConfig config;
    config.proxy = proxies->get(label);
    ASSERT_TRUE(config.proxy) << label;
    auto m = discover(url_for(service.port()), config);
    EXPECT_EQ(m.event, SERVICE_DISCOVERY_OK)
        << label << ": "
        << (m.event == SERVICE_DISCOVERY_FAIL
                ? agent::payload_as<ServiceDiscoveryFailPayload>(m.payload).second
                : "");
  }
  HttpConfig refused;
  refused.proxy = proxies->get("http-auth");
  refused.proxy->auth.reset();
  EXPECT_NE(failure(url_for(service.port()), refused).find("407"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Engines, Discovery,
                         ::testing::Values(Engine{"requests", &requests_service_discovery},
                                           Engine{"pycurl", &pycurl_service_discovery}),
                         [](const auto& engine) { return std::string(engine.param.name); });

}  // namespace
}  // namespace quillpost::comms
