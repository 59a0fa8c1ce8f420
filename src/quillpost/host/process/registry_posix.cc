#include "quillpost/host/process/registry.h"

namespace quillpost::windows::registry {

std::optional<std::string> win32_get_registry_value(const std::string&) {
  throw std::runtime_error("the registry exists only on Windows");
}

}  // namespace quillpost::windows::registry
