#include "service/document_file.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace quillpost::service {
namespace {

constexpr std::size_t digest_chunk = 256 * 1024;

std::string hex(const unsigned char* bytes, std::size_t n) {
  return comms::print::hex(bytes, n);
}

// Opens a regular file for reading. Non-blocking, so that opening a FIFO
// does not wait for a writer; the type check then refuses it.
int open_regular(const std::filesystem::path& file, std::uint64_t& size, std::string& error) {
  if (!file.is_absolute()) {
    error = "the document path is not absolute";
    return -1;
  }
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    error = "cannot open " + file.string() + ": " + std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = file.string() + " is not a regular file";
  } else if (static_cast<std::uint64_t>(st.st_size) > max_document_bytes) {
    error = file.string() + " is over the document limit of " + std::to_string(max_document_bytes) +
            " bytes";
  } else {
    size = static_cast<std::uint64_t>(st.st_size);
    return fd;
  }
  ::close(fd);
  return -1;
}

ssize_t read_some(int fd, char* buffer, std::size_t capacity) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, capacity);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

std::variant<FileDigest, std::string> digest_file(const std::filesystem::path& file) {
  std::string error;
  std::uint64_t expected = 0;
  const int fd = open_regular(file, expected, error);
  if (fd < 0) return error;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::vector<char> buffer(digest_chunk);
  FileDigest digest;
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
  while (ok) {
    const ssize_t n = read_some(fd, buffer.data(), buffer.size());
    if (n < 0) {
      error = "cannot read " + file.string() + ": " + std::strerror(errno);
      ok = false;
    } else if (n == 0) {
      break;
    } else {
      digest.size += static_cast<std::uint64_t>(n);
      // A file that grows while it is read must still stay within the limit.
      if (digest.size > max_document_bytes) {
        error = file.string() + " grew over the document limit while it was read";
        ok = false;
      } else {
        ok = EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(n)) == 1;
      }
    }
  }
  ::close(fd);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_size = 0;
  if (ok) ok = EVP_DigestFinal_ex(ctx.get(), md, &md_size) == 1;
  if (!ok) return error.empty() ? "SHA-256 of " + file.string() + " failed" : error;
  digest.sha256 = hex(md, md_size);
  return digest;
}

std::string random_hex(std::size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) {
    throw std::runtime_error("the random generator failed");
  }
  return hex(raw.data(), raw.size());
}

std::string random_token() {
  return random_hex(32);
}

bool same_token(std::string_view a, std::string_view b) {
  return a.size() == b.size() && !a.empty() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

DocumentReader::DocumentReader(const std::filesystem::path& file, bool corrupt)
    : corrupt_(corrupt) {
  fd_ = open_regular(file, size_, error_);
}

DocumentReader::~DocumentReader() {
  if (fd_ >= 0) ::close(fd_);
}

std::size_t DocumentReader::read(char* buffer, std::size_t capacity) {
  const std::uint64_t end = std::min(size_, limit_);
  if (fd_ < 0 || offset_ >= end) return 0;
  capacity = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, end - offset_));
  const ssize_t n = read_some(fd_, buffer, capacity);
  if (n < 0) throw std::runtime_error(std::string("read failed: ") + std::strerror(errno));
  if (n == 0) throw std::runtime_error("the document shrank while it was served");
  if (corrupt_) {
    for (ssize_t i = 0; i < n; ++i) buffer[i] = static_cast<char>(~buffer[i]);
  }
  offset_ += static_cast<std::uint64_t>(n);
  return static_cast<std::size_t>(n);
}

}  // namespace quillpost::service
