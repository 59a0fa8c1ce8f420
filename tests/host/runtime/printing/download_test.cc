// Documents fetched by both HTTP engines from a real loopback server: the
// bytes, TLS and proxies as configured, and every way a download goes wrong.
#include "quillpost/host/runtime/printing/download.h"

#include <gtest/gtest.h>

#include <thread>

#include "document_server.h"
#include "host/runtime/comms/proxies.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace quillpost::printing {
namespace {

using namespace std::chrono_literals;
using test::DocumentServer;
using test::Serve;
using Kind = DownloadResult::Kind;

class DownloadTest : public ::testing::TestWithParam<std::string> {
 protected:
  HttpConfig config() const {
    HttpConfig c;
    c.engine = GetParam();
    c.max_http_redirects = 2;
    return c;
  }
  DownloadResult fetch(const DocumentServer& server, const std::string& name,
                       const std::string& expected, HttpConfig c, CancelToken* cancel = nullptr) {
    CancelToken own;
    DownloadRequest request{server.url(name), dir_ / "doc", expected.size(),
                            test::sha256_hex(expected)};
    DownloadTimeouts timeouts;
    timeouts.stall = std::chrono::seconds(1);
    return download_document(request, c, cancel ? *cancel : own, timeouts);
  }
  std::string saved() const { return testing::read_file(dir_ / "doc"); }

  testing::TempDir dir_;
};

std::string bytes_of(std::size_t n) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131 + i / 7) % 256);
  return out;
}

TEST_P(DownloadTest, TheDocumentArrivesWholeDirectlyOverTlsAndThroughProxies) {
  const std::string doc = bytes_of(700 * 1024 + 3);
  DocumentServer plain;
  plain.add("d", doc);
  ASSERT_EQ(fetch(plain, "d", doc, config()).kind, Kind::ok);
  EXPECT_EQ(saved(), doc);

  DocumentServer tls(true);
  tls.add("d", doc);
  HttpConfig verified = config();
  verified.cacert_file = comms::test::TestCerts::get().ca_cert.string();
  ASSERT_EQ(fetch(tls, "d", doc, verified).kind, Kind::ok);
  EXPECT_EQ(saved(), doc);
  // Without the CA the server is not trusted, and nothing is kept of it.
  const auto untrusted = fetch(tls, "d", doc, config());
  EXPECT_EQ(untrusted.kind, Kind::transient);
  EXPECT_EQ(untrusted.reason.find("secret-token"), std::string::npos) << untrusted.reason;

  static const comms::test::Proxies proxies;
  for (const char* label : {"http-auth", "socks5"}) {
    const auto proxy = proxies.get(label);
    if (!proxy) continue;
    HttpConfig through = config();
    through.proxy = proxy;
    const auto result = fetch(plain, "d", doc, through);
    ASSERT_EQ(result.kind, Kind::ok) << label << ": " << result.reason;
    EXPECT_EQ(saved(), doc);
  }
}

TEST_P(DownloadTest, EachFaultEndsWithItsKindAndAReasonWithoutTheToken) {
  const std::string doc = bytes_of(64 * 1024);
  struct Case {
    Serve serve;
    Kind kind;
    const char* reason;
    std::chrono::seconds retry_after{0};
  };
  const std::vector<Case> cases = {
      {Serve::not_found, Kind::failed, "HTTP 404"},
      {Serve::server_error, Kind::transient, "HTTP 500"},
      {Serve::busy, Kind::transient, "HTTP 503", std::chrono::seconds(7)},
      {Serve::redirect_loop, Kind::failed, "redirects"},
      {Serve::redirect_once, Kind::ok, ""},
      {Serve::corrupt, Kind::failed, "SHA-256"},
      {Serve::longer, Kind::failed, "offer said"},
      {Serve::truncated, Kind::transient, "cut short"},
      {Serve::closed, Kind::transient, ""},
      {Serve::hang, Kind::transient, "stopped sending"},
  };
  DocumentServer server;
  for (const auto& c : cases) {
    const std::string name = "d" + std::to_string(static_cast<int>(c.serve));
    server.add(name, doc, c.serve);
    const auto result = fetch(server, name, doc, config());
    EXPECT_EQ(result.kind, c.kind) << name << ": " << result.reason;
    EXPECT_EQ(result.retry_after, c.retry_after) << name;
    EXPECT_NE(result.reason.find(c.reason), std::string::npos) << result.reason;
    EXPECT_EQ(result.reason.find("secret-token"), std::string::npos) << result.reason;
  }
  // A redirect from TLS to plain HTTP is not followed.
  DocumentServer tls(true);
  tls.add("d", doc, Serve::to_http);
  HttpConfig verified = config();
  verified.cacert_file = comms::test::TestCerts::get().ca_cert.string();
  EXPECT_EQ(fetch(tls, "d", doc, verified).kind, Kind::failed);
}

TEST_P(DownloadTest, ACancelStopsADownloadUnderWay) {
  const std::string doc = bytes_of(40 * 1024);
  DocumentServer server;
  server.add("d", doc, Serve::slow);
  CancelToken cancel;
  std::thread canceller([&] {
    std::this_thread::sleep_for(300ms);
    cancel.cancel();
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(fetch(server, "d", doc, config(), &cancel).kind, Kind::cancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  canceller.join();
}

INSTANTIATE_TEST_SUITE_P(Engines, DownloadTest, ::testing::Values("requests", "pycurl"));

}  // namespace
}  // namespace quillpost::printing
