// The credentials check over HTTP (libcurl). Built as its own module so that
// only a run that checks credentials loads libcurl and its TLS stack.
#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "quillpost/host/app/credentials.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/runtime/comms/openssl.h"

namespace quillpost {
namespace {

std::size_t append_body(char* data, std::size_t size, std::size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

curl_proxytype proxy_kind(const std::string& type) {
  if (type == "socks4") return CURLPROXY_SOCKS4A;
  if (type == "socks5") return CURLPROXY_SOCKS5_HOSTNAME;
  return CURLPROXY_HTTP;
}

// The service's own explanation of a refusal, when it gave one.
std::string refusal_detail(const std::string& body) {
  try {
    const auto json = nlohmann::json::parse(body);
    for (const char* key : {"message", "error"}) {
      if (json.is_object() && json.contains(key) && json[key].is_string()) {
        return json[key].get<std::string>();
      }
    }
  } catch (const nlohmann::json::exception&) {
  }
  return "";
}

class HttpCredentialsChecker : public CredentialsChecker {
 public:
  explicit HttpCredentialsChecker(LoginSettings settings) : settings_(std::move(settings)) {
    static std::once_flag once;
    std::call_once(once, [] {
      init_openssl_without_exit_cleanup();
      curl_global_init(CURL_GLOBAL_DEFAULT);
    });
  }

  Account run(const Credentials& credentials, const HttpConfig& http_config) override {
    logs::logger("check_credentials")
        .info("Checking credentials of %s at %s", credentials.email, settings_.login_url);
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) throw ProgressFailed("Could not check the credentials: no HTTP client available");
    const std::string body =
        nlohmann::json{{"email", credentials.email}, {"password", credentials.password}}.dump();
    std::string response;
    char error[CURL_ERROR_SIZE] = {};
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, "Content-Type: application/json"), curl_slist_free_all);
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, settings_.login_url.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(settings_.connect_timeout.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(settings_.total_timeout.count()));
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, static_cast<long>(http_config.max_http_redirects));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, http_config.ssl_verify ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, http_config.ssl_verify ? 2L : 0L);
    if (http_config.cacert_file)
      curl_easy_setopt(h, CURLOPT_CAINFO, http_config.cacert_file->c_str());
    // The configured proxy only: an empty text keeps libcurl from reading the
    // proxy environment variables behind the configuration's back.
    if (http_config.proxy) {
      const Proxy& proxy = *http_config.proxy;
      const std::string address = proxy.host + ":" + proxy.port;
      curl_easy_setopt(h, CURLOPT_PROXY, address.c_str());
      curl_easy_setopt(h, CURLOPT_PROXYTYPE, static_cast<long>(proxy_kind(proxy.type)));
      if (proxy.auth) {
        curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, proxy.auth->first.c_str());
        curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, proxy.auth->second.c_str());
      }
    } else {
      curl_easy_setopt(h, CURLOPT_PROXY, "");
    }

    const CURLcode code = curl_easy_perform(h);
    if (code != CURLE_OK) {
      const std::string why = error[0] ? error : curl_easy_strerror(code);
      throw ProgressFailed("Could not reach the service to check the credentials: " + why);
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status >= 300) {
      const std::string detail = refusal_detail(response);
      throw ProgressFailed(detail.empty() ? "Login refused (HTTP " + std::to_string(status) + ")"
                                          : detail);
    }
    return account_from(response, credentials.email);
  }

 private:
  static Account account_from(const std::string& body, const std::string& email) {
    try {
      const auto json = nlohmann::json::parse(body);
      Account account;
      // {"id": account id, "email": as stored, "clientKey": ...}; the computer
      // id is the server's to give at the handshake.
      account.email = json.value("email", email);
      account.client_key = json.at("clientKey").get<std::string>();
      return account;
    } catch (const nlohmann::json::exception&) {
      throw ProgressFailed("The service's answer to the login was not understood");
    }
  }

  LoginSettings settings_;
};

}  // namespace
}  // namespace quillpost

extern "C" __attribute__((visibility("default"))) quillpost::CredentialsChecker*
quillpost_make_credentials_checker(const quillpost::LoginSettings* settings) {
  return new quillpost::HttpCredentialsChecker(*settings);
}
