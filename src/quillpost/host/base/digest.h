// SHA-256 of a file and lower-case hex, for the printing agent and the local
// service, which both check a document against the digest its offer gave.
// Header-only: including it adds no link dependency beyond OpenSSL itself.
#pragma once

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

namespace quillpost {

// Lower-case hex of `length` bytes.
inline std::string hex_text(const unsigned char* bytes, std::size_t length) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * length);
  for (std::size_t i = 0; i < length; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

// The SHA-256 of the file at `path` in lower-case hex; empty when it cannot be
// opened (a symbolic link is not followed) or read to its end.
inline std::string file_sha256(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "";
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> hash(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool ok = hash && EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr) == 1;
  std::array<char, 128 * 1024> buffer{};
  while (ok) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = EVP_DigestUpdate(hash.get(), buffer.data(), static_cast<std::size_t>(n)) == 1;
  }
  ::close(fd);
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned length = 0;
  if (!ok || EVP_DigestFinal_ex(hash.get(), digest.data(), &length) != 1) return "";
  return hex_text(digest.data(), length);
}

}  // namespace quillpost
