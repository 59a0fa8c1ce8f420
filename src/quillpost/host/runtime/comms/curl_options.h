// What every libcurl request of the application shares: the configured proxy
// (and no other: never one from the environment), TLS 1.2 or newer with the
// configured verification and CA file, http and https only, and failure
// texts that never show the proxy's credentials.
#pragma once

#include <curl/curl.h>

#include <string>

#include "quillpost/host/config/records.h"

namespace quillpost::comms {

// curl_global_init, once per process.
void curl_global_init_once();

// Sets the options above on `curl`. Throws std::runtime_error for a proxy
// type libcurl is not given.
void set_curl_connection_options(CURL* curl, const HttpConfig& http_config);

// The text of a failed transfer: libcurl's words and its error buffer, and
// the proxy (redacted) when one is used.
std::string curl_failure_text(CURLcode code, const char* error_buffer,
                              const HttpConfig& http_config);

}  // namespace quillpost::comms
