// The logging facility: named loggers with "%s"-style formats.
//
//   auto log = logs::logger("client");
//   log.info("c-%s connecting to %s", connection_id, address);
//
// Arguments are rendered with their text forms (text.h), and every line is
// written with its control characters escaped (escape_control). Until `configure` is
// called every line goes only to the sinks that are attached (none by default,
// so nothing is written); `configure` adds the rotating log file.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "quillpost/host/base/text.h"

namespace quillpost::logs {

enum class Level { debug, info, warning, error, exception };

std::string_view level_name(Level level);

// A named logger. Cheap to copy; every copy writes to the same sinks.
class Logger {
 public:
  explicit Logger(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }

  template <typename... Args>
  void debug(std::string_view format, const Args&... args) const {
    write(Level::debug, format, {to_text(args)...});
  }
  template <typename... Args>
  void info(std::string_view format, const Args&... args) const {
    write(Level::info, format, {to_text(args)...});
  }
  template <typename... Args>
  void warning(std::string_view format, const Args&... args) const {
    write(Level::warning, format, {to_text(args)...});
  }
  template <typename... Args>
  void error(std::string_view format, const Args&... args) const {
    write(Level::error, format, {to_text(args)...});
  }
  // An error with an exception in hand: written at error severity and marked
  // as an exception line. Callers pass the exception's text as an argument.
  template <typename... Args>
  void exception(std::string_view format, const Args&... args) const {
    write(Level::exception, format, {to_text(args)...});
  }

  // Whether a line at `level` would be written anywhere.
  bool enabled(Level level) const;

  void write(Level level, std::string_view format, const std::vector<std::string>& args) const;

 private:
  std::string name_;
};

// The logger called `name`.
Logger logger(const std::string& name);

// Sets up the log once: a rotating file "quillpost.log" in `logs_dir` (created
// when missing; both private to this user, see rotating_file.h) with the UTC
// time in ISO 8601 ("2024-05-01T12:00:00.123Z"), level and logger name on
// every line. `log_all` lowers the file's threshold
// from info to debug. Throws OsError (PermissionError, NotFoundError,
// UnsafeDirectoryError included), its text naming the real cause, when the
// directory or the file cannot be made or opened.
void configure(const std::filesystem::path& logs_dir, bool log_all);

// Warnings and errors also go to `fd` from now on (standard error, when it is
// the journal's stream: see journal.h), as journal lines with their priority.
// A negative `fd` stops that.
void attach_journal(int fd);

// The file `configure` writes to; empty before.
std::filesystem::path log_file();

// Flushes every sink.
void flush();

// One rendered line as a sink receives it.
struct Record {
  std::string logger;
  Level level;
  std::string text;
};

// Collects every line written while it exists (all levels), for tests and for
// the in-process status page. Thread-safe.
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<Record> records() const;
  // The texts written by `logger_name` (all loggers when empty), in order.
  std::vector<std::string> texts(std::string_view logger_name = {}) const;
  void clear();

  void add(Record record);

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

}  // namespace quillpost::logs
