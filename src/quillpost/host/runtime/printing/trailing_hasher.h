// The SHA-256 of a file that is still being written: a thread of its own
// reads the file behind the writer (from the page cache) and hashes it, so
// that a download spends no time of its own on hashing. Only the writer's
// thread calls the members.
#pragma once

#include <openssl/evp.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "quillpost/host/base/digest.h"

namespace quillpost::printing {

class TrailingHasher {
 public:
  explicit TrailingHasher(const std::filesystem::path& path);
  // Stops the thread, whether or not it caught up.
  ~TrailingHasher();
  TrailingHasher(const TrailingHasher&) = delete;
  TrailingHasher& operator=(const TrailingHasher&) = delete;

  // The file now holds `written` bytes.
  void advance(std::uint64_t written);
  // Waits until the first `size` bytes are hashed; their SHA-256 in
  // lower-case hex, or empty when the file could not be read.
  std::string finish(std::uint64_t size);

 private:
  void run();

  int fd_ = -1;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> hash_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t available_ = 0;  // bytes the writer has written
  std::uint64_t hashed_ = 0;     // bytes hashed
  bool failed_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace quillpost::printing
