#include "quillpost/host/process/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace quillpost {
namespace {

constexpr mode_t kPrivateDirectory = 0700;
constexpr mode_t kPrivateFile = 0600;

std::error_code last_error() {
  return {errno, std::generic_category()};
}

// The error of a failed open or read of `path`. A link met where none is
// followed gets a text that says so (the system's "Too many levels of
// symbolic links" would only puzzle).
[[noreturn]] void throw_file_error(std::error_code code, const std::filesystem::path& path) {
  if (code == std::errc::too_many_symbolic_link_levels) {
    throw_os_error(code, "Is a symbolic link, which is not followed: '" + path.string() + "'");
  }
  throw_os_error(code, os_error_text(code, path));
}

// Only regular files are read or written: a directory, a FIFO (which would
// block) or a device in a file's place is an error.
// The status of the open file `fd`, which must be a regular file; otherwise
// `fd` is closed and the failure thrown.
struct stat regular_file_status(int fd, const std::filesystem::path& path) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const std::error_code code = last_error();
    ::close(fd);
    throw_file_error(code, path);
  }
  if (S_ISREG(info.st_mode)) return info;
  ::close(fd);
  if (S_ISDIR(info.st_mode))
    throw_file_error(std::make_error_code(std::errc::is_a_directory), path);
  const auto code = std::make_error_code(std::errc::invalid_argument);
  throw OsError(code, "Not a regular file: '" + path.string() + "'");
}

std::string mode_text(mode_t mode) {
  static constexpr char kDigits[] = "01234567";
  std::string text = "0";
  for (int shift = 6; shift >= 0; shift -= 3) text += kDigits[(mode >> shift) & 7];
  return text;
}

// A write that failed (a full disk) leaves no half-written temporary file:
// closes `fd` (unless -1), removes `temp` and throws for `what`.
[[noreturn]] void fail_atomic_write(const std::string& temp, const std::filesystem::path& what,
                                    int fd) {
  const std::error_code code = last_error();
  if (fd >= 0) ::close(fd);
  ::unlink(temp.c_str());
  throw_os_error(code, os_error_text(code, what));
}

}  // namespace

void check_private_directory(const std::filesystem::path& dir) {
  struct stat info {};
  if (::stat(dir.c_str(), &info) != 0) {
    const std::error_code code = last_error();
    throw_os_error(code, os_error_text(code, dir));
  }
  if (!S_ISDIR(info.st_mode)) {
    const auto code = std::make_error_code(std::errc::not_a_directory);
    throw OsError(code, os_error_text(code, dir));
  }
  const auto refused = std::make_error_code(std::errc::operation_not_permitted);
  if (info.st_uid != ::geteuid()) {
    throw UnsafeDirectoryError(refused, "Refusing the directory '" + dir.string() +
                                            "': it belongs to another user (uid " +
                                            std::to_string(info.st_uid) +
                                            "), who could change what is in it. Use a "
                                            "directory of your own.");
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw UnsafeDirectoryError(refused, "Refusing the directory '" + dir.string() +
                                            "': other users may write to it (mode " +
                                            mode_text(info.st_mode & 0777) +
                                            "), so they could plant files in it. Make it "
                                            "private: chmod go-w '" +
                                            dir.string() + "'");
  }
}

void make_private_directories(const std::filesystem::path& dir) {
  std::filesystem::path target = dir.lexically_normal();
  if (!target.has_filename() && target.has_relative_path()) target = target.parent_path();
  // The missing directories, deepest first.
  std::vector<std::filesystem::path> missing;
  for (std::filesystem::path at = target; !at.empty(); at = at.parent_path()) {
    struct stat info {};
    if (::stat(at.c_str(), &info) == 0) break;
    if (errno != ENOENT) {
      const std::error_code code = last_error();
      throw_os_error(code, os_error_text(code, at));
    }
    missing.push_back(at);
    if (at == at.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), kPrivateDirectory) != 0) {
      if (errno == EEXIST) continue;  // made meanwhile by someone else: checked below
      const std::error_code code = last_error();
      throw_os_error(code, os_error_text(code, *it));
    }
    // The umask may have taken bits away from the mode asked for.
    if (::chmod(it->c_str(), kPrivateDirectory) != 0) {
      const std::error_code code = last_error();
      throw_os_error(code, os_error_text(code, *it));
    }
  }
  check_private_directory(target);
}

std::optional<std::string> read_private_file(const std::filesystem::path& path,
                                             std::size_t max_bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw_file_error(last_error(), path);
  }
  regular_file_status(fd, path);
  std::string content;
  char buffer[8192];
  while (content.size() <= max_bytes) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const std::error_code code = last_error();
      ::close(fd);
      throw_file_error(code, path);
    }
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (content.size() > max_bytes + 1) content.resize(max_bytes + 1);
  return content;
}

int open_private_append(const std::filesystem::path& path) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
             kPrivateFile);
  if (fd < 0) throw_file_error(last_error(), path);
  const struct stat info = regular_file_status(fd, path);
  if (info.st_uid != ::geteuid()) {
    ::close(fd);
    throw PermissionError(std::make_error_code(std::errc::operation_not_permitted),
                          "Refusing the file '" + path.string() +
                              "': it belongs to another user (uid " + std::to_string(info.st_uid) +
                              ")");
  }
  // A file made under a wide umask (or by an older version) becomes private.
  if ((info.st_mode & 07777) != kPrivateFile && ::fchmod(fd, kPrivateFile) != 0) {
    const std::error_code code = last_error();
    ::close(fd);
    throw_file_error(code, path);
  }
  return fd;
}

void write_file_atomically(const std::filesystem::path& path, std::string_view content,
                           Durability durability) {
  const bool synced = durability == Durability::synced;
  // mkostemp creates the file exclusively (O_EXCL: a planted link or file of
  // that name is never opened) under a name no one can guess beforehand.
  std::string temp = path.string() + ".tmp-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    const std::error_code code = last_error();
    throw_os_error(code, os_error_text(code, path));
  }
  if (::fchmod(fd, kPrivateFile) != 0) fail_atomic_write(temp, temp, fd);
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail_atomic_write(temp, temp, fd);
    }
    written += static_cast<std::size_t>(n);
  }
  if (synced && ::fsync(fd) != 0) fail_atomic_write(temp, temp, fd);
  if (::close(fd) != 0) fail_atomic_write(temp, temp, -1);
  if (::rename(temp.c_str(), path.c_str()) != 0) fail_atomic_write(temp, path, -1);
  if (!synced) return;
  // The rename itself is durable only once the directory is synced.
  const auto parent = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  const int dir = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

std::filesystem::path move_aside(const std::filesystem::path& path) {
  const auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  const std::string base =
      (path.parent_path() / (path.filename().string() + ".corrupt-" + std::to_string(stamp)))
          .string();
  // Never over an earlier copy set aside within the same second: the next
  // free name "<base>.N" is taken, and the rename refuses to replace a file.
  std::string aside = base;
  for (int n = 1;; ++n) {
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
      return aside;
    }
    const std::error_code code = last_error();
    if (code == std::errc::invalid_argument && !std::filesystem::exists(aside)) {
      // A file system without no-replace renames: check, then rename.
      std::error_code ec;
      std::filesystem::rename(path, aside, ec);
      if (ec) throw_os_error(ec, os_error_text(ec, path));
      return aside;
    }
    if (code != std::errc::file_exists || n > 1000) throw_os_error(code, os_error_text(code, path));
    aside = base + "." + std::to_string(n);
  }
}

}  // namespace quillpost
