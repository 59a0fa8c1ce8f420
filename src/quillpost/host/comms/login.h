// Checking an e-mail and password against the service's login.
//
// The HTTP implementations live with the engines: the "requests" one in the
// runtime library, the "pycurl" one in the libcurl module. Both are opened
// only when a check is made, so a run that checks nothing loads neither.
#pragma once

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "quillpost/host/config/records.h"
#include "quillpost/host/process/environment.h"
#include "quillpost/host/world/world.h"

namespace quillpost {

// A step the user asked for did not succeed. `gui_msg` says why, for the user.
class ProgressFailed : public std::runtime_error {
 public:
  explicit ProgressFailed(const std::string& gui_msg) : std::runtime_error(gui_msg) {}
  std::string gui_msg() const { return what(); }
};

struct Credentials {
  std::string email;
  std::string password;
};

class CredentialsChecker {
 public:
  virtual ~CredentialsChecker() = default;
  // The account the service answers for these credentials. Throws
  // ProgressFailed when the service refuses them or cannot be reached.
  virtual Account run(const Credentials& credentials, const HttpConfig& http_config) = 0;
};

// The service's base URL (scheme, host, port and path prefix) as it was
// given, and where: the environment variable QUILLPOST_SERVICE_URL for one run
// (a local service, tests), else the configuration's `service_url` (a
// self-hosted or staging service), else the build's. The login is POSTed to
// base + login_path.
struct ServiceUrl {
  std::string url;
  std::string source;  // "QUILLPOST_SERVICE_URL", "service_url" or "the build"
};
ServiceUrl service_base_url(const RuntimeConfig& config, const Getenv& getenv);
inline constexpr const char* login_path = "/v1/login";

struct LoginSettings {
  std::string login_url;
  std::chrono::milliseconds connect_timeout{10000};
  std::chrono::milliseconds total_timeout{30000};
};

// The HTTP checker. Each check goes through the HTTP engine its HttpConfig
// names: "pycurl" in the libcurl module, "requests" in the runtime library
// (opened on the first check that needs it). A module that cannot be opened
// makes the check fail with ProgressFailed.
std::unique_ptr<CredentialsChecker> make_http_credentials_checker(const LoginSettings& settings);

// What both engines' entry points make (`quillpost_make_credentials_checker`
// in the libcurl module, `quillpost_make_requests_credentials_checker` in the
// runtime library).
using MakeCredentialsChecker = CredentialsChecker* (*)(const LoginSettings*);

// The account in the login's answer: a status 2xx with a JSON body holding
// "clientKey" (and the e-mail as stored, else `email`). Throws ProgressFailed
// with the service's own explanation of a refusal when it gave one, else
// "Login refused (HTTP <status>)", or with "The service's answer to the login
// was not understood".
Account account_from_login_answer(long status, const std::string& body, const std::string& email);

}  // namespace quillpost
