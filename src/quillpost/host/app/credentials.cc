#include "quillpost/host/app/credentials.h"

#include <cstdlib>

#include "quillpost/host/process/module.h"

namespace quillpost {
namespace {

// The module's entry point (see http_login.cc).
using MakeChecker = CredentialsChecker* (*)(const LoginSettings*);
constexpr const char* kModule = "libquillpost_http.so";
constexpr const char* kEntry = "quillpost_make_credentials_checker";
constexpr const char* kDefaultServiceUrl = QP_SERVICE_URL;

}  // namespace

std::string service_base_url(const Getenv& getenv) {
  const std::optional<std::string> url = read_env(getenv, "QUILLPOST_SERVICE_URL");
  std::string base = url && !url->empty() ? *url : kDefaultServiceUrl;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

std::unique_ptr<CredentialsChecker> make_http_credentials_checker(const LoginSettings& settings) {
  const auto make = module_entry<MakeChecker>(kModule, kEntry);
  return std::unique_ptr<CredentialsChecker>(make(&settings));
}

}  // namespace quillpost
