#include "quillpost/host/logging/rotating_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "quillpost/host/process/private_files.h"

namespace quillpost::logs {

RotatingFile::RotatingFile(std::filesystem::path path, std::size_t max_bytes, std::size_t max_files)
    : path_(std::move(path)), max_bytes_(max_bytes), max_files_(max_files) {
  open();
  // Files rotated by an older version may be readable by others: narrowed
  // here, without following a link in their place.
  for (std::size_t i = 1; i <= max_files_; ++i) {
    ::fchmodat(AT_FDCWD, rotated_name(path_, i).c_str(), 0600, AT_SYMLINK_NOFOLLOW);
  }
}

RotatingFile::~RotatingFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::filesystem::path RotatingFile::rotated_name(const std::filesystem::path& path,
                                                 std::size_t index) {
  if (index == 0) return path;
  return path.parent_path() /
         (path.stem().string() + "." + std::to_string(index) + path.extension().string());
}

void RotatingFile::open() {
  fd_ = open_private_append(path_);
  struct stat info {};
  size_ = ::fstat(fd_, &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
}

void RotatingFile::rotate() {
  ::close(fd_);
  fd_ = -1;
  // Oldest first, so that nothing is overwritten before it has moved on. A
  // rename does not follow links; a name that is missing is simply skipped.
  for (std::size_t i = max_files_; i >= 1; --i) {
    std::rename(rotated_name(path_, i - 1).c_str(), rotated_name(path_, i).c_str());
  }
  open();
  // Even when the current file could not be moved, the next rotation is a
  // whole file's worth of lines away.
  size_ = 0;
}

void RotatingFile::write(std::string_view line) {
  if (fd_ < 0) open();
  if (size_ > 0 && size_ + line.size() > max_bytes_) rotate();
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd_, line.data() + written, line.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      const std::error_code code(errno, std::generic_category());
      size_ += written;
      throw_os_error(code, os_error_text(code, path_));
    }
    written += static_cast<std::size_t>(n);
  }
  size_ += written;
}

}  // namespace quillpost::logs
