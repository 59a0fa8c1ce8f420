// Operating-system failures with a text for the user.
//
// The launcher turns each kind into its own exit code, so the kinds are types:
// a PermissionError and a NotFoundError are both OsErrors and are caught first.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace quillpost {

class OsError : public std::runtime_error {
 public:
  OsError(std::error_code code, const std::string& message)
      : std::runtime_error(message), code_(code) {}
  std::error_code code() const noexcept { return code_; }

 private:
  std::error_code code_;
};

class PermissionError : public OsError {
 public:
  using OsError::OsError;
};

class NotFoundError : public OsError {
 public:
  using OsError::OsError;
};

// Whether `code` is a lack of permission (denied, not permitted, read-only).
bool is_permission_error(std::error_code code);

// Throws the kind of OsError that `code` names, with `message` as its text.
[[noreturn]] void throw_os_error(std::error_code code, const std::string& message);

// "Permission denied: '/path'": the usual text of a failed operation on a path.
std::string os_error_text(std::error_code code, const std::filesystem::path& path);

}  // namespace quillpost
