// The "requests" engine for documents: Beast's HTTP parser over the
// connection's own sockets (its proxy kinds and TLS checks), the body
// streamed into the document file.
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <limits>

#include "quillpost/host/base/http_url.h"
#include "quillpost/host/comms/clock.h"
#include "quillpost/host/runtime/comms/wire.h"
#include "quillpost/host/runtime/printing/document_file.h"
#include "quillpost/host/runtime/printing/download.h"
#include "quillpost/host/runtime/printing/offer.h"

namespace quillpost::printing {
namespace {

namespace http = boost::beast::http;

// A body that goes into the document file, or nowhere while `file` is null.
struct DocumentBody {
  struct value_type {
    DocumentFile* file = nullptr;
  };

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>& /*header*/, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>& /*length*/, boost::system::error_code& ec) {
      ec = {};
    }

    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, boost::system::error_code& ec) {
      ec = {};
      std::size_t n = 0;
      for (const auto b : boost::beast::buffers_range_ref(buffers)) {
        if (body_.file &&
            !body_.file->write(std::string_view(static_cast<const char*>(b.data()), b.size()))) {
          ec = http::error::body_limit;
          return n;
        }
        n += b.size();
      }
      return n;
    }

    void finish(boost::system::error_code& ec) { ec = {}; }

   private:
    value_type& body_;
  };
};

constexpr std::size_t kReadBytes = 1024 * 1024;

bool is_redirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The absolute URL a Location header names, relative to `base`.
std::string resolve(const comms::HttpUrl& base, std::string_view location) {
  if (location.starts_with("http://") || location.starts_with("https://")) {
    return std::string(location);
  }
  const std::string origin = (base.https ? "https://" : "http://") + base.host_header;
  if (location.starts_with("//")) return (base.https ? "https:" : "http:") + std::string(location);
  if (location.starts_with("/")) return origin + std::string(location);
  std::string path = base.target.substr(0, base.target.find('?'));
  path = path.substr(0, path.rfind('/') + 1);
  return origin + path + std::string(location);
}

// One request. Sets `redirect` to the next URL for a redirect; otherwise
// streams a 200 answer into `file`.
DownloadResult fetch_once(const std::string& url, const HttpConfig& http_config, DocumentFile& file,
                          CancelToken& cancel, const DownloadTimeouts& timeouts,
                          std::string& redirect) {
  redirect.clear();
  const comms::HttpUrl u = comms::split_http_url(url);
  std::shared_ptr<comms::Socket> sock;
  try {
    sock = comms::open_http_socket(u, http_config, timeouts.connect.count());
  } catch (const comms::SocketFailure& e) {
    return {DownloadResult::Kind::transient,
            std::string("cannot reach the service for the document: ") + e.what()};
  }
  cancel.on_cancel([sock] { sock->close(); });
  struct Unhook {
    CancelToken& token;
    ~Unhook() { token.on_cancel({}); }
  } unhook{cancel};

  const std::string request = "GET " + u.target + " HTTP/1.1\r\nHost: " + u.host_header +
                              "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
  http::response_parser<DocumentBody> parser;
  // The document file enforces the size. (Boost 1.74 compares an unset
  // limit as smaller than any length, so "no limit" is the largest one.)
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  std::vector<char> chunk(kReadBytes);
  std::string pending;
  boost::system::error_code ec;
  bool body_started = false;
  try {
    const double sent = comms::wall_seconds();
    sock->write_all(request);
    while (!parser.is_done()) {
      std::size_t n = 0;
      try {
        n = sock->read_some(std::span<char>(chunk.data(), chunk.size()), timeouts.stall.count());
      } catch (const comms::SocketFailure& e) {
        if (e.kind() != comms::SocketFailure::Kind::end_of_stream) throw;
        // Closed before a byte of the answer: a cut-short answer (Beast
        // asserts that put_eof follows some input).
        if (parser.got_some()) {
          parser.put_eof(ec);
        } else {
          ec = http::error::partial_message;
        }
        if (ec) break;
        continue;
      }
      // The parser takes the bytes where they were read; only what it leaves
      // (a part of a header or of a chunk's size line) is kept for the next read.
      std::string_view data(chunk.data(), n);
      if (!pending.empty()) {
        pending.append(data);
        data = pending;
      }
      std::size_t consumed = 0;
      while (consumed < data.size() && !parser.is_done()) {
        const std::size_t used = parser.put(
            boost::asio::const_buffer(data.data() + consumed, data.size() - consumed), ec);
        consumed += used;
        if (ec == http::error::need_more) {
          ec = {};
          break;
        }
        if (ec) break;
        if (parser.is_header_done() && !body_started) {
          body_started = true;
          const auto& head = parser.get();
          const auto date = head[http::field::date];
          comms::note_http_date(std::string_view(date.data(), date.size()), sent,
                                comms::wall_seconds());
          const int status = head.result_int();
          if (is_redirect(status)) {
            const auto location = head[http::field::location];
            if (location.empty()) return http_status_result(status, "without a Location");
            redirect = resolve(u, std::string_view(location.data(), location.size()));
            return {};
          }
          if (status != 200) {
            const auto phrase = head.reason();
            const auto wait = head[http::field::retry_after];
            return http_status_result(status, std::string_view(phrase.data(), phrase.size()),
                                      parse_retry_after(std::string_view(wait.data(), wait.size()),
                                                        std::chrono::system_clock::now())
                                          .value_or(std::chrono::seconds{0}));
          }
          if (const auto length = parser.content_length(); length && !file.expect_length(*length)) {
            return *file.failure();
          }
          parser.get().body().file = &file;
          parser.eager(true);
        }
      }
      std::string rest(data.substr(consumed));
      pending = std::move(rest);
      if (ec) break;
    }
  } catch (const comms::SocketFailure& e) {
    if (cancel.cancelled()) return {DownloadResult::Kind::cancelled, "cancelled"};
    if (e.kind() == comms::SocketFailure::Kind::timed_out) {
      return {DownloadResult::Kind::transient,
              "the service stopped sending the document (nothing for " +
                  std::to_string(static_cast<int>(timeouts.stall.count())) + " s)"};
    }
    if (file.failure()) return *file.failure();
    return {DownloadResult::Kind::transient,
            std::string("the document's download broke off: ") + e.what()};
  }
  sock->close();
  if (cancel.cancelled()) return {DownloadResult::Kind::cancelled, "cancelled"};
  if (file.failure()) return *file.failure();
  if (ec == http::error::partial_message) return file.finish();  // cut short
  if (ec) {
    return {DownloadResult::Kind::transient, "the service's answer is not HTTP: " + ec.message()};
  }
  return file.finish();
}

}  // namespace

DownloadResult beast_download(const DownloadRequest& request, const HttpConfig& http_config,
                              CancelToken& cancel, const DownloadTimeouts& timeouts) {
  DocumentFile file(request);
  if (file.failure()) return *file.failure();
  std::string url = request.url;
  const bool started_https = url.starts_with("https://");
  for (std::int64_t redirects = 0;; ++redirects) {
    std::string next;
    DownloadResult result = fetch_once(url, http_config, file, cancel, timeouts, next);
    if (next.empty()) return result;
    if (redirects >= http_config.max_http_redirects) {
      return {DownloadResult::Kind::failed,
              "cannot download the document: too many redirects (more than " +
                  std::to_string(http_config.max_http_redirects) + ")"};
    }
    if (!is_document_url(next)) {
      return {DownloadResult::Kind::failed,
              "cannot download the document: the service redirected to a malformed URL"};
    }
    // A redirect never leaves TLS for plain HTTP.
    if (started_https && !next.starts_with("https://")) {
      return {DownloadResult::Kind::failed, "cannot download the document: a redirect to " +
                                                redacted_url(next) + " is not followed"};
    }
    url = std::move(next);
    file.restart();
  }
}

}  // namespace quillpost::printing
