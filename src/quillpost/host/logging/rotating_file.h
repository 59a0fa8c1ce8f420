// The log file on disk: private to its owner, written line by line without
// buffering, rotated by size.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace quillpost::logs {

// The file is opened as private_files.h describes (mode 0600 whatever the
// umask; a link in its place is refused, never followed), and so is every
// file that rotation starts. Not thread-safe: the caller serialises writes.
class RotatingFile {
 public:
  // Opens or creates `path`. Throws OsError, its text naming the file.
  RotatingFile(std::filesystem::path path, std::size_t max_bytes, std::size_t max_files);
  ~RotatingFile();
  RotatingFile(const RotatingFile&) = delete;
  RotatingFile& operator=(const RotatingFile&) = delete;

  // Appends `line`. A line that would take the file past `max_bytes` first
  // rotates it: "quillpost.log" becomes "quillpost.1.log", that one
  // "quillpost.2.log" and so on, and the one past `max_files` is dropped.
  // Throws OsError when the line cannot be written (it is lost; later lines
  // are tried again).
  void write(std::string_view line);

  // The name of rotated file `index`: "dir/quillpost.log", 2 ->
  // "dir/quillpost.2.log".
  static std::filesystem::path rotated_name(const std::filesystem::path& path, std::size_t index);

 private:
  void open();
  void rotate();

  std::filesystem::path path_;
  std::size_t max_bytes_;
  std::size_t max_files_;
  int fd_ = -1;
  std::size_t size_ = 0;
};

}  // namespace quillpost::logs
