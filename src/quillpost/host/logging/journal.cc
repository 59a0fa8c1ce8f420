#include "quillpost/host/logging/journal.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdint>

#include "quillpost/host/logging/logs.h"

namespace quillpost::logs {

bool is_journal_stream(const Getenv& getenv, int fd) {
  const std::optional<std::string> stream = read_env(getenv, "JOURNAL_STREAM");
  if (!stream) return false;
  const std::string_view text(*stream);
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  std::uintmax_t device = 0;
  std::uintmax_t inode = 0;
  const auto parse = [](std::string_view part, std::uintmax_t& out) {
    const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), out);
    return !part.empty() && ec == std::errc() && end == part.data() + part.size();
  };
  if (!parse(text.substr(0, colon), device) || !parse(text.substr(colon + 1), inode)) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  return static_cast<std::uintmax_t>(info.st_dev) == device &&
         static_cast<std::uintmax_t>(info.st_ino) == inode;
}

int journal_priority(Level level) {
  switch (level) {
    case Level::debug:
      return 7;
    case Level::info:
      return 6;
    case Level::warning:
      return 4;
    case Level::error:
    case Level::exception:
      return 3;
  }
  return 6;
}

std::string journal_line(Level level, std::string_view logger, std::string_view text) {
  std::string line = "<" + std::to_string(journal_priority(level)) + ">";
  line += level_name(level);
  line += ' ';
  line += logger;
  line += ": ";
  line += text;
  line += '\n';
  return line;
}

}  // namespace quillpost::logs
