#include "quillpost/host/runtime/printing/trailing_hasher.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "quillpost/host/process/threads.h"

namespace quillpost::printing {

TrailingHasher::TrailingHasher(const std::filesystem::path& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)),
      hash_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
  EVP_DigestInit_ex(hash_.get(), EVP_sha256(), nullptr);
  failed_ = fd_ < 0;
  thread_ = start_thread([this] { run(); });
}

TrailingHasher::~TrailingHasher() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
  if (fd_ >= 0) ::close(fd_);
}

void TrailingHasher::advance(std::uint64_t written) {
  {
    std::lock_guard lock(mutex_);
    available_ = written;
  }
  changed_.notify_all();
}

std::string TrailingHasher::finish(std::uint64_t size) {
  advance(size);
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return failed_ || hashed_ >= size; });
  if (failed_) return "";
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned length = 0;
  EVP_DigestFinal_ex(hash_.get(), digest.data(), &length);
  return hex_text(digest.data(), length);
}

void TrailingHasher::run() {
  std::vector<char> buffer(256 * 1024);
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] { return stopping_ || failed_ || hashed_ < available_; });
    if (stopping_ || failed_) return;
    std::uint64_t at = hashed_;
    const std::uint64_t until = available_;
    lock.unlock();
    bool failed = false;
    while (at < until) {
      const auto want =
          static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), until - at));
      const ssize_t n = ::pread(fd_, buffer.data(), want, static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed = true;
        break;
      }
      EVP_DigestUpdate(hash_.get(), buffer.data(), static_cast<std::size_t>(n));
      at += static_cast<std::uint64_t>(n);
    }
    lock.lock();
    hashed_ = at;
    failed_ = failed_ || failed;
    changed_.notify_all();
  }
}

}  // namespace quillpost::printing
