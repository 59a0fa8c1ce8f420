#include "quillpost/host/process/startup_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "quillpost/host/process/private_files.h"

namespace quillpost {
namespace {

[[noreturn]] void throw_lock_error(std::error_code code, const std::string& what) {
  throw StartupLockError(code, "Cannot take the start-up lock: " + what);
}

}  // namespace

StartupLock::StartupLock(const std::filesystem::path& lock_file) {
  const std::filesystem::path dir =
      lock_file.has_parent_path() ? lock_file.parent_path() : std::filesystem::path(".");
  fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    const std::error_code code(errno, std::generic_category());
    throw_lock_error(code, os_error_text(code, dir));
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd_);
    fd_ = -1;
    if (err == EWOULDBLOCK) {
      throw StartupMutexError(
          "Another instance is already running with the settings directory '" + dir.string() +
          "'. Stop it first, or use --allow-multiple-instances to run more than one.");
    }
    const std::error_code code(err, std::generic_category());
    throw_lock_error(code, os_error_text(code, dir));
  }
  try {
    write_file_atomically(lock_file, std::to_string(::getpid()) + "\n");
  } catch (const OsError& e) {
    // The lock is held all the same: the note only informs. An earlier
    // holder's note would name another process (unlink leaves a directory
    // in its place alone).
    note_error_ = e.what();
    ::unlink(lock_file.c_str());
  }
}

StartupLock::~StartupLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace quillpost
