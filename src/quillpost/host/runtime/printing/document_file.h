// The file a document is downloaded into: written as it arrives, counted,
// hashed behind the writer, refused past the size the offer declared.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "quillpost/host/runtime/printing/download.h"
#include "quillpost/host/runtime/printing/trailing_hasher.h"

namespace quillpost::printing {

class DocumentFile {
 public:
  // Opens (or empties) the request's file, private to this user, after
  // checking that the disk has room for the declared size. On failure
  // `failure()` says why and every write fails.
  explicit DocumentFile(const DownloadRequest& request);
  ~DocumentFile();
  DocumentFile(const DocumentFile&) = delete;
  DocumentFile& operator=(const DocumentFile&) = delete;

  // Starts over (a redirect or a retry): the file emptied, the hash reset.
  void restart();
  // Checks an announced length against the declared size; false (with the
  // failure set) when it differs.
  bool expect_length(std::uint64_t length);
  // Appends `data`; false (with the failure set) when the document grows past
  // the declared size or the disk refuses it.
  bool write(std::string_view data);
  // The result of a download that got all its bytes: size and SHA-256
  // checked. The file is not synced: a document found after a crash is
  // checked again before it is printed.
  DownloadResult finish();

  const std::optional<DownloadResult>& failure() const { return failure_; }
  std::uint64_t written() const { return written_; }

 private:
  bool fail(DownloadResult::Kind kind, std::string reason);

  const DownloadRequest& request_;
  int fd_ = -1;
  std::uint64_t written_ = 0;
  std::unique_ptr<TrailingHasher> hasher_;
  std::optional<DownloadResult> failure_;
};

// "HTTP 404 Not Found" and what it means for a document: a server error, 408
// and 429 may pass (transient, with the server's Retry-After), any other
// refusal will not.
DownloadResult http_status_result(int status, std::string_view reason_phrase,
                                  std::chrono::seconds retry_after = {});

}  // namespace quillpost::printing
