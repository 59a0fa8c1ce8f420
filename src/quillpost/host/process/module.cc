#include "quillpost/host/process/module.h"

#include <dlfcn.h>

#include <filesystem>

namespace quillpost {
namespace {

// The directory of the library this function is compiled into.
std::filesystem::path host_library_dir() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&host_library_dir), &info) && info.dli_fname) {
    return std::filesystem::path(info.dli_fname).parent_path();
  }
  return {};
}

}  // namespace

void* module_symbol(const std::string& file_name, const char* symbol) {
  const std::filesystem::path dir = host_library_dir();
  const std::string path = dir.empty() ? file_name : (dir / file_name).string();
  // dlopen counts references: opening a loaded module again returns the same
  // handle, and it is never closed, so the code outlives whatever it made.
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) throw ModuleError("cannot load " + file_name + ": " + ::dlerror());
  ::dlerror();
  void* address = ::dlsym(module, symbol);
  if (!address) throw ModuleError(file_name + " has no entry point " + symbol);
  return address;
}

}  // namespace quillpost
