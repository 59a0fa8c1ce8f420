// Splitting http and https URLs (internal to comms).
#pragma once

#include <cstdint>
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

}  // namespace quillpost::comms
