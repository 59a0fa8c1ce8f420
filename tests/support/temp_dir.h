// A temporary directory that is removed, with everything in it, when the
// object goes out of scope.
#pragma once

#include <filesystem>

namespace quillpost::testing {

class TempDir {
 public:
  // Makes a new, empty directory under the system's temporary directory.
  // Throws std::filesystem::filesystem_error when that fails.
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() / name
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace quillpost::testing
