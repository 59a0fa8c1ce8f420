#include "quillpost/host/credentials.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

namespace quillpost {
namespace {

// The module's entry point (see http_login.cc).
using MakeChecker = CredentialsChecker* (*)(const LoginSettings*);
constexpr const char* kModule = "libquillpost_http.so";
constexpr const char* kEntry = "quillpost_make_credentials_checker";
constexpr const char* kDefaultServiceUrl = QP_SERVICE_URL;

// The module sits beside this library.
std::filesystem::path module_path() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&service_base_url), &info) && info.dli_fname) {
    return std::filesystem::path(info.dli_fname).parent_path() / kModule;
  }
  return kModule;
}

}  // namespace

std::string service_base_url() {
  const char* url = std::getenv("QUILLPOST_SERVICE_URL");
  std::string base = url && *url ? url : kDefaultServiceUrl;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

std::unique_ptr<CredentialsChecker> make_http_credentials_checker(const LoginSettings& settings) {
  // Loaded once and kept: the module's code must outlive every checker made.
  static void* module = nullptr;
  if (!module) {
    const auto path = module_path();
    module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module)
      throw std::runtime_error(std::string("cannot load the HTTP module: ") + ::dlerror());
  }
  auto make = reinterpret_cast<MakeChecker>(::dlsym(module, kEntry));
  if (!make) throw std::runtime_error(std::string("HTTP module without ") + kEntry);
  return std::unique_ptr<CredentialsChecker>(make(&settings));
}

}  // namespace quillpost
