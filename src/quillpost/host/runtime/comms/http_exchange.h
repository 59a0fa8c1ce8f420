// One HTTP/1.1 request and its whole answer over the connection's own socket
// layer (so the proxy kinds and TLS checks are those of the connection): the
// "requests" engine's transport for service discovery and the login.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quillpost/host/config/records.h"

namespace quillpost::comms {

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, after Host
  std::string body;                                  // sent with Content-Length when not empty
  std::chrono::duration<double> connect_timeout{0};  // 0: the whole time-out
  std::chrono::duration<double> timeout{15};         // for the whole exchange
  std::uint64_t max_body = 1024 * 1024;              // the longest answer body taken
};

struct HttpAnswer {
  int status = 0;
  std::string reason;
  std::string body;
};

// Sends `request` (with "Connection: close") and reads the answer. Throws
// std::runtime_error with a reason for people: a header with a line break,
// the connection's failure, "timed out after Ns waiting for the answer",
// "answer longer than N MiB", a malformed or cut-short answer.
HttpAnswer http_exchange(const HttpRequest& request, const HttpConfig& http_config);

}  // namespace quillpost::comms
