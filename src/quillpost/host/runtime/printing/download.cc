#include "quillpost/host/runtime/printing/download.h"

namespace quillpost::printing {

DownloadResult download_document(const DownloadRequest& request, const HttpConfig& http_config,
                                 CancelToken& cancel, const DownloadTimeouts& timeouts) {
  if (http_config.engine == "pycurl") return curl_download(request, http_config, cancel, timeouts);
  return beast_download(request, http_config, cancel, timeouts);
}

void CancelToken::cancel() {
  cancelled_.store(true);
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    hook = hook_;
  }
  if (hook) hook();
}

void CancelToken::on_cancel(std::function<void()> hook) {
  {
    std::lock_guard lock(mutex_);
    hook_ = hook;
  }
  if (hook && cancelled_.load()) hook();
}

}  // namespace quillpost::printing
