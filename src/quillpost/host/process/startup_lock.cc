#include "quillpost/host/process/startup_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "quillpost/host/process/os_error.h"

namespace quillpost {

StartupLock::StartupLock(const std::filesystem::path& lock_file) {
  fd_ = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    const std::error_code code(errno, std::generic_category());
    throw_os_error(code, os_error_text(code, lock_file));
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd_);
    fd_ = -1;
    if (err == EWOULDBLOCK) {
      throw StartupMutexError(
          "Another instance is already running with the settings directory '" +
          lock_file.parent_path().string() +
          "'. Stop it first, or use --allow-multiple-instances to run more than one.");
    }
    const std::error_code code(err, std::generic_category());
    throw_os_error(code, os_error_text(code, lock_file));
  }
  // The holder's process id, for whoever wonders which instance runs.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd_, 0) == 0) {
    [[maybe_unused]] const auto n = ::write(fd_, pid.data(), pid.size());
  }
}

StartupLock::~StartupLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace quillpost
