#include "quillpost/host/runtime/comms/protocol_log_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <string>
#include <system_error>

#include "quillpost/host/base/text.h"

namespace quillpost::comms {

namespace {

std::string utc_now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
      1000000;
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[64];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  char out[96];
  std::snprintf(out, sizeof out, "%.*s.%06lldZ", static_cast<int>(n), buf,
                static_cast<long long>(micros));
  return out;
}

class NoopProtocolLog final : public ProtocolLog {
 public:
  void write(Direction, std::string_view, std::string_view) override {}
};

}  // namespace

ProtocolLogWriter::ProtocolLogWriter(const std::filesystem::path& path) {
  // The frames carry the account's e-mail: a new file is private whatever the
  // umask, and a link planted in the file's place is not followed.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  struct stat info {};
  if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
      (info.st_mode & 077) != 0) {
    ::fchmod(fd, 0600);
  }
  file_ = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
  if (!file_) {
    const int err = errno;
    if (fd >= 0) ::close(fd);
    throw std::system_error(err, std::generic_category(),
                            "cannot open protocol log " + path.string());
  }
}

ProtocolLogWriter::~ProtocolLogWriter() {
  if (file_) std::fclose(file_);
}

void ProtocolLogWriter::write(Direction direction, std::string_view connection_id,
                              std::string_view frame) {
  const std::string line = utc_now() + " c-" + std::string(connection_id) +
                           (direction == Direction::in ? " <- " : " -> ") + escape_control(frame) +
                           "\n";
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

std::shared_ptr<ProtocolLog> noop_protocol_log_writer() {
  static const auto writer = std::make_shared<NoopProtocolLog>();
  return writer;
}

}  // namespace quillpost::comms
