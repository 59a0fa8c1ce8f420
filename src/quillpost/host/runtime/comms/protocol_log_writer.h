// The server protocol log: one line per frame in and out.
//
// Line form: "2026-12-08T14:55:46.123456Z c-<connection id> <- <frame>" for a
// frame read from the server, "->" for one written to it. Writes from the
// listener and writer threads are serialised.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>

namespace quillpost::comms {

enum class Direction { in, out };

class ProtocolLog {
 public:
  virtual ~ProtocolLog() = default;
  // Records one frame (without its line feed).
  virtual void write(Direction direction, std::string_view connection_id,
                     std::string_view frame) = 0;
};

class ProtocolLogWriter final : public ProtocolLog {
 public:
  // Opens `path` for appending. Throws std::system_error with the OS error when
  // the file cannot be opened.
  explicit ProtocolLogWriter(const std::filesystem::path& path);
  ~ProtocolLogWriter() override;

  void write(Direction direction, std::string_view connection_id, std::string_view frame) override;

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

// A writer that records nothing (shared, stateless).
std::shared_ptr<ProtocolLog> noop_protocol_log_writer();

}  // namespace quillpost::comms
