// Splitting http and https URLs: the service's base URL as the configuration
// gives it, and the URLs the connection requests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillpost::comms {

struct HttpUrl {
  bool https = false;
  std::string host;         // without brackets
  std::int64_t port = 0;    // the scheme's default when the URL names none
  std::string host_header;  // as the Host header carries it
  std::string target;       // path and query, "/" at least
};

// Throws std::invalid_argument naming the problem.
HttpUrl split_http_url(std::string_view url);

// What is wrong with `url` as the service's base URL, for a message ("it must
// begin with http:// or https://"); nullopt when it is usable: http or https,
// a host, an optional port and path, and no user name, query, fragment,
// blank or control character.
std::optional<std::string> service_url_problem(std::string_view url);

}  // namespace quillpost::comms
