// The "requests" engine's HTTP exchange: Boost.Beast's HTTP parser over the
// project's own socket (so the proxy kinds and TLS checks are those of the
// connection).
#include "quillpost/host/runtime/comms/http_exchange.h"

#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>

#include "quillpost/host/base/http_url.h"
#include "quillpost/host/base/text.h"
#include "quillpost/host/comms/clock.h"
#include "quillpost/host/runtime/comms/wire.h"

namespace quillpost::comms {

namespace http = boost::beast::http;

namespace {

// A text body that refuses more than `limit` bytes itself: an announced
// length (Content-Length) before a byte is stored, any other body as it
// grows. Beast's own body limit does not hold for every kind of answer, and
// its text body reserves whatever length the answer announces.
struct LimitedTextBody {
  struct value_type {
    std::string text;
    std::uint64_t limit = 0;
  };

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>& /*header*/, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>& length, boost::system::error_code& ec) {
      ec = length && *length > body_.limit ? http::error::body_limit : boost::system::error_code{};
    }

    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, boost::system::error_code& ec) {
      const std::size_t n = boost::asio::buffer_size(buffers);
      if (body_.text.size() + n > body_.limit) {
        ec = http::error::body_limit;
        return 0;
      }
      for (const auto b : boost::beast::buffers_range_ref(buffers)) {
        body_.text.append(static_cast<const char*>(b.data()), b.size());
      }
      ec = {};
      return n;
    }

    void finish(boost::system::error_code& ec) { ec = {}; }

   private:
    value_type& body_;
  };
};

std::string request_text(const HttpRequest& request, const HttpUrl& u) {
  std::string text =
      request.method + " " + u.target + " HTTP/1.1\r\nHost: " + u.host_header + "\r\n";
  for (const auto& [name, value] : request.headers) {
    if (name.find_first_of("\r\n") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos) {
      throw std::runtime_error("request header '" + name + "' holds a line break");
    }
    text += name + ": " + value + "\r\n";
  }
  if (!request.body.empty())
    text += "Content-Length: " + std::to_string(request.body.size()) + "\r\n";
  text += "Connection: close\r\n\r\n";
  return text + request.body;
}

std::string limit_text(std::uint64_t bytes) {
  if (bytes % (1024 * 1024) == 0) return std::to_string(bytes / (1024 * 1024)) + " MiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

HttpAnswer http_exchange(const HttpRequest& request, const HttpConfig& http_config) {
  const HttpUrl u = split_http_url(request.url);
  // The socket layer counts seconds.
  const double timeout = request.timeout.count();
  const double deadline = monotonic() + timeout;
  const double connect_timeout =
      request.connect_timeout.count() > 0 && request.connect_timeout < request.timeout
          ? request.connect_timeout.count()
          : timeout;
  auto sock = open_http_socket(u, http_config, connect_timeout);
  const double sent = wall_seconds();
  sock->write_all(request_text(request, u));
  bool header_seen = false;

  http::response_parser<LimitedTextBody> parser;
  parser.get().body().limit = request.max_body;
  parser.body_limit(request.max_body);
  parser.eager(true);
  std::string pending;
  char chunk[16384];
  boost::system::error_code ec;
  while (!parser.is_done()) {
    const double left = deadline - monotonic();
    std::size_t n = 0;
    try {
      if (left <= 0) throw SocketFailure(SocketFailure::Kind::timed_out, "");
      n = sock->read_some(std::span<char>(chunk, sizeof chunk), left);
    } catch (const SocketFailure& e) {
      if (e.kind() == SocketFailure::Kind::timed_out) {
        sock->close();
        throw std::runtime_error("timed out after " + to_text(timeout) +
                                 "s waiting for the answer");
      }
      if (e.kind() != SocketFailure::Kind::end_of_stream) throw;
      // Closed before a byte of the answer (Beast asserts that put_eof
      // follows some input).
      if (!parser.got_some()) throw std::runtime_error("connection closed without an answer");
      parser.put_eof(ec);
      if (ec) throw std::runtime_error("answer cut short: " + ec.message());
      break;
    }
    pending.append(chunk, n);
    while (!pending.empty() && !parser.is_done()) {
      const std::size_t used =
          parser.put(boost::asio::const_buffer(pending.data(), pending.size()), ec);
      if (ec == http::error::need_more) {
        ec = {};
        pending.erase(0, used);
        break;
      }
      if (ec == http::error::body_limit) {
        // Refused before it is read: the rest of the answer is never fetched.
        sock->close();
        throw std::runtime_error("answer longer than " + limit_text(request.max_body));
      }
      if (ec) throw std::runtime_error("malformed HTTP answer: " + ec.message());
      pending.erase(0, used);
      if (!header_seen && parser.is_header_done()) {
        header_seen = true;
        const auto date = parser.get()[http::field::date];
        note_http_date(std::string_view(date.data(), date.size()), sent, wall_seconds());
      }
    }
  }
  sock->close();
  auto& response = parser.get();
  return {static_cast<int>(response.result_int()), std::string(response.reason()),
          std::move(response.body().text)};
}

}  // namespace quillpost::comms
