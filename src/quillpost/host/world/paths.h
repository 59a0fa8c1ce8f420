// The settings directory and the application's layout inside it.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include "quillpost/host/process/environment.h"
#include "quillpost/host/process/os_error.h"

namespace quillpost {

// A settings directory given as a relative path. The text is the path as given.
class PathNotAbsoluteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Checks the settings directory `base_dir` and, when `create` is true, creates
// it (with its parents, each private to this user). Returns the directory to
// use. Throws PathNotAbsoluteError for a relative path; NotFoundError (its
// text is the path) when it is missing and `create` is false;
// PermissionError when it cannot be created or is not writable, and
// UnsafeDirectoryError (a PermissionError) when it belongs to another user or
// others may write to it; OsError for anything else (a file in the way, for
// example).
std::filesystem::path get_base_dir(const std::string& base_dir, bool create);

// The default settings directory: ".quillpost" in the home directory ($HOME,
// else the password database's entry).
std::filesystem::path default_base_dir(const Getenv& getenv);

// The application's directories and files. Building it creates the settings
// directory (mode 0700) and checks that it is private to this user; failures
// are OsErrors (PermissionError, NotFoundError and UnsafeDirectoryError
// included). The log directory is logging's own: the logging facility makes
// and checks it, so that its failures carry the logging exit codes.
class Paths {
 public:
  Paths(std::filesystem::path base_dir, std::filesystem::path resources_dir);

  const std::filesystem::path& base_dir() const { return base_dir_; }
  const std::filesystem::path& resources_dir() const { return resources_dir_; }
  const std::filesystem::path& logs_dir() const { return logs_dir_; }
  // The application's persisted state: the account it logs in with.
  std::filesystem::path state_file() const { return base_dir_ / "account.json"; }
  // This installation's world id, made once.
  std::filesystem::path world_id_file() const { return base_dir_ / "world_id"; }
  // Held locked by the running instance.
  std::filesystem::path lock_file() const { return base_dir_ / "quillpost.lock"; }

 private:
  std::filesystem::path base_dir_;
  std::filesystem::path resources_dir_;
  std::filesystem::path logs_dir_;
};

}  // namespace quillpost
