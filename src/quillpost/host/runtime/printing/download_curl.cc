// The "pycurl" engine for documents: a GET through the libcurl module, the
// body streamed into the document file.
#include "quillpost/host/curl/transfer.h"
#include "quillpost/host/runtime/printing/document_file.h"
#include "quillpost/host/runtime/printing/download.h"

namespace quillpost::printing {
namespace {

class ToFile : public curl::Receiver {
 public:
  ToFile(DocumentFile& file, const CancelToken& cancel) : file_(file), cancel_(cancel) {}
  bool length(std::uint64_t bytes) override { return file_.expect_length(bytes); }
  bool write(std::string_view bytes) override { return file_.write(bytes); }
  bool cancelled() const override { return cancel_.cancelled(); }

 private:
  DocumentFile& file_;
  const CancelToken& cancel_;
};

}  // namespace

DownloadResult curl_download(const DownloadRequest& request, const HttpConfig& http_config,
                             CancelToken& cancel, const DownloadTimeouts& timeouts) {
  DocumentFile file(request);
  if (file.failure()) return *file.failure();
  curl::Get get{request.url, {}, &http_config};
  get.connect_timeout = timeouts.connect;
  get.stall_timeout = timeouts.stall;
  get.max_redirects = http_config.max_http_redirects;
  ToFile receiver(file, cancel);
  curl::Outcome outcome;
  try {
    outcome = curl::get(get, receiver);
  } catch (const ModuleError& e) {
    return {DownloadResult::Kind::failed, std::string("cannot download the document: ") + e.what()};
  }
  if (cancel.cancelled()) return {DownloadResult::Kind::cancelled, "cancelled"};
  if (file.failure()) return *file.failure();
  using Kind = curl::Outcome::Kind;
  switch (outcome.kind) {
    case Kind::ok:
    case Kind::cut_short:  // the file's size check says it is short
      return file.finish();
    case Kind::http_error:
      return http_status_result(static_cast<int>(outcome.status), "",
                                std::chrono::seconds(outcome.retry_after));
    case Kind::too_many_redirects:
      return {DownloadResult::Kind::failed,
              "cannot download the document: too many redirects (more than " +
                  std::to_string(http_config.max_http_redirects) + ")"};
    case Kind::refused_url:
      return {DownloadResult::Kind::failed,
              "cannot download the document: the service redirected to a URL that is not "
              "followed"};
    case Kind::timed_out:
      return {DownloadResult::Kind::transient,
              "the service stopped sending the document (nothing for " +
                  std::to_string(static_cast<int>(timeouts.stall.count())) + " s)"};
    default:
      break;
  }
  // libcurl's own message may quote the URL, whose token is a secret: only
  // its code's text and the proxy are said.
  return {DownloadResult::Kind::transient,
          "the document's download failed: " + curl::failure_text(outcome, http_config, false)};
}

}  // namespace quillpost::printing
