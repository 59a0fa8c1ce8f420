// The documents of print jobs on disk: their size and SHA-256 taken by
// streaming through the file, the chunked reader that serves them (whole,
// altered or cut short for the fault knobs) and the job's secret token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>

#include "quillpost/host/comms/print_protocol.h"

namespace quillpost::service {

// The largest document the protocol lets an offer announce.
inline constexpr std::uint64_t max_document_bytes = comms::print::MAX_DOCUMENT_BYTES;

struct FileDigest {
  std::uint64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
};

// Size and SHA-256 of a regular file, read in chunks (never whole in memory).
// The text of what is wrong otherwise: missing, unreadable, not a regular file
// (a FIFO or a device would never end), or over max_document_bytes.
std::variant<FileDigest, std::string> digest_file(const std::filesystem::path& file);

// 32 random bytes from OpenSSL as 64 hex digits. Throws std::runtime_error
// when the generator fails.
std::string random_token();
// `bytes` random bytes as hex digits.
std::string random_hex(std::size_t bytes);

// Whether two tokens are equal, in time that does not depend on where they differ.
bool same_token(std::string_view a, std::string_view b);

// An open document read front to back in chunks. `corrupt` flips every
// byte's bits (same length, different SHA-256); `limit` stops after that many
// bytes (a cut-off answer).
class DocumentReader {
 public:
  // Opens `file` as digest_file does; ok() says whether that worked.
  DocumentReader(const std::filesystem::path& file, bool corrupt);
  ~DocumentReader();
  DocumentReader(const DocumentReader&) = delete;
  DocumentReader& operator=(const DocumentReader&) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }
  // The file's size when it was opened: what Content-Length announces.
  std::uint64_t size() const { return size_; }
  void limit(std::uint64_t bytes) { limit_ = bytes; }
  std::uint64_t sent() const { return offset_; }

  // Fills `buffer` with the next bytes; 0 at the end (or at the limit).
  // Throws std::runtime_error when the file cannot be read any more, or ends
  // early (it shrank since it was opened).
  std::size_t read(char* buffer, std::size_t capacity);

 private:
  int fd_ = -1;
  std::string error_;
  std::uint64_t size_ = 0;
  std::uint64_t limit_ = UINT64_MAX;
  std::uint64_t offset_ = 0;
  bool corrupt_ = false;
};

}  // namespace quillpost::service
