// A service manager's end of the notification socket: a bound unix datagram
// socket whose name a program finds in $NOTIFY_SOCKET. Bound before the
// program starts, so that no early message is lost.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

namespace quillpost::testing {

class NotifyListener {
 public:
  // `name` is a socket path, or an abstract address when it starts with '@'.
  explicit NotifyListener(const std::string& name) : name_(name) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    const bool abstract = name[0] == '@';
    if (abstract) address.sun_path[0] = '\0';
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
  }
  ~NotifyListener() { ::close(fd_); }
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;

  bool bound() const { return bound_; }
  // What $NOTIFY_SOCKET holds for this socket.
  const std::string& name() const { return name_; }

  // The next datagram, or nullopt when none arrives within `timeout`.
  std::optional<std::string> receive(
      std::chrono::milliseconds timeout = std::chrono::seconds(1)) const {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool bound_ = false;
};

}  // namespace quillpost::testing
