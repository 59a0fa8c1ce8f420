#include "quillpost/host/app/credentials.h"

#include <utility>

#include "quillpost/host/process/module.h"

namespace quillpost {
namespace {

// The module's entry point (see http_login.cc).
using MakeChecker = CredentialsChecker* (*)(const LoginSettings*);
constexpr const char* kModule = "libquillpost_curl.so";
constexpr const char* kEntry = "quillpost_make_credentials_checker";
constexpr const char* kDefaultServiceUrl = QP_SERVICE_URL;

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
  const auto make = module_entry<MakeChecker>(kModule, kEntry);
  return std::unique_ptr<CredentialsChecker>(make(&settings));
}

}  // namespace quillpost
