// The credentials check of the "requests" engine: one POST through the HTTP
// exchange of the connection's own sockets. The launcher opens it from the
// runtime library (which the application loads anyway), so that a check on
// the default engine never loads libcurl.
#include <nlohmann/json.hpp>

#include "quillpost/host/comms/login.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/runtime/comms/http_exchange.h"

namespace quillpost::comms {
namespace {

class RequestsCredentialsChecker : public CredentialsChecker {
 public:
  explicit RequestsCredentialsChecker(LoginSettings settings) : settings_(std::move(settings)) {}

  Account run(const Credentials& credentials, const HttpConfig& http_config) override {
    logs::logger("check_credentials")
        .info("Checking credentials of %s at %s", credentials.email, settings_.login_url);
    HttpRequest request;
    request.method = "POST";
    request.url = settings_.login_url;
    request.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
    request.body =
        nlohmann::json{{"email", credentials.email}, {"password", credentials.password}}.dump();
    request.connect_timeout = settings_.connect_timeout;
    request.timeout = settings_.total_timeout;
    HttpAnswer answer;
    try {
      answer = http_exchange(request, http_config);
    } catch (const std::exception& e) {
      throw ProgressFailed(std::string("Could not reach the service to check the credentials: ") +
                           e.what());
    }
    return account_from_login_answer(answer.status, answer.body, credentials.email);
  }

 private:
  LoginSettings settings_;
};

}  // namespace
}  // namespace quillpost::comms

extern "C" __attribute__((visibility("default"))) quillpost::CredentialsChecker*
quillpost_make_requests_credentials_checker(const quillpost::LoginSettings* settings) {
  return new quillpost::comms::RequestsCredentialsChecker(*settings);
}
