// Directories and files that only this process's user may touch: the settings
// directory, the account and world id files, the lock's note and the logs.
//
// Another local user must not be able to redirect what the program writes
// (the account file holds the client key) or swap what it reads. So the
// directories must belong to this user and be writable by no one else; files
// are opened without following a symbolic link in their last component;
// temporary files get unpredictable names and are created exclusively; and
// every directory and file made here is private (0700, 0600) whatever the
// umask.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "quillpost/host/process/os_error.h"

namespace quillpost {

// A directory that another user could change under us: it belongs to someone
// else, or its group or other users may write to it. A PermissionError: the
// launcher reports it with the settings directory's permission exit code.
class UnsafeDirectoryError : public PermissionError {
 public:
  using PermissionError::PermissionError;
};

// Throws UnsafeDirectoryError when `dir` (followed if it is a link) belongs to
// another user than the effective one, root included, or group or others may
// write to it; OsError when it cannot be examined or is not a directory.
void check_private_directory(const std::filesystem::path& dir);

// Creates `dir` and its missing parents, each with mode 0700 whatever the
// umask, and checks `dir` with check_private_directory (an existing one too).
// Throws OsError (PermissionError, NotFoundError, UnsafeDirectoryError).
void make_private_directories(const std::filesystem::path& dir);

// The content of `path`, at most `max_bytes` + 1 bytes of it (so that the
// caller can tell a file that is too large), or nullopt when there is no such
// file. The last component is not followed when it is a link. Throws OsError,
// its text naming the path, when the file exists but cannot be read: no
// permission, a link, a directory or another kind of non-regular file, an I/O
// error.
std::optional<std::string> read_private_file(const std::filesystem::path& path,
                                             std::size_t max_bytes);

// Opens `path` for appending, creating it with mode 0600. A link in its last
// component, a file that is not regular or that belongs to another user is
// refused; an existing file of ours with a wider mode is narrowed to 0600.
// Returns the descriptor (close-on-exec). Throws OsError.
int open_private_append(const std::filesystem::path& path);

// How far a write has gone when it returns: synced to the disk (it survives
// a power cut; a sync costs milliseconds), or handed to the system (it
// survives the end of the process, not a power cut).
enum class Durability { synced, handed_over };

// Writes `content` to `path` atomically: a new temporary file with an
// unpredictable name beside it (created exclusively, mode 0600), rename over
// `path`; with Durability::synced, the file is synced before the rename and
// the directory after it. Either way a reader sees the old content or the
// new, never a part. A failed write leaves no temporary file. Throws OsError
// naming the file that failed.
void write_file_atomically(const std::filesystem::path& path, std::string_view content,
                           Durability durability = Durability::synced);

// Moves `path` out of the way, keeping it for inspection, as
// "<path>.corrupt-<seconds since the epoch>" (or that name with ".N" when it
// exists: a rename never replaces a file). Returns the new path. Throws
// OsError when the file cannot be moved.
std::filesystem::path move_aside(const std::filesystem::path& path);

}  // namespace quillpost
