#include "quillpost/host/logging/logs.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "quillpost/host/logging/journal.h"
#include "quillpost/host/logging/rotating_file.h"
#include "quillpost/host/process/private_files.h"

namespace quillpost::logs {
namespace {

// Process-wide state of the facility. Loggers are plain names; the sinks live
// here so that a logger made before `configure` writes to the file after it.
struct State {
  std::mutex mutex;
  std::shared_ptr<spdlog::sinks::sink> file;  // set by configure
  std::filesystem::path file_path;
  std::vector<Capture*> captures;
  int journal_fd = -1;  // warnings and errors go here too; -1: nowhere
  std::atomic<bool> any_sink{false};
  std::atomic<Level> file_threshold{Level::info};
};

State& state() {
  static State* s = new State();  // never destroyed: loggers may be used during exit
  return *s;
}

spdlog::level::level_enum to_spdlog(Level level) {
  switch (level) {
    case Level::debug:
      return spdlog::level::debug;
    case Level::info:
      return spdlog::level::info;
    case Level::warning:
      return spdlog::level::warn;
    case Level::error:
    case Level::exception:
      return spdlog::level::err;
  }
  return spdlog::level::info;
}

void refresh_any_sink(State& s) {
  s.any_sink = s.file != nullptr || !s.captures.empty() || s.journal_fd >= 0;
}

constexpr std::size_t kMaxFileBytes = 5 * 1024 * 1024;
constexpr std::size_t kMaxFiles = 5;

// spdlog formats the line (time stamp and all); the file is ours.
class FileSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit FileSink(const std::filesystem::path& path) : file_(path, kMaxFileBytes, kMaxFiles) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    file_.write(std::string_view(line.data(), line.size()));
  }
  void flush_() override {}  // every line is written as it comes

 private:
  RotatingFile file_;
};

}  // namespace

std::string_view level_name(Level level) {
  switch (level) {
    case Level::debug:
      return "DEBUG";
    case Level::info:
      return "INFO";
    case Level::warning:
      return "WARNING";
    case Level::error:
      return "ERROR";
    case Level::exception:
      return "EXCEPTION";
  }
  return "INFO";
}

// A log file that cannot take a line (a full disk, a file size limit) loses
// that line; the program goes on. Standard error says so once.
static void report_file_failure(const std::exception& e) {
  static std::atomic<bool> reported{false};
  if (!reported.exchange(true)) {
    std::fprintf(stderr, "The log file cannot be written; log lines are lost: %s\n", e.what());
  }
}

Logger logger(const std::string& name) {
  return Logger(name);
}

bool Logger::enabled(Level level) const {
  State& s = state();
  if (!s.any_sink) return false;
  std::lock_guard lock(s.mutex);
  return !s.captures.empty() || (s.file && level >= s.file_threshold.load()) ||
         (s.journal_fd >= 0 && level >= Level::warning);
}

void Logger::write(Level level, std::string_view format,
                   const std::vector<std::string>& args) const {
  State& s = state();
  if (!s.any_sink) return;
  // Arguments carry texts from outside (server reasons, proxy answers, file
  // contents): a line feed or a terminal escape among them must not forge a
  // line or reach whoever reads the log in a terminal.
  const std::string text = escape_control(percent_format(format, args));
  std::lock_guard lock(s.mutex);
  for (Capture* capture : s.captures) capture->add(Record{name_, level, text});
  if (s.journal_fd >= 0 && level >= Level::warning) {
    const std::string line = journal_line(level, name_, text);
    // A journal that cannot take the line loses it; the file still has it.
    [[maybe_unused]] const auto written = ::write(s.journal_fd, line.data(), line.size());
  }
  if (s.file && level >= s.file_threshold.load()) {
    // The line carries our own level names (EXCEPTION included) and the logger's name.
    const std::string line = fmt::format("{:<9} {}: {}", level_name(level), name_, text);
    spdlog::details::log_msg msg(spdlog::string_view_t(name_.data(), name_.size()),
                                 to_spdlog(level), spdlog::string_view_t(line.data(), line.size()));
    try {
      // Each line goes to the file at once: someone following the log sees
      // it when it happens, and a killed process loses nothing it logged.
      s.file->log(msg);
      s.file->flush();
    } catch (const std::exception& e) {
      report_file_failure(e);
    }
  }
}

void configure(const std::filesystem::path& logs_dir, bool log_all) {
  make_private_directories(logs_dir);
  const auto path = logs_dir / "quillpost.log";
  std::shared_ptr<spdlog::sinks::sink> sink = std::make_shared<FileSink>(path);
  // UTC, and the line says so: ISO 8601 with "Z".
  sink->set_formatter(std::make_unique<spdlog::pattern_formatter>("%Y-%m-%dT%H:%M:%S.%eZ %v",
                                                                  spdlog::pattern_time_type::utc));
  sink->set_level(spdlog::level::trace);
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.file = std::move(sink);
  s.file_path = path;
  s.file_threshold = log_all ? Level::debug : Level::info;
  refresh_any_sink(s);
}

void attach_journal(int fd) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.journal_fd = fd;
  refresh_any_sink(s);
}

std::filesystem::path log_file() {
  std::lock_guard lock(state().mutex);
  return state().file_path;
}

void flush() {
  std::lock_guard lock(state().mutex);
  if (!state().file) return;
  try {
    state().file->flush();
  } catch (const std::exception& e) {
    report_file_failure(e);
  }
}

Capture::Capture() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.captures.push_back(this);
  refresh_any_sink(s);
}

Capture::~Capture() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.captures.erase(std::remove(s.captures.begin(), s.captures.end(), this), s.captures.end());
  refresh_any_sink(s);
}

std::vector<Record> Capture::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::vector<std::string> Capture::texts(std::string_view logger_name) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& r : records_) {
    if (logger_name.empty() || r.logger == logger_name) out.push_back(r.text);
  }
  return out;
}

void Capture::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

void Capture::add(Record record) {
  std::lock_guard lock(mutex_);
  records_.push_back(std::move(record));
}

}  // namespace quillpost::logs
