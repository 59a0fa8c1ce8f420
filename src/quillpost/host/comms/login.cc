#include "quillpost/host/comms/login.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "quillpost/host/process/module.h"

namespace quillpost {
namespace {

constexpr const char* kDefaultServiceUrl = QP_SERVICE_URL;

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

// Runs each check with the checker of the engine its HttpConfig names, made
// from that engine's module on first use.
class EngineCredentialsChecker : public CredentialsChecker {
 public:
  explicit EngineCredentialsChecker(LoginSettings settings) : settings_(std::move(settings)) {}

  Account run(const Credentials& credentials, const HttpConfig& http_config) override {
    const bool curl = http_config.engine == "pycurl";
    std::unique_ptr<CredentialsChecker>& checker = curl ? curl_ : requests_;
    if (!checker) {
      try {
        const auto make =
            curl ? module_entry<MakeCredentialsChecker>("libquillpost_curl.so",
                                                        "quillpost_make_credentials_checker")
                 : module_entry<MakeCredentialsChecker>(
                       "libquillpost_runtime.so", "quillpost_make_requests_credentials_checker");
        checker.reset(make(&settings_));
      } catch (const ModuleError& e) {
        throw ProgressFailed(std::string("Could not check the credentials: ") + e.what());
      }
    }
    return checker->run(credentials, http_config);
  }

 private:
  LoginSettings settings_;
  std::unique_ptr<CredentialsChecker> requests_;
  std::unique_ptr<CredentialsChecker> curl_;
};

}  // namespace

ServiceUrl service_base_url(const RuntimeConfig& config, const Getenv& getenv) {
  if (auto url = read_env(getenv, "QUILLPOST_SERVICE_URL"); url && !url->empty()) {
    return {std::move(*url), "QUILLPOST_SERVICE_URL"};
  }
  if (config.service_url && !config.service_url->empty()) {
    return {*config.service_url, "service_url"};
  }
  return {kDefaultServiceUrl, "the build"};
}

std::unique_ptr<CredentialsChecker> make_http_credentials_checker(const LoginSettings& settings) {
  return std::make_unique<EngineCredentialsChecker>(settings);
}

Account account_from_login_answer(long status, const std::string& body, const std::string& email) {
  if (status < 200 || status >= 300) {
    const std::string detail = refusal_detail(body);
    throw ProgressFailed(detail.empty() ? "Login refused (HTTP " + std::to_string(status) + ")"
                                        : detail);
  }
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

}  // namespace quillpost
