// Which Host headers the web interface answers.
//
// A page of another site can point its own name at this machine (DNS
// rebinding) and then read the status or post a shutdown as if it were the
// same site. The browser still sends that foreign name as the Host header, so
// only requests that name this machine are served.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillpost::web {

// The host part of a Host header: without the port (digits, when present) and
// without the brackets of an IPv6 address, in lower case, without a final
// dot. Nullopt when the header is malformed.
std::optional<std::string> host_of(std::string_view header);

// True when `header` names the loopback interface: "localhost", an address
// 127.x.y.z or [::1], with or without a port.
bool is_loopback_host(std::string_view header);

// True when `header` names this machine: loopback as above, its host name
// (whole, its first label, or that label with ".local"), the name or address
// it was told to listen on (`listen`), or an address of one of its network
// interfaces; with or without a port.
bool is_own_host(std::string_view header, std::string_view listen);

}  // namespace quillpost::web
