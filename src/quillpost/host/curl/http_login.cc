// The credentials check over HTTP (libcurl), in the libcurl module so that
// only a run that checks credentials (or uses the "pycurl" engine) loads
// libcurl and its TLS stack.
#include <curl/curl.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "quillpost/host/comms/clock.h"
#include "quillpost/host/comms/login.h"
#include "quillpost/host/curl/curl_options.h"
#include "quillpost/host/logging/logs.h"

namespace quillpost {
namespace {

// The longest login answer taken: an answer is a few hundred bytes.
constexpr std::size_t kMaxAnswer = 1024 * 1024;

std::size_t append_body(char* data, std::size_t size, std::size_t count, void* target) {
  auto& body = *static_cast<std::string*>(target);
  if (body.size() + size * count > kMaxAnswer) return 0;  // libcurl stops with a write error
  body.append(data, size * count);
  return size * count;
}

class HttpCredentialsChecker : public CredentialsChecker {
 public:
  explicit HttpCredentialsChecker(LoginSettings settings) : settings_(std::move(settings)) {
    curl::global_init_once();
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
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(settings_.connect_timeout.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(settings_.total_timeout.count()));
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, static_cast<long>(http_config.max_http_redirects));
    try {
      curl::set_connection_options(h, http_config);
    } catch (const std::runtime_error& e) {
      throw ProgressFailed(std::string("Could not check the credentials: ") + e.what());
    }

    const double started = comms::wall_seconds();
    const CURLcode code = curl_easy_perform(h);
    curl::note_answer_date(h, started);
    if (code != CURLE_OK) {
      const std::string why = error[0] ? error : curl_easy_strerror(code);
      throw ProgressFailed("Could not reach the service to check the credentials: " + why);
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    return account_from_login_answer(status, response, credentials.email);
  }

 private:
  LoginSettings settings_;
};

}  // namespace
}  // namespace quillpost

extern "C" __attribute__((visibility("default"))) quillpost::CredentialsChecker*
quillpost_make_credentials_checker(const quillpost::LoginSettings* settings) {
  return new quillpost::HttpCredentialsChecker(*settings);
}
