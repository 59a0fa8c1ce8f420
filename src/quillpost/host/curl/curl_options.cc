#include "quillpost/host/curl/curl_options.h"

#include <mutex>
#include <stdexcept>
#include <string>

#include "quillpost/host/base/openssl.h"
#include "quillpost/host/comms/clock.h"

namespace quillpost::curl {
namespace {

std::string proxy_url(const Proxy& proxy) {
  // socks5h: the proxy resolves the host name, as the other engine does.
  std::string scheme = proxy.type;
  if (scheme == "socks5") scheme = "socks5h";
  std::string host = proxy.host;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return scheme + "://" + host + ":" + proxy.port;
}

}  // namespace

void global_init_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    init_openssl_without_exit_cleanup();
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });
}

void set_connection_options(CURL* c, const HttpConfig& http_config) {
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
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
}

void note_answer_date(CURL* c, double started) {
  curl_header* date = nullptr;
  if (curl_easy_header(c, "Date", 0, CURLH_HEADER, -1, &date) != CURLHE_OK || date == nullptr) {
    return;
  }
  curl_off_t sent_us = 0;
  curl_off_t first_byte_us = 0;
  if (curl_easy_getinfo(c, CURLINFO_PRETRANSFER_TIME_T, &sent_us) != CURLE_OK ||
      curl_easy_getinfo(c, CURLINFO_STARTTRANSFER_TIME_T, &first_byte_us) != CURLE_OK) {
    return;
  }
  comms::note_http_date(date->value, started + static_cast<double>(sent_us) / 1e6,
                        started + static_cast<double>(first_byte_us) / 1e6);
}

}  // namespace quillpost::curl
