// What every libcurl request of the application shares: the configured proxy
// (and no other: never one from the environment), TLS 1.2 or newer with the
// configured verification and CA file, http and https only.
#pragma once

#include <curl/curl.h>

#include "quillpost/host/config/records.h"

namespace quillpost::curl {

// curl_global_init (and OpenSSL's set-up without exit-time clean-up), once
// per process.
void global_init_once();

// Sets the options above on `curl`. Throws std::runtime_error for a proxy
// type libcurl is not given.
void set_connection_options(CURL* curl, const HttpConfig& http_config);

// Hands the Date header of the answer `curl` received to the clock check:
// the request went out when the transfer was ready to send (`started` is the
// wall time, comms::wall_seconds(), when the transfer began) and the answer
// came with its first byte.
void note_answer_date(CURL* curl, double started);

}  // namespace quillpost::curl
