// Modules the host opens at run time.
//
// The heavy parts of the program (the HTTP engines, TLS, the agent runtime and
// the application on it) live in shared modules installed beside the host
// library, so that runs which never need them (--check, --help) never load
// them. A module, once opened, stays loaded for the life of the process.
#pragma once

#include <stdexcept>
#include <string>

namespace quillpost {

class ModuleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The address of `symbol` in the module file `file_name` (for example
// "libquillpost_curl.so"), looked for in the host library's directory. Throws
// ModuleError naming the module and the loader's reason on failure.
void* module_symbol(const std::string& file_name, const char* symbol);

// The same, typed: `module_entry<int (*)(int)>("libx.so", "x_entry")`.
template <typename Function>
Function module_entry(const std::string& file_name, const char* symbol) {
  return reinterpret_cast<Function>(module_symbol(file_name, symbol));
}

}  // namespace quillpost
