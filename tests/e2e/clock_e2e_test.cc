// The clock check end to end: the real `launch` against quillpost-service
// whose Date header (or a time server on loopback UDP) is hours off, and a
// TLS socket whose certificate is valid only from tomorrow.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "e2e/launch_process.h"
#include "support/service_process.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"

namespace quillpost {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using testing::LaunchProcess;
using ::testing::Not;
using testing::ServiceProcess;
using testing::TempDir;

constexpr double kThreeHours = 3 * 3600;

// A time server on 127.0.0.1 whose clock is `offset` seconds ahead of ours:
// it answers every client request as a stratum 2 server, echoing the
// request's transmit timestamp as the origin.
class SntpResponder {
 public:
  explicit SntpResponder(double offset) : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot bind the SNTP responder");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, offset] { serve(offset); });
  }
  ~SntpResponder() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }
  int requests() const { return requests_; }

 private:
  void serve(double offset) {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      std::array<unsigned char, 48> packet{};
      sockaddr_in from{};
      socklen_t len = sizeof from;
      if (recvfrom(fd_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&from),
                   &len) != 48) {
        continue;
      }
      ++requests_;
      std::array<unsigned char, 48> answer{};
      answer[0] = (4 << 3) | 4;  // no leap warning, version 4, server
      answer[1] = 2;
      std::copy(&packet[40], &packet[48], &answer[24]);
      const double now =
          std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
              .count() +
          offset + 2208988800.0;
      const auto seconds = static_cast<std::uint32_t>(now);
      for (int at : {32, 40}) {
        for (int i = 0; i < 4; ++i)
          answer[at + i] = static_cast<unsigned char>(seconds >> (24 - 8 * i));
      }
      sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }

  int fd_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

TEST(ClockCheck, WarnsOfAClockFarFromTheServiceOrATimeServerAndNamesItWhenTlsFails) {
  const TempDir pki_dir;
  const testing::TestPki pki = testing::make_test_pki(pki_dir.path());
  struct Row {
    const char* name;
    double time_server_offset;  // 0: no time server configured
    double service_offset;      // the service's Date, seconds ahead
    bool future_certificate;    // the socket speaks TLS with a certificate valid from tomorrow
    bool no_ntp_check;
    const char* expected;  // a line of the output; empty: no clock line at all
  };
  const Row rows[] = {
      {"time server 3 h ahead", kThreeHours, 0, false, false,
       "CLOCK_OFFSET: The computer's clock is 3 h 0 min behind the time server's."},
      {"service's Date 3 h ahead", 0, kThreeHours, false, false,
       "CLOCK_OFFSET: The computer's clock is 3 h 0 min behind the service's."},
      {"certificate from tomorrow", 0, kThreeHours, true, false,
       "certificate verify failed: certificate is not yet valid; the computer's clock is 3 h 0 "
       "min behind the service's."},
      {"--no-ntp-check", kThreeHours, kThreeHours, true, true, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> service_args{"--clock-offset", std::to_string(row.service_offset)};
    if (row.future_certificate) {
      service_args.insert(service_args.end(), {"--cert", pki.future_cert.string(), "--key",
                                               pki.future_key.string(), "--socket-tls"});
    }
    ServiceProcess service(service_args);
    std::optional<SntpResponder> time_server;
    TempDir dir;
    std::vector<std::string> args{"--headless",
                                  "--shutdown-on-sigint",
                                  "--email=demo@quillpost.test",
                                  "--password=demo",
                                  "--settings-dir=" + (dir / "settings").string(),
                                  "--settings-dir-create",
                                  "--cacert-file=" + pki.ca_cert.string()};
    if (row.time_server_offset != 0) {
      time_server.emplace(row.time_server_offset);
      const auto config = dir / "client.conf";
      std::ofstream(config) << "ntp_servers = \"127.0.0.1:" << time_server->port() << "\"\n";
      args.push_back("--config-file=" + config.string());
    }
    if (row.no_ntp_check) args.push_back("--no-ntp-check");
    LaunchProcess client(std::string(QP_BINARY_DIR) + "/bin/launch", args,
                         {"QUILLPOST_SERVICE_URL=" + service.base_url()});

    if (*row.expected != '\0') {
      ASSERT_TRUE(client.wait_for_line(row.expected, 1, 15s)) << client.output();
    } else {
      // The TLS failure happens either way; with the check off it names no clock.
      ASSERT_TRUE(client.wait_for_line("certificate is not yet valid", 1, 15s)) << client.output();
      EXPECT_EQ(time_server->requests(), 0);
    }
    client.signal(SIGINT);
    EXPECT_EQ(client.wait_exit(), 0) << client.output();
    const std::string out = client.output();
    EXPECT_EQ(client.count("CLOCK_OFFSET: "), *row.expected == '\0' ? 0U : 1U) << out;
    if (row.no_ntp_check) {
      EXPECT_THAT(out, Not(HasSubstr("clock is")));
    }
  }
}

}  // namespace
}  // namespace quillpost
