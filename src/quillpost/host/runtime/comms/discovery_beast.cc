// The "requests" discovery engine: Boost.Beast's HTTP parser over the project's
// own socket (so the proxy kinds and TLS checks are those of the connection).
#include <strings.h>

#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>

#include "quillpost/host/comms/http_url.h"
#include "quillpost/host/runtime/comms/service_discovery.h"
#include "quillpost/host/runtime/comms/wire.h"

namespace quillpost::comms {

namespace http = boost::beast::http;

namespace {

// The longest discovery answer body taken, in bytes (1 MiB, as the other
// engine): an answer is a few hundred bytes, and a service must not make the
// client hold more.
constexpr std::uint64_t MAX_ANSWER_BYTES = 1024 * 1024;

// A text body that refuses more than MAX_ANSWER_BYTES itself: an announced
// length (Content-Length) before a byte is stored, any other body as it
// grows. Beast's own body limit does not hold for every kind of answer, and
// its text body reserves whatever length the answer announces.
struct LimitedTextBody {
  using value_type = std::string;

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(http::header<isRequest, Fields>& /*header*/, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>& length, boost::system::error_code& ec) {
      ec = length && *length > MAX_ANSWER_BYTES ? http::error::body_limit
                                                : boost::system::error_code{};
    }

    template <class ConstBufferSequence>
    std::size_t put(const ConstBufferSequence& buffers, boost::system::error_code& ec) {
      const std::size_t n = boost::asio::buffer_size(buffers);
      if (body_.size() + n > MAX_ANSWER_BYTES) {
        ec = http::error::body_limit;
        return 0;
      }
      for (const auto b : boost::beast::buffers_range_ref(buffers)) {
        body_.append(static_cast<const char*>(b.data()), b.size());
      }
      ec = {};
      return n;
    }

    void finish(boost::system::error_code& ec) { ec = {}; }

   private:
    value_type& body_;
  };
};

std::string fetch(const std::string& url, const RequestHeaders& headers,
                  const HttpConfig& http_config) {
  const HttpUrl u = split_http_url(url);
  const double timeout = service_discovery_timeout();
  const double deadline = monotonic() + timeout;
  auto sock = open_http_socket(u, http_config, timeout);

  std::string request = "GET " + u.target + " HTTP/1.1\r\nHost: " + u.host_header + "\r\n";
  bool accept = false;
  for (const auto& [name, value] : headers) {
    if (name.find_first_of("\r\n") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos) {
      throw std::runtime_error("request header '" + name + "' holds a line break");
    }
    request += name + ": " + value + "\r\n";
    if (name.size() == 6 && strncasecmp(name.c_str(), "accept", 6) == 0) accept = true;
  }
  if (!accept) request += "Accept: application/json\r\n";
  request += "Connection: close\r\n\r\n";
  sock->write_all(request);

  http::response_parser<LimitedTextBody> parser;
  parser.body_limit(MAX_ANSWER_BYTES);
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
        throw std::runtime_error("answer longer than 1 MiB");
      }
      if (ec) throw std::runtime_error("malformed HTTP answer: " + ec.message());
      pending.erase(0, used);
    }
  }
  sock->close();
  const auto& response = parser.get();
  if (response.result_int() != 200) {
    throw std::runtime_error("HTTP " + std::to_string(response.result_int()) + " " +
                             std::string(response.reason()));
  }
  return response.body();
}

}  // namespace

void requests_service_discovery(const std::string& url, const RequestHeaders& headers,
                                const std::string& connection_id, const agent::Mailbox& mailbox,
                                const HttpConfig& http_config,
                                const std::filesystem::path& /*logs_dir*/) {
  report_service_discovery([&] { return fetch(url, headers, http_config); }, connection_id,
                           mailbox);
}

}  // namespace quillpost::comms
