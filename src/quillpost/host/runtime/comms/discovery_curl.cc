// The "pycurl" discovery engine: a GET through the libcurl module.
#include <strings.h>

#include "quillpost/host/curl/transfer.h"
#include "quillpost/host/runtime/comms/service_discovery.h"

namespace quillpost::comms {

namespace {

constexpr std::size_t BODY_LIMIT = 1024 * 1024;

class Body : public curl::Receiver {
 public:
  bool write(std::string_view bytes) override {
    if (text.size() + bytes.size() > BODY_LIMIT) return false;
    text.append(bytes);
    return true;
  }
  std::string text;
};

std::string fetch(const std::string& url, const RequestHeaders& headers,
                  const HttpConfig& http_config) {
  curl::Get get{url, headers, &http_config};
  get.timeout = std::chrono::duration<double>(service_discovery_timeout());
  bool accept = false;
  for (const auto& header : headers) {
    if (header.first.size() == 6 && strncasecmp(header.first.c_str(), "accept", 6) == 0) {
      accept = true;
    }
  }
  if (!accept) get.headers.emplace_back("Accept", "application/json");

  Body body;
  const curl::Outcome outcome = curl::get(get, body);
  using Kind = curl::Outcome::Kind;
  if (outcome.kind == Kind::stopped) throw std::runtime_error("answer longer than 1 MiB");
  if (outcome.kind == Kind::http_error || (outcome.kind == Kind::ok && outcome.status != 200)) {
    throw std::runtime_error("HTTP " + std::to_string(outcome.status));
  }
  if (outcome.kind != Kind::ok) {
    throw std::runtime_error(curl::failure_text(outcome, http_config, true));
  }
  return std::move(body.text);
}

}  // namespace

void pycurl_service_discovery(const std::string& url, const RequestHeaders& headers,
                              const std::string& connection_id, const agent::Mailbox& mailbox,
                              const HttpConfig& http_config,
                              const std::filesystem::path& /*logs_dir*/) {
  report_service_discovery([&] { return fetch(url, headers, http_config); }, connection_id,
                           mailbox);
}

}  // namespace quillpost::comms
