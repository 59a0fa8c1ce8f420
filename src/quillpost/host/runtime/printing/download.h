// Fetching a job's document from the service into a file, with the HTTP
// engine, proxy, TLS settings and redirect limit of the configuration. The
// document streams to disk (never whole in memory), its size and SHA-256 are
// checked against the offer as it arrives, and anything larger than the offer
// said (or than MAX_DOCUMENT_BYTES) is refused before it fills the disk.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "quillpost/host/config/records.h"

namespace quillpost::printing {

// A cancellation that reaches a download blocked in a read: `cancel` sets the
// flag and runs the hook the download registered (it closes the socket).
class CancelToken {
 public:
  void cancel();
  bool cancelled() const { return cancelled_.load(); }
  // Runs `hook` on cancel (at once when already cancelled); replaces the last
  // one. An empty hook unregisters.
  void on_cancel(std::function<void()> hook);

 private:
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  std::function<void()> hook_;
};

struct DownloadRequest {
  std::string url;  // holds a secret token: never logged
  std::filesystem::path file;
  std::uint64_t size = 0;  // what the offer declared
  std::string sha256;      // lower-case hex
};

struct DownloadResult {
  enum class Kind {
    ok,
    failed,     // will not get better by trying again (a 4xx answer, checksum, size)
    transient,  // the network or the server may do better later (refused, cut short, 5xx, 429)
    disk,       // the disk is full or cannot be written
    cancelled,
  };
  Kind kind = Kind::ok;
  std::string reason;  // for people; never holds the URL's token
  // How long the server asked to be left alone (Retry-After); 0: it did not say.
  std::chrono::seconds retry_after{0};
};

// A Retry-After header's wait: delta-seconds or an HTTP date, at most a day;
// nullopt for anything else. `now` is the clock the date is measured from.
std::optional<std::chrono::seconds> parse_retry_after(std::string_view text,
                                                      std::chrono::system_clock::time_point now);

struct DownloadTimeouts {
  std::chrono::duration<double> connect{10.0};  // connect, proxy and TLS handshakes together
  std::chrono::duration<double> stall{30.0};    // the longest wait for the next bytes
};

// Downloads with the engine `http_config.engine` names ("pycurl": libcurl;
// anything else: the Beast engine over the connection's own sockets).
DownloadResult download_document(const DownloadRequest& request, const HttpConfig& http_config,
                                 CancelToken& cancel, const DownloadTimeouts& timeouts = {});

DownloadResult beast_download(const DownloadRequest& request, const HttpConfig& http_config,
                              CancelToken& cancel, const DownloadTimeouts& timeouts);
DownloadResult curl_download(const DownloadRequest& request, const HttpConfig& http_config,
                             CancelToken& cancel, const DownloadTimeouts& timeouts);

}  // namespace quillpost::printing
