// The HTTP credentials check against a stub service on loopback.
#include "quillpost/host/credentials.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "quillpost/host/logs.h"

namespace quillpost {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// Answers every request with one canned response and keeps the last request.
class StubService {
 public:
  explicit StubService(std::string response) : response_(std::move(response)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~StubService() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/api/login"; }
  std::string request() {
    std::lock_guard lock(mutex_);
    return request_;
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::string data;
      char buffer[4096];
      // Read the head, then the body its Content-Length announces (2 s at most).
      for (int waited = 0; waited < 40; ++waited) {
        pollfd c{client, POLLIN, 0};
        if (::poll(&c, 1, 50) <= 0) continue;
        const auto n = ::read(client, buffer, sizeof buffer);
        if (n <= 0) break;
        data.append(buffer, static_cast<std::size_t>(n));
        const auto head_end = data.find("\r\n\r\n");
        if (head_end == std::string::npos) continue;
        const auto length_at = data.find("Content-Length: ");
        const std::size_t length =
            length_at == std::string::npos ? 0 : std::stoul(data.substr(length_at + 16));
        if (data.size() >= head_end + 4 + length) break;
      }
      {
        std::lock_guard lock(mutex_);
        request_ = data;
      }
      [[maybe_unused]] const auto n = ::write(client, response_.data(), response_.size());
      ::close(client);
    }
  }

  std::string response_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::string request_;
};

std::string http_response(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

LoginSettings settings_for(const std::string& url) {
  return LoginSettings{url, std::chrono::milliseconds(2000), std::chrono::milliseconds(5000)};
}

TEST(HttpCredentialsChecker, AcceptedCredentialsGiveTheServicesAccount) {
  StubService service(
      http_response(200, R"({"email": "a@example.com", "client_key": "ck-1", "computer_id": 9})"));
  logs::Capture capture;
  // A proxy in the environment must not be used behind the configuration's back.
  ::setenv("http_proxy", "http://127.0.0.1:1", 1);
  const Account account = make_http_credentials_checker(settings_for(service.url()))
                              ->run(Credentials{"a@example.com", "pass-word"}, HttpConfig{});
  ::unsetenv("http_proxy");
  EXPECT_EQ(account, (Account{"a@example.com", "ck-1", 9}));
  const std::string request = service.request();
  EXPECT_THAT(request, HasSubstr("POST /api/login"));
  EXPECT_THAT(request, HasSubstr(R"("email":"a@example.com")"));
  EXPECT_THAT(request, HasSubstr(R"("password":"pass-word")"));
  for (const auto& record : capture.records())
    EXPECT_THAT(record.text, Not(HasSubstr("pass-word")));
}

TEST(HttpCredentialsChecker, ARefusalCarriesTheServicesReason) {
  StubService service(http_response(401, R"({"error": "Wrong e-mail or password"})"));
  try {
    make_http_credentials_checker(settings_for(service.url()))
        ->run(Credentials{"a@example.com", "bad"}, HttpConfig{});
    FAIL();
  } catch (const ProgressFailed& e) {
    EXPECT_EQ(e.gui_msg(), "Wrong e-mail or password");
  }
  StubService bare(http_response(403, "not json"));
  try {
    make_http_credentials_checker(settings_for(bare.url()))
        ->run(Credentials{"a@example.com", "bad"}, HttpConfig{});
    FAIL();
  } catch (const ProgressFailed& e) {
    EXPECT_EQ(e.gui_msg(), "Login refused (HTTP 403)");
  }
}

TEST(HttpCredentialsChecker, NetworkFailuresAndNonsenseAreProgressFailed) {
  std::string closed_url;
  {
    StubService gone(http_response(200, "{}"));
    closed_url = gone.url();
  }
  try {
    make_http_credentials_checker(settings_for(closed_url))
        ->run(Credentials{"a", "b"}, HttpConfig{});
    FAIL();
  } catch (const ProgressFailed& e) {
    EXPECT_THAT(e.gui_msg(), HasSubstr("Could not reach the service"));
  }
  StubService no_key(http_response(200, R"({"email": "a@example.com"})"));
  EXPECT_THROW(make_http_credentials_checker(settings_for(no_key.url()))
                   ->run(Credentials{"a", "b"}, HttpConfig{}),
               ProgressFailed);
}

TEST(ServiceBaseUrl, TheEnvironmentNamesALocalService) {
  ::setenv("QUILLPOST_SERVICE_URL", "http://127.0.0.1:8080/", 1);
  EXPECT_EQ(service_base_url(), "http://127.0.0.1:8080");
  ::unsetenv("QUILLPOST_SERVICE_URL");
  EXPECT_THAT(service_base_url(), HasSubstr("https://"));
}

}  // namespace
}  // namespace quillpost
