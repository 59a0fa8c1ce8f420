// Checking an e-mail and password against the service's login.
//
// The HTTP implementation lives in the libcurl module (libquillpost_curl.so), opened only when a
// check is made: a run that checks nothing never loads it.
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

// The HTTP checker, from the module. Throws std::runtime_error when the module
// cannot be loaded.
std::unique_ptr<CredentialsChecker> make_http_credentials_checker(const LoginSettings& settings);

}  // namespace quillpost
