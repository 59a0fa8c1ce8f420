// The "pycurl" discovery engine: libcurl.
#include <curl/curl.h>
#include <strings.h>

#include <memory>

#include "quillpost/host/runtime/comms/curl_options.h"
#include "quillpost/host/runtime/comms/service_discovery.h"

namespace quillpost::comms {

namespace {

constexpr std::size_t BODY_LIMIT = 1024 * 1024;

struct Body {
  std::string text;
  bool too_long = false;
};

std::size_t on_data(char* data, std::size_t size, std::size_t count, void* user) {
  auto* body = static_cast<Body*>(user);
  const std::size_t n = size * count;
  if (body->text.size() + n > BODY_LIMIT) {
    body->too_long = true;
    return 0;  // makes libcurl stop with a write error
  }
  body->text.append(data, n);
  return n;
}

std::string fetch(const std::string& url, const RequestHeaders& headers,
                  const HttpConfig& http_config) {
  curl_global_init_once();
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) throw std::runtime_error("libcurl could not start a request");
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> list(nullptr, curl_slist_free_all);
  bool accept = false;
  for (const auto& [name, value] : headers) {
    if (name.find_first_of("\r\n") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos) {
      throw std::runtime_error("request header '" + name + "' holds a line break");
    }
    const std::string line = name + ": " + value;
    if (curl_slist* grown = curl_slist_append(list.get(), line.c_str())) {
      list.release();
      list.reset(grown);
    }
    if (name.size() == 6 && strncasecmp(name.c_str(), "accept", 6) == 0) accept = true;
  }
  if (!accept) {
    if (curl_slist* grown = curl_slist_append(list.get(), "Accept: application/json")) {
      list.release();
      list.reset(grown);
    }
  }
  Body body;
  char error[CURL_ERROR_SIZE] = {0};
  const long timeout_ms = static_cast<long>(service_discovery_timeout() * 1000);
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_data);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeout_ms);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  set_curl_connection_options(c, http_config);

  const CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    if (body.too_long) throw std::runtime_error("answer longer than 1 MiB");
    const std::string why = curl_failure_text(rc, error, http_config);
    throw std::runtime_error(why);
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) throw std::runtime_error("HTTP " + std::to_string(status));
  return body.text;
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
