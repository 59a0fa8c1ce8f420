#include "quillpost/host/process/notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <string>

#include "quillpost/host/base/text.h"

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

std::string status_assignment(std::string_view text) {
  std::string line = escape_control(text);
  if (line.size() > kMaxStatusBytes) {
    std::size_t end = kMaxStatusBytes;
    // Back to the first byte of a character: the manager refuses a status
    // that is not UTF-8.
    while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;
    line.resize(end);
  }
  return "STATUS=" + line;
}

bool notify_status(const Getenv& getenv, std::string_view text) {
  return notify_service_manager(getenv, status_assignment(text));
}

bool notify_stopping(const Getenv& getenv, std::string_view reason) {
  return notify_service_manager(getenv, "STOPPING=1\n" + status_assignment(reason));
}

std::optional<std::chrono::microseconds> watchdog_interval(const Getenv& getenv, pid_t pid) {
  const auto number = [](const std::optional<std::string>& text) -> std::optional<long long> {
    if (!text) return std::nullopt;
    long long value = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return value;
  };
  const auto usec = number(read_env(getenv, "WATCHDOG_USEC"));
  if (!usec || *usec <= 1) return std::nullopt;
  if (const auto owner = read_env(getenv, "WATCHDOG_PID"); owner && !owner->empty()) {
    if (number(owner) != static_cast<long long>(pid)) return std::nullopt;
  }
  return std::chrono::microseconds(*usec / 2);
}

bool notify_watchdog(const Getenv& getenv) {
  return notify_service_manager(getenv, "WATCHDOG=1");
}

}  // namespace quillpost
