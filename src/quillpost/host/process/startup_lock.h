// The start-up lock: at most one running instance per settings directory.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include "quillpost/host/process/os_error.h"

namespace quillpost {

// Another instance holds the lock. The text is shown to the user.
class StartupMutexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The lock cannot be taken for another reason: the settings directory cannot
// be opened or locked. code() tells a permission problem from others.
class StartupLockError : public OsError {
 public:
  using OsError::OsError;
};

// An exclusive lock (flock) on the settings directory itself, held while the
// object lives. The directory cannot vanish while the instance uses it (it is
// never empty), so deleting a file by hand never lets a second instance in.
// The kernel drops the lock when the process ends, however it ends, so a
// crashed instance never blocks the next one. The holder's process id is
// written to `lock_file` in that directory, for whoever wonders which
// instance runs: information only, so a note that cannot be written (a full
// disk) does not keep the instance from running.
class StartupLock {
 public:
  // Throws StartupMutexError when another process holds the lock,
  // StartupLockError when it cannot be taken.
  explicit StartupLock(const std::filesystem::path& lock_file);
  ~StartupLock();
  StartupLock(const StartupLock&) = delete;
  StartupLock& operator=(const StartupLock&) = delete;

  // Why the holder's note could not be written; empty when it was. A note
  // left by an earlier holder is then removed where possible, so that it
  // names no other process.
  const std::string& note_error() const { return note_error_; }

 private:
  int fd_ = -1;
  std::string note_error_;
};

}  // namespace quillpost
