#include "quillpost/host/runtime/printing/document_file.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "quillpost/host/process/os_error.h"
#include "quillpost/host/process/private_files.h"
#include "quillpost/host/runtime/printing/offer.h"

namespace quillpost::printing {
namespace {

// Room the disk keeps besides the document: the journal and the logs still
// need to be written once it is there.
constexpr std::uint64_t kDiskReserveBytes = 16 << 20;

std::string mib(std::uint64_t bytes) {
  return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB";
}

}  // namespace

DocumentFile::DocumentFile(const DownloadRequest& request) : request_(request) {
  if (request.size > MAX_DOCUMENT_BYTES) {
    fail(DownloadResult::Kind::failed, "the document is larger than the client takes (2 GiB)");
    return;
  }
  struct statvfs disk {};
  if (::statvfs(request.file.parent_path().c_str(), &disk) == 0) {
    const std::uint64_t free = std::uint64_t{disk.f_bavail} * disk.f_frsize;
    if (free < request.size + kDiskReserveBytes) {
      fail(DownloadResult::Kind::disk, "not enough disk space for the document: " +
                                           mib(request.size) + " needed, " + mib(free) + " free");
      return;
    }
  }
  try {
    fd_ = open_private_append(request.file);
  } catch (const OsError& e) {
    fail(DownloadResult::Kind::disk, std::string("cannot write the document: ") + e.what());
    return;
  }
  restart();
}

DocumentFile::~DocumentFile() {
  if (fd_ >= 0) ::close(fd_);
}

void DocumentFile::restart() {
  if (fd_ < 0) return;
  hasher_.reset();
  written_ = 0;
  if (::ftruncate(fd_, 0) != 0) {
    fail(DownloadResult::Kind::disk,
         std::string("cannot write the document: ") + std::strerror(errno));
    return;
  }
  hasher_ = std::make_unique<TrailingHasher>(request_.file);
}

bool DocumentFile::expect_length(std::uint64_t length) {
  if (failure_) return false;
  if (length == request_.size) return true;
  return fail(DownloadResult::Kind::failed, "the document is " + std::to_string(length) +
                                                " bytes long, the offer said " +
                                                std::to_string(request_.size));
}

bool DocumentFile::write(std::string_view data) {
  if (failure_) return false;
  if (data.size() > request_.size - written_) {
    return fail(DownloadResult::Kind::failed, "the document is larger than the offer said (" +
                                                  std::to_string(request_.size) + " bytes)");
  }
  while (!data.empty()) {
    const ssize_t n = ::write(fd_, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSPC || errno == EDQUOT) {
        return fail(DownloadResult::Kind::disk, "the disk is full");
      }
      return fail(DownloadResult::Kind::disk,
                  std::string("cannot write the document: ") + std::strerror(errno));
    }
    data.remove_prefix(static_cast<std::size_t>(n));
    written_ += static_cast<std::uint64_t>(n);
  }
  hasher_->advance(written_);
  return true;
}

DownloadResult DocumentFile::finish() {
  if (failure_) return *failure_;
  if (written_ != request_.size) {
    return {DownloadResult::Kind::transient, "the document arrived cut short (" +
                                                 std::to_string(written_) + " of " +
                                                 std::to_string(request_.size) + " bytes)"};
  }
  const std::string sha256 = hasher_->finish(written_);
  if (sha256.empty()) {
    return {DownloadResult::Kind::disk, "cannot read the downloaded document back"};
  }
  if (sha256 != request_.sha256) {
    return {DownloadResult::Kind::failed, "the document's SHA-256 does not match the offer"};
  }
  return {};
}

bool DocumentFile::fail(DownloadResult::Kind kind, std::string reason) {
  if (!failure_) failure_ = DownloadResult{kind, std::move(reason)};
  return false;
}

DownloadResult http_status_result(int status, std::string_view reason_phrase,
                                  std::chrono::seconds retry_after) {
  std::string text = "the service answered HTTP " + std::to_string(status);
  if (!reason_phrase.empty()) text += " " + std::string(reason_phrase.substr(0, 64));
  if (status == 404) text += ": it has no such document";
  const bool passes = status >= 500 || status == 408 || status == 429;
  return {passes ? DownloadResult::Kind::transient : DownloadResult::Kind::failed,
          "cannot download the document: " + text, passes ? retry_after : std::chrono::seconds{0}};
}

std::optional<std::chrono::seconds> parse_retry_after(std::string_view text,
                                                      std::chrono::system_clock::time_point now) {
  constexpr std::int64_t kDay = 86400;
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.empty() || text.size() > 64) return std::nullopt;
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    // Long runs of digits are a day too: no overflow to guard.
    if (text.size() > 6) return std::chrono::seconds(kDay);
    return std::chrono::seconds(std::min<std::int64_t>(std::stoll(std::string(text)), kDay));
  }
  // The HTTP date, "Sun, 06 Nov 1994 08:49:37 GMT", read without the locale
  // (whose month names may not be English).
  static constexpr std::string_view kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const std::string copy(text);
  char weekday[4] = {}, month[4] = {};
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, used = 0;
  if (std::sscanf(copy.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d GMT%n", weekday, &day,
                  month, &year, &hour, &minute, &second, &used) != 7 ||
      used != static_cast<int>(copy.size())) {
    return std::nullopt;
  }
  const auto m = kMonths.find(month);
  if (m == std::string_view::npos || m % 3 != 0 || std::strlen(month) != 3) return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = static_cast<int>(m / 3);
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  const std::int64_t at = timegm(&tm);
  const std::int64_t from =
      std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
  return std::chrono::seconds(std::clamp<std::int64_t>(at - from, 0, kDay));
}

}  // namespace quillpost::printing
