// OpenSSL without its exit-time cleanup.
//
// By default OpenSSL frees its global locks and tables from an atexit handler.
// The connection reactor's thread is never stopped and detached workers may
// still be inside a TLS call when the process exits, so that cleanup can pull
// a lock out from under them. Only the first initialization of the process
// decides, so every module that may be the first to use OpenSSL (directly or
// through libcurl) calls this before anything else touches it. The memory is
// the process's until exit either way.
#pragma once

#include <openssl/crypto.h>

namespace quillpost {

inline void init_openssl_without_exit_cleanup() {
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
}

}  // namespace quillpost
