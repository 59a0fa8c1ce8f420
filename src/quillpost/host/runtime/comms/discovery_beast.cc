// The "requests" discovery engine: one GET through the HTTP exchange of the
// connection's own sockets.
#include <strings.h>

#include "quillpost/host/runtime/comms/http_exchange.h"
#include "quillpost/host/runtime/comms/service_discovery.h"

namespace quillpost::comms {

namespace {

std::string fetch(const std::string& url, const RequestHeaders& headers,
                  const HttpConfig& http_config) {
  HttpRequest request;
  request.url = url;
  request.headers = headers;
  request.timeout = std::chrono::duration<double>(service_discovery_timeout());
  bool accept = false;
  for (const auto& header : headers) {
    if (header.first.size() == 6 && strncasecmp(header.first.c_str(), "accept", 6) == 0) {
      accept = true;
    }
  }
  if (!accept) request.headers.emplace_back("Accept", "application/json");
  HttpAnswer answer = http_exchange(request, http_config);
  if (answer.status != 200) {
    throw std::runtime_error("HTTP " + std::to_string(answer.status) + " " + answer.reason);
  }
  return std::move(answer.body);
}

}  // namespace

void requests_service_discovery(const std::string& url, const RequestHeaders& headers,
                                const std::string& connection_id, const agent::Mailbox& mailbox,
                                const HttpConfig& http_config,
                                const std::filesystem::path& /*logs_dir*/) {
  report_service_discovery([&] { return fetch(url, headers, http_config); }, connection_id,
                           mailbox);
}

}  // namespace quillpost::comms
