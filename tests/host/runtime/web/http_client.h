// A plain-socket HTTP/1.1 client for tests: sends one raw request to
// 127.0.0.1 and reads the answer until the server closes, all under a deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

namespace quillpost::web::testing {

struct HttpReply {
  int status = 0;                              // 0: no status line came back
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

inline HttpReply parse_reply(const std::string& raw) {
  HttpReply reply;
  const auto head_end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.", 0) != 0 || head_end == std::string::npos) return reply;
  reply.status = std::stoi(raw.substr(9, 3));
  std::size_t at = raw.find("\r\n") + 2;
  while (at < head_end) {
    const auto end = raw.find("\r\n", at);
    const std::string line = raw.substr(at, end - at);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    }
    at = end + 2;
  }
  reply.body = raw.substr(head_end + 4);
  return reply;
}

// Sends `request` as it is (send errors after the first byte are ignored: the
// server may answer and close before reading everything) and returns what
// came back before the server closed or `timeout` passed.
inline HttpReply send_raw(std::uint16_t port, const std::string& request,
                          std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    throw std::runtime_error("connect failed");
  }
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  std::string raw;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    raw.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return parse_reply(raw);
}

inline HttpReply request(std::uint16_t port, const std::string& method, const std::string& target,
                         const std::string& extra_headers = "", const std::string& body = "") {
  std::string text = method + " " + target +
                     " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                     "\r\nConnection: close\r\n" + extra_headers;
  if (!body.empty() || method == "POST")
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  text += "\r\n" + body;
  return send_raw(port, text);
}

}  // namespace quillpost::web::testing
