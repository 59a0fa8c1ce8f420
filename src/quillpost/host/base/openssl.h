// OpenSSL helpers for every module that uses OpenSSL (the connection, the login
// module, the local service and the tests' PKI). Header-only: including it
// adds no link dependency beyond OpenSSL itself.
#pragma once

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <string>
#include <string_view>

namespace quillpost {

// OpenSSL without its exit-time cleanup.
//
// By default OpenSSL frees its global locks and tables from an atexit handler.
// The connection reactor's thread is never stopped and detached workers may
// still be inside a TLS call when the process exits, so that cleanup can pull
// a lock out from under them. Only the first initialization of the process
// decides, so every module that may be the first to use OpenSSL (directly or
// through libcurl) calls this before anything else touches it. The memory is
// the process's until exit either way.
inline void init_openssl_without_exit_cleanup() {
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
}

// Takes every error off this thread's OpenSSL error queue and joins their
// texts with "; ". Empty when the queue was empty.
inline std::string openssl_error_text() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text;
}

// Standard base64 with padding, by OpenSSL's own encoder.
inline std::string base64(std::string_view in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(in.data()),
                                static_cast<int>(in.size()));
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

}  // namespace quillpost
