#include "service/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillpost::service {
namespace {

std::string failure(const std::string& what, const std::filesystem::path& file) {
  return what + " " + file.string() + ": " + std::strerror(errno);
}

}  // namespace

std::string write_file_atomically(const std::filesystem::path& file, std::string_view content,
                                  unsigned mode) {
  const std::filesystem::path temp =
      file.string() + ".tmp-" + std::to_string(static_cast<long>(::getpid()));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return failure("cannot create", temp);
  std::string error;
  if (::fchmod(fd, mode) != 0) error = failure("cannot set the mode of", temp);
  std::size_t written = 0;
  while (error.empty() && written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = failure("cannot write", temp);
    written += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  if (error.empty() && ::fsync(fd) != 0) error = failure("cannot flush", temp);
  if (::close(fd) != 0 && error.empty()) error = failure("cannot close", temp);
  if (error.empty() && ::rename(temp.c_str(), file.c_str()) != 0) {
    error = failure("cannot rename onto", file);
  }
  if (!error.empty()) {
    ::unlink(temp.c_str());
    return error;
  }
  // The rename itself reaches the disk with the directory.
  const std::filesystem::path dir = file.has_parent_path() ? file.parent_path() : ".";
  if (const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
  return {};
}

}  // namespace quillpost::service
