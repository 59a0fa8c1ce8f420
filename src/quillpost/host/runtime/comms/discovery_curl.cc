// The "pycurl" discovery engine: libcurl.
#include <curl/curl.h>
#include <strings.h>

#include <memory>
#include <mutex>

#include "quillpost/host/runtime/comms/service_discovery.h"

namespace quillpost::comms {

namespace {

constexpr std::size_t BODY_LIMIT = 1024 * 1024;

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

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

std::string proxy_url(const Proxy& proxy) {
  // socks5h: the proxy resolves the host name, as the other engine does.
  std::string scheme = proxy.type;
  if (scheme == "socks5") scheme = "socks5h";
  std::string host = proxy.host;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return scheme + "://" + host + ":" + proxy.port;
}

std::string fetch(const std::string& url, const RequestHeaders& headers,
                  const HttpConfig& http_config) {
  global_init();
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
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_data);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeout_ms);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, http_config.ssl_verify ? 1L : 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, http_config.ssl_verify ? 2L : 0L);
  if (http_config.cacert_file)
    curl_easy_setopt(c, CURLOPT_CAINFO, http_config.cacert_file->c_str());
  std::string proxy;
  if (http_config.proxy) {
    const Proxy& p = *http_config.proxy;
    if (p.type != "http" && p.type != "socks4" && p.type != "socks4a" && p.type != "socks5") {
      throw std::runtime_error("unknown proxy type '" + p.type + "'");
    }
    proxy = proxy_url(p);
    if (p.auth) {
      curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, p.auth->first.c_str());
      curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, p.auth->second.c_str());
    }
    // Tunnel through an HTTP proxy for plain http too, like the other engine.
    curl_easy_setopt(c, CURLOPT_HTTPPROXYTUNNEL, 1L);
  }
  // An empty proxy also keeps libcurl from taking one from the environment.
  curl_easy_setopt(c, CURLOPT_PROXY, proxy.c_str());

  const CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    if (body.too_long) throw std::runtime_error("answer longer than 1 MiB");
    std::string why = curl_easy_strerror(rc);
    if (error[0]) why += ": " + std::string(error);
    if (http_config.proxy) {
      // libcurl's texts may quote the proxy URL; ours carries no credentials.
      why += " (proxy " + http_config.proxy->str_redacted() + ")";
    }
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
