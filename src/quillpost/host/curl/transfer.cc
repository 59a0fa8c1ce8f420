// The module's GET: one libcurl easy handle per transfer, on the caller's
// thread, the body handed to the receiver as it arrives.
#include "quillpost/host/curl/transfer.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>

#include "quillpost/host/comms/clock.h"
#include "quillpost/host/curl/curl_options.h"

namespace quillpost::curl {
namespace {

struct Transfer {
  CURL* curl = nullptr;
  Receiver* receiver = nullptr;
  bool announced = false;
  bool stopped = false;
};

std::size_t on_data(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  if (!t->announced) {
    t->announced = true;
    curl_off_t length = -1;
    if (curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length >= 0 && !t->receiver->length(static_cast<std::uint64_t>(length))) {
      t->stopped = true;
      return 0;  // libcurl stops with a write error
    }
  }
  if (t->receiver->write(std::string_view(data, n))) return n;
  t->stopped = true;
  return 0;
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(user)->receiver->cancelled() ? 1 : 0;
}

using Headers = std::unique_ptr<curl_slist, void (*)(curl_slist*)>;

Headers header_list(const Get& request) {
  Headers list(nullptr, curl_slist_free_all);
  for (const auto& [name, value] : request.headers) {
    if (name.find_first_of("\r\n") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos) {
      throw std::runtime_error("request header '" + name + "' holds a line break");
    }
    const std::string line = name + ": " + value;
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (!grown) throw std::runtime_error("out of memory for the request headers");
    list.release();
    list.reset(grown);
  }
  return list;
}

Outcome::Kind kind_of(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return Outcome::Kind::ok;
    case CURLE_HTTP_RETURNED_ERROR:
      return Outcome::Kind::http_error;
    case CURLE_ABORTED_BY_CALLBACK:
      return Outcome::Kind::cancelled;
    case CURLE_OPERATION_TIMEDOUT:
      return Outcome::Kind::timed_out;
    case CURLE_PARTIAL_FILE:
      return Outcome::Kind::cut_short;
    case CURLE_TOO_MANY_REDIRECTS:
      return Outcome::Kind::too_many_redirects;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return Outcome::Kind::refused_url;
    default:
      return Outcome::Kind::failed;
  }
}

// Whole milliseconds for libcurl, at most a day (a longer time-out is as good
// as none, and a larger count would not fit in a long on every platform).
long milliseconds(std::chrono::duration<double> time) {
  const double ms = std::chrono::duration<double, std::milli>(time).count();
  return ms < 86'400'000.0 ? static_cast<long>(ms) : 86'400'000L;
}

Outcome run(const Get& request, Receiver& receiver) {
  global_init_once();
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return {Outcome::Kind::failed, 0, "libcurl could not start a request", ""};
  CURL* c = curl.get();
  const Headers headers = header_list(request);
  Transfer transfer{c, &receiver};
  char error[CURL_ERROR_SIZE] = {0};
  set_connection_options(c, *request.http_config);
  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  if (!request.body.empty()) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.c_str());
  }
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_data);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  if (request.timeout.count() > 0) {
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, milliseconds(request.timeout));
  }
  if (request.connect_timeout.count() > 0) {
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(request.connect_timeout));
  }
  if (request.stall_timeout.count() > 0) {
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, milliseconds(request.stall_timeout) / 1000));
  }
  if (request.max_redirects >= 0) {
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, static_cast<long>(request.max_redirects));
    // A redirect never leaves TLS for plain HTTP.
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR,
                     request.url.starts_with("https://") ? "https" : "http,https");
  }

  const double started = comms::wall_seconds();
  const CURLcode code = curl_easy_perform(c);
  note_answer_date(c, started);
  Outcome outcome;
  outcome.kind = transfer.stopped ? Outcome::Kind::stopped : kind_of(code);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &outcome.status);
  // libcurl reads both forms of the header (seconds or a date) and clamps them.
  curl_off_t retry_after = 0;
  if (curl_easy_getinfo(c, CURLINFO_RETRY_AFTER, &retry_after) == CURLE_OK && retry_after > 0) {
    outcome.retry_after = static_cast<long>(std::min<curl_off_t>(retry_after, 86400));
  }
  // A proxy's refusal of the tunnel is no answer of the server's.
  if (outcome.kind == Outcome::Kind::http_error && outcome.status == 0) {
    outcome.kind = Outcome::Kind::failed;
  }
  if (code != CURLE_OK) {
    outcome.text = curl_easy_strerror(code);
    outcome.detail = error;
  }
  return outcome;
}

}  // namespace
}  // namespace quillpost::curl

extern "C" __attribute__((visibility("default"))) void quillpost_curl_get(
    const quillpost::curl::Get& request, quillpost::curl::Receiver& receiver,
    quillpost::curl::Outcome& outcome) {
  try {
    outcome = quillpost::curl::run(request, receiver);
  } catch (const std::exception& e) {
    outcome = {quillpost::curl::Outcome::Kind::failed, 0, e.what(), ""};
  }
}
