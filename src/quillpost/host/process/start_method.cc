#include "quillpost/host/process/start_method.h"

#include <mutex>
#include <stdexcept>

namespace quillpost {
namespace {

std::mutex mutex;
std::optional<std::string> method;

}  // namespace

void set_start_method(const std::string& new_method) {
  if (new_method != "fork" && new_method != "spawn") {
    throw std::invalid_argument("unknown start method '" + new_method + "'");
  }
  std::lock_guard lock(mutex);
  if (method && *method != new_method) {
    throw std::logic_error("start method already set to '" + *method + "'");
  }
  method = new_method;
}

std::optional<std::string> start_method() {
  std::lock_guard lock(mutex);
  return method;
}

}  // namespace quillpost
