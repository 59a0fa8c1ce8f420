// HTTP GET through libcurl: the "pycurl" engine's transport for service
// discovery and documents.
//
// libcurl and the libraries it pulls in (a second TLS stack, Kerberos, LDAP,
// SSH...) live in the module libquillpost_curl.so, opened the first time a
// transfer or a credentials check asks for it: a configuration that keeps
// the "requests" engine never maps them. This header needs no libcurl.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillpost/host/comms/clock.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/process/module.h"

namespace quillpost::curl {

// Takes a transfer's body as it arrives (on the calling thread).
class Receiver {
 public:
  virtual ~Receiver() = default;
  // The length the server announced, once, before the first bytes, when it
  // announced one. false ends the transfer (Outcome::stopped).
  virtual bool length(std::uint64_t /*bytes*/) { return true; }
  // Bytes of the body; false ends the transfer (Outcome::stopped).
  virtual bool write(std::string_view bytes) = 0;
  // Polled during the transfer; true ends it (Outcome::cancelled).
  virtual bool cancelled() const { return false; }
};

struct Get {
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;  // in order
  const HttpConfig* http_config = nullptr;                   // proxy, TLS verification, CA file
  // Time-outs; 0 leaves each out: the whole transfer (none), the connect with
  // proxy and TLS handshakes (libcurl's own), less than a byte a second for
  // this long (never).
  std::chrono::duration<double> timeout{0};
  std::chrono::duration<double> connect_timeout{0};
  std::chrono::duration<double> stall_timeout{0};
  int max_redirects = -1;  // redirects followed; -1: none (a 3xx is the answer)
  std::string body{};      // not empty: sent as a POST with this body
};

struct Outcome {
  enum class Kind {
    ok,                  // a whole answer with a status below 400
    http_error,          // the server answered `status` (400 or more)
    stopped,             // the receiver refused the bytes
    cancelled,           // the receiver cancelled
    timed_out,           // a time-out of the request ran out
    cut_short,           // fewer bytes than announced
    too_many_redirects,  // more than max_redirects
    refused_url,         // a URL (or a redirect to one) that is not http or https
    failed,              // anything else: `text` says what
  };
  Kind kind = Kind::ok;
  long status = 0;       // the last HTTP status, when an answer came
  std::string text;      // libcurl's words for the failure (never a URL or credentials)
  std::string detail;    // libcurl's own message: may quote the URL
  long retry_after = 0;  // the answer's Retry-After in seconds (0: none)
};

// What `get` looks for in the module. The outcome comes back through a
// reference: a C-linkage entry cannot return a C++ type.
using GetEntry = void (*)(const Get&, Receiver&, Outcome&);
inline constexpr const char* kModule = "libquillpost_curl.so";

// Runs one GET; opens the module on first use (throws ModuleError when it
// cannot be).
inline Outcome get(const Get& request, Receiver& receiver) {
  static const GetEntry entry = module_entry<GetEntry>(kModule, "quillpost_curl_get");
  Outcome outcome;
  entry(request, receiver, outcome);
  return outcome;
}

// "<text>[: <detail>][ (proxy <redacted>)]": a failure for people. Leave the
// detail out where the URL holds a secret.
inline std::string failure_text(const Outcome& outcome, const HttpConfig& http_config,
                                bool with_detail) {
  std::string why = outcome.text;
  if (with_detail && !outcome.detail.empty()) why += ": " + outcome.detail;
  if (http_config.proxy) why += " (proxy " + http_config.proxy->str_redacted() + ")";
  // libcurl words a certificate refused for its dates after OpenSSL.
  const bool not_yet_valid =
      outcome.detail.find("certificate is not yet valid") != std::string::npos;
  if (not_yet_valid || outcome.detail.find("certificate has expired") != std::string::npos) {
    const std::string clock = comms::clock_reason_for_certificate(not_yet_valid);
    if (!clock.empty()) why += "; " + clock;
  }
  return why;
}

}  // namespace quillpost::curl
