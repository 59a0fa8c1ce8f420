// The "pycurl" engine for documents: libcurl, with the connection options
// every libcurl request of the application shares.
#include <curl/curl.h>

#include <memory>

#include "quillpost/host/printing/document_file.h"
#include "quillpost/host/printing/download.h"
#include "quillpost/host/runtime/comms/curl_options.h"

namespace quillpost::printing {
namespace {

struct Transfer {
  CURL* curl = nullptr;
  DocumentFile* file = nullptr;
  CancelToken* cancel = nullptr;
  bool checked_length = false;
};

std::size_t on_data(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  if (!t->checked_length) {
    t->checked_length = true;
    curl_off_t length = -1;
    if (curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length >= 0 && !t->file->expect_length(static_cast<std::uint64_t>(length))) {
      return 0;  // libcurl stops with a write error
    }
  }
  return t->file->write(std::string_view(data, n)) ? n : 0;
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(user)->cancel->cancelled() ? 1 : 0;
}

}  // namespace

DownloadResult curl_download(const DownloadRequest& request, const HttpConfig& http_config,
                             CancelToken& cancel, const DownloadTimeouts& timeouts) {
  DocumentFile file(request);
  if (file.failure()) return *file.failure();
  comms::curl_global_init_once();
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return {DownloadResult::Kind::transient, "libcurl could not start a request"};
  CURL* c = curl.get();
  Transfer transfer{c, &file, &cancel};
  char error[CURL_ERROR_SIZE] = {0};
  try {
    comms::set_curl_connection_options(c, http_config);
  } catch (const std::runtime_error& e) {
    return {DownloadResult::Kind::failed, std::string("cannot download the document: ") + e.what()};
  }
  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_data);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect * 1000));
  // Less than a byte a second for the stall time ends the transfer.
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME,
                   static_cast<long>(timeouts.stall < 1 ? 1 : timeouts.stall));
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, static_cast<long>(http_config.max_http_redirects));
  // A redirect never leaves TLS for plain HTTP.
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR,
                   request.url.starts_with("https://") ? "https" : "http,https");

  const CURLcode rc = curl_easy_perform(c);
  if (cancel.cancelled()) return {DownloadResult::Kind::cancelled, "cancelled"};
  if (file.failure()) return *file.failure();
  switch (rc) {
    case CURLE_OK:
      return file.finish();
    case CURLE_HTTP_RETURNED_ERROR: {
      long status = 0;
      curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
      return http_status_result(static_cast<int>(status), "");
    }
    case CURLE_TOO_MANY_REDIRECTS:
      return {DownloadResult::Kind::failed,
              "cannot download the document: too many redirects (more than " +
                  std::to_string(http_config.max_http_redirects) + ")"};
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return {DownloadResult::Kind::failed,
              "cannot download the document: the service redirected to a URL that is not "
              "followed"};
    case CURLE_PARTIAL_FILE:
      return file.finish();  // cut short
    case CURLE_OPERATION_TIMEDOUT:
      return {DownloadResult::Kind::transient,
              "the service stopped sending the document (nothing for " +
                  std::to_string(static_cast<int>(timeouts.stall)) + " s)"};
    default:
      break;
  }
  // libcurl's texts may quote the URL, whose token is a secret: only its
  // code's text and the proxy are said.
  return {DownloadResult::Kind::transient,
          "the document's download failed: " + comms::curl_failure_text(rc, nullptr, http_config)};
}

}  // namespace quillpost::printing
