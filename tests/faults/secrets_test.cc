// No secret reaches a log file, standard output or standard error: a run that
// logs in with an e-mail and password (and so learns a client key) through an
// HTTP proxy that asks for a user and password, with every debug line logged,
// through a reconnect and a failed proxy login.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "harness.h"
#include "quillpost/host/base/openssl.h"
#include "support/service_process.h"

namespace quillpost::faults {
namespace {

using testing::ServiceProcess;

constexpr const char* kEmail = "ann@example.test";
constexpr const char* kPassword = "Ann-Passw0rd-9f3e";
constexpr const char* kClientKey = "ann-client-key-77c1d0";
constexpr const char* kProxyUser = "proxyuser-5b2a";
constexpr const char* kProxyPassword = "Pr0xy-Secret-c41d";

// Every file under `dir` (log files, rotated ones included) with its text.
std::vector<std::pair<std::string, std::string>> files_under(const std::filesystem::path& dir) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) files.emplace_back(entry.path().string(), read_file(entry.path()));
  }
  return files;
}

TEST(Secrets, NoSecretInLogsOrOutput) {
  if (!ProxyDaemon::available("http")) GTEST_SKIP() << "tinyproxy is not installed";
  testing::TempDir accounts_dir;
  std::ofstream(accounts_dir / "accounts.json") << nlohmann::json{
      {"accounts",
       {{{"id", 7},
         {"email", kEmail},
         {"password", kPassword},
         {"clientKey", kClientKey},
         {"computers", nlohmann::json::object()}}}}}.dump();
  ServiceProcess service({"--accounts", (accounts_dir / "accounts.json").string()});
  ProxyDaemon proxy("http", kProxyUser, kProxyPassword);
  ASSERT_TRUE(proxy.started());
  Row row("secrets: password, client key, proxy user and password, all debug lines",
          "handshake through the proxy; none of them in logs, stdout or stderr");

  std::vector<std::string> args = proxy.launch_args();
  args.push_back(std::string("--email=") + kEmail);
  args.push_back(std::string("--password=") + kPassword);
  auto run = start_connected(service, args, 1);
  ASSERT_TRUE(run);
  EXPECT_NE(run->out().find("using http proxy"), std::string::npos);
  // A reconnect logs the proxy settings and the attempt once more.
  const int before = run->handshakes();
  ASSERT_EQ(service.drop_connections(), 1);
  ASSERT_TRUE(run->wait_handshake_after(before)) << run->out();
  run->process().signal(SIGINT);
  EXPECT_EQ(run->process().wait_exit(20s), 0);
  row.observe("handshaked through the proxy, reconnected, exit 0");

  // A second run whose proxy login fails, with the client key given directly.
  LaunchRun::Options refused;
  refused.service_url = service.base_url();
  refused.args = {"--proxy-http",
                  "--proxy-host=127.0.0.1",
                  "--proxy-port=" + std::to_string(proxy.port()),
                  std::string("--proxy-username=") + kProxyUser,
                  std::string("--proxy-password=") + kProxyPassword + "-wrong",
                  std::string("--client-key=") + kClientKey};
  LaunchRun second(refused);
  EXPECT_FALSE(second.wait_disconnect(1).empty()) << second.out();
  second.process().signal(SIGINT);
  EXPECT_EQ(second.process().wait_exit(20s), 0);

  const std::vector<std::string> secrets = {
      kPassword, kClientKey, kProxyPassword, base64(std::string(kProxyUser) + ":" + kProxyPassword),
      base64(std::string(kProxyUser) + ":" + kProxyPassword + "-wrong")};
  int scanned = 0;
  for (const LaunchRun* r : {run.get(), &second}) {
    auto texts = files_under(r->settings_dir() / "logs");
    EXPECT_FALSE(texts.empty());
    texts.emplace_back("stdout", r->out());
    texts.emplace_back("stderr", r->err());
    for (const auto& [name, text] : texts) {
      ++scanned;
      for (const auto& secret : secrets) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret << " found in " << name;
      }
    }
  }
  // The run did log about the proxy and the account: the scan looked at real lines.
  EXPECT_NE(run->log().find("proxy_settings"), std::string::npos);
  row.observe(std::to_string(scanned) + " files and streams scanned, " +
              (::testing::Test::HasFailure() ? "a secret found" : "no secret found"));
}

}  // namespace
}  // namespace quillpost::faults
