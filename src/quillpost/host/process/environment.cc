#include "quillpost/host/process/environment.h"

#include <cstdlib>

namespace quillpost {

std::optional<std::string> process_getenv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

}  // namespace quillpost
