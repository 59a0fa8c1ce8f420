#include "quillpost/host/process/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace quillpost {

bool notify_service_manager(const Getenv& getenv, std::string_view state) {
  const std::optional<std::string> env = read_env(getenv, "NOTIFY_SOCKET");
  if (!env) return false;
  const std::string_view path(*env);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // Abstract addresses start with a NUL byte instead of '@' and are not
  // NUL-terminated; paths must be absolute and fit with their terminator.
  const bool abstract = !path.empty() && path.front() == '@';
  if (path.size() < 2 || (!abstract && path.front() != '/') ||
      path.size() + (abstract ? 0 : 1) > sizeof address.sun_path) {
    return false;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  if (abstract) address.sun_path[0] = '\0';
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 0 : 1));

  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t sent;
  do {
    sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), length);
  } while (sent < 0 && errno == EINTR);
  ::close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

bool notify_ready(const Getenv& getenv) {
  return notify_service_manager(getenv, "READY=1");
}

}  // namespace quillpost
