// The start-up lock: at most one running instance per settings directory.
#pragma once

#include <filesystem>
#include <stdexcept>

namespace quillpost {

// Another instance holds the lock. The text is shown to the user.
class StartupMutexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An exclusive lock (flock) on a file in the settings directory, held while the
// object lives. The kernel drops it when the process ends, however it ends, so a
// crashed instance never blocks the next one.
class StartupLock {
 public:
  // Throws StartupMutexError when another process holds the lock, OsError when
  // the lock file cannot be opened.
  explicit StartupLock(const std::filesystem::path& lock_file);
  ~StartupLock();
  StartupLock(const StartupLock&) = delete;
  StartupLock& operator=(const StartupLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace quillpost
