// The service manager's notification protocol over the unix datagram socket
// named by $NOTIFY_SOCKET, written here without any library: readiness, a
// status line, the way out and the watchdog's keep-alive.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "quillpost/host/process/environment.h"

namespace quillpost {

// Sends `state` (newline-separated "KEY=VALUE" assignments) as one datagram to
// $NOTIFY_SOCKET, as `getenv` reads it: a socket path, or an abstract socket when it starts with
// '@'. True when it was sent; false when the variable is unset or empty (not
// run by a service manager), not a usable address, or sending failed.
bool notify_service_manager(const Getenv& getenv, std::string_view state);

// Tells the service manager that the application has started ("READY=1").
// The launcher calls it once the application is up.
bool notify_ready(const Getenv& getenv);

// The longest status text sent, in bytes; a longer one is cut.
inline constexpr std::size_t kMaxStatusBytes = 256;

// "STATUS=" and `text` as one line, which `systemctl status` shows. Texts from
// outside (a server's reason) are in it: control characters are escaped, so
// that no line feed starts an assignment of its own, and it is cut to
// kMaxStatusBytes on a character boundary.
std::string status_assignment(std::string_view text);

// Tells what the application is doing ("STATUS=...").
bool notify_status(const Getenv& getenv, std::string_view text);

// Tells that the application is on its way out ("STOPPING=1"), with `reason`
// as its status.
bool notify_stopping(const Getenv& getenv, std::string_view reason);

// How often the watchdog wants "WATCHDOG=1": half of $WATCHDOG_USEC, when that
// is a positive number and $WATCHDOG_PID is unset or names `pid` (a child
// that inherited the variables must stay silent); nullopt otherwise.
std::optional<std::chrono::microseconds> watchdog_interval(const Getenv& getenv, pid_t pid);

// Tells the watchdog that the application is alive ("WATCHDOG=1").
bool notify_watchdog(const Getenv& getenv);

}  // namespace quillpost
