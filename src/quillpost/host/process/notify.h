// Readiness for the service manager: the notification protocol over the unix
// datagram socket named by $NOTIFY_SOCKET, written here without any library.
#pragma once

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

}  // namespace quillpost
