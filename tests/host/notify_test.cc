// Readiness notification against a unix datagram socket the test binds.
#include "quillpost/host/process/notify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "support/temp_dir.h"

namespace quillpost {
namespace {

// A bound datagram socket; `name` is what $NOTIFY_SOCKET holds for it.
class Listener {
 public:
  // `path` starting with '@' binds an abstract address.
  explicit Listener(const std::string& path) : name_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    const bool abstract = path[0] == '@';
    if (abstract) address.sun_path[0] = '\0';
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 0 : 1));
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
  }
  ~Listener() { ::close(fd_); }
  bool bound() const { return bound_; }
  const std::string& name() const { return name_; }

  // One datagram, or "" when none arrives within a second.
  std::string receive() const {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 1000) != 1) return {};
    char buffer[256];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool bound_ = false;
};

// An environment that holds NOTIFY_SOCKET=`value` and nothing else.
Getenv notify_socket(const std::string& value) {
  return [value](const std::string& name) -> std::optional<std::string> {
    if (name == "NOTIFY_SOCKET") return value;
    return std::nullopt;
  };
}

TEST(NotifyReady, SendsReadyToASocketPath) {
  testing::TempDir dir;
  Listener listener((dir / "notify").string());
  ASSERT_TRUE(listener.bound());
  EXPECT_TRUE(notify_ready(notify_socket(listener.name())));
  EXPECT_EQ(listener.receive(), "READY=1");
}

TEST(NotifyReady, SendsReadyToAnAbstractSocket) {
  Listener listener("@quillpost-notify-test-" + std::to_string(::getpid()));
  ASSERT_TRUE(listener.bound());
  EXPECT_TRUE(notify_service_manager(notify_socket(listener.name()), "STATUS=starting\nREADY=1"));
  EXPECT_EQ(listener.receive(), "STATUS=starting\nREADY=1");
}

TEST(NotifyReady, FalseWithoutAUsableSocket) {
  testing::TempDir dir;
  EXPECT_FALSE(notify_ready(Getenv{}));
  for (const std::string& value :
       {std::string(), std::string("@"), std::string("relative/notify"),
        "/" + std::string(200, 'x'),  // longer than a socket address holds
        (dir / "nobody-listens").string()}) {
    EXPECT_FALSE(notify_ready(notify_socket(value))) << value;
  }
}

}  // namespace
}  // namespace quillpost
