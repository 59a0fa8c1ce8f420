#include "quillpost/host/world/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "quillpost/host/process/private_files.h"

namespace quillpost {

std::filesystem::path get_base_dir(const std::string& base_dir, bool create) {
  const std::filesystem::path dir(base_dir);
  if (!dir.is_absolute()) throw PathNotAbsoluteError(base_dir);
  std::error_code ec;
  const auto status = std::filesystem::status(dir, ec);
  if (status.type() == std::filesystem::file_type::not_found) {
    if (!create) {
      throw NotFoundError(std::make_error_code(std::errc::no_such_file_or_directory), base_dir);
    }
    make_private_directories(dir);
    return dir;
  }
  if (ec) throw_os_error(ec, os_error_text(ec, dir));
  if (status.type() != std::filesystem::file_type::directory) {
    const auto code = std::make_error_code(std::errc::not_a_directory);
    throw OsError(code, os_error_text(code, dir));
  }
  // Another user who may change what is in it could plant links there.
  check_private_directory(dir);
  // Everything the application keeps lives here, so it must be writable.
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    const std::error_code code(errno, std::generic_category());
    throw_os_error(code, os_error_text(code, dir));
  }
  return dir;
}

std::filesystem::path default_base_dir(const Getenv& getenv) {
  const std::optional<std::string> home = read_env(getenv, "HOME");
  if (home && !home->empty()) return std::filesystem::path(*home) / ".quillpost";
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) {
    return std::filesystem::path(entry->pw_dir) / ".quillpost";
  }
  return std::filesystem::current_path() / ".quillpost";
}

Paths::Paths(std::filesystem::path base_dir, std::filesystem::path resources_dir)
    : base_dir_(std::move(base_dir)),
      resources_dir_(std::move(resources_dir)),
      logs_dir_(base_dir_ / "logs") {
  make_private_directories(base_dir_);
}

}  // namespace quillpost
