// Splitting http and https URLs (internal to comms).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "quillpost/host/config/records.h"

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

class Socket;

// A connection to the URL's server for one HTTP request: through the
// configured proxy, with TLS (the configured verification and CA file, the
// URL's host checked) for https. Blocks at most `timeout` seconds. Throws
// SocketFailure naming the step that failed.
std::shared_ptr<Socket> open_http_socket(const HttpUrl& url, const HttpConfig& http_config,
                                         double timeout);

}  // namespace quillpost::comms
