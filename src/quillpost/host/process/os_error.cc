#include "quillpost/host/process/os_error.h"

#include <cerrno>

namespace quillpost {

bool is_permission_error(std::error_code code) {
  return code == std::errc::permission_denied || code == std::errc::operation_not_permitted ||
         code == std::errc::read_only_file_system;
}

void throw_os_error(std::error_code code, const std::string& message) {
  if (is_permission_error(code)) throw PermissionError(code, message);
  if (code == std::errc::no_such_file_or_directory) throw NotFoundError(code, message);
  throw OsError(code, message);
}

std::string os_error_text(std::error_code code, const std::filesystem::path& path) {
  return code.message() + ": '" + path.string() + "'";
}

}  // namespace quillpost
