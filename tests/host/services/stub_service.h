// A stand-in for the service on loopback: answers every HTTP request with
// one canned response and keeps the last request. Port chosen by the system.
// A held stub answers only once released: a test catches its client inside
// the request.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace quillpost::testing {

class StubService {
 public:
  explicit StubService(std::string response, bool held = false)
      : response_(std::move(response)), held_(held) {
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

  std::string base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string url() const { return base_url() + "/v1/login"; }
  // A held stub answers from now on.
  void release() { held_ = false; }
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
      while (held_ && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      [[maybe_unused]] const auto n = ::write(client, response_.data(), response_.size());
      ::close(client);
    }
  }

  std::string response_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> held_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::string request_;
};

inline std::string http_response(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace quillpost::testing
