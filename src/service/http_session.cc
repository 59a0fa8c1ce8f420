// One HTTP(S) connection of the public or the control listener.
#include <array>
#include <boost/beast/ssl.hpp>
#include <cstdio>
#include <ctime>
#include <vector>

#include "quillpost/host/base/endpoint_text.h"
#include "service/server_impl.h"

namespace quillpost::service {
namespace {

// The Date header's text for now, moved by `offset` seconds.
std::string date_text(double offset) {
  const std::time_t now = std::time(nullptr) + static_cast<std::time_t>(offset);
  std::tm utc{};
  gmtime_r(&now, &utc);
  static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[utc.tm_wday],
                utc.tm_mday, months[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

// One HTTP(S) connection of the public or the control listener, in the style
// of Beast's asynchronous servers: read a request, answer, read the next.
template <typename Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
  static constexpr bool is_tls = !std::is_same_v<Stream, beast::tcp_stream>;

 public:
  HttpSession(Service::Impl& service, Stream stream, bool control, asio::ip::address peer)
      : service_(service), stream_(std::move(stream)), control_(control), peer_(std::move(peer)) {}

  void run() {
    if constexpr (is_tls) {
      beast::get_lowest_layer(stream_).expires_after(tls_handshake_timeout);
      stream_.async_handshake(
          ssl::stream_base::server,
          [self = this->shared_from_this()](error_code ec) { self->on_handshake(ec); });
    } else {
      do_read();
    }
  }

 private:
  void on_handshake(error_code ec) {
    if (ec) {
      service_.write_log("https " + address_text(peer_) + " TLS handshake failed: " + ec.message());
      return;
    }
    do_read();
  }

  void do_read() {
    parser_.emplace();
    parser_->body_limit(max_http_body_bytes);
    parser_->header_limit(16 * 1024);
    beast::get_lowest_layer(stream_).expires_after(http_timeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = this->shared_from_this()](error_code ec, std::size_t) { self->on_read(ec); });
  }

  void on_read(error_code ec) {
    if (ec == http::error::end_of_stream) {
      return do_close();
    }
    if (ec == http::error::body_limit || ec == http::error::header_limit) {
      service_.write_log("http " + address_text(peer_) + " request over the size limit");
      Reply too_large = message_reply(http::status::payload_too_large,
                                      "The request is over the size limit of " +
                                          std::to_string(max_http_body_bytes) + " bytes.");
      return answer(std::move(too_large), 11, false);
    }
    if (ec) {
      if (ec != asio::error::eof && ec != beast::error::timeout &&
          ec != asio::error::operation_aborted && ec != asio::ssl::error::stream_truncated) {
        service_.write_log("http " + address_text(peer_) + " bad request: " + ec.message());
      }
      return;
    }
    auto request = parser_->release();
    Reply reply =
        control_ ? service_.handle_control(request) : service_.handle_public(request, peer_);
    if (reply.hang) {
      return hang();
    }
    if (reply.document) {
      return send_document(std::move(reply), request.version(), request.keep_alive());
    }
    answer(std::move(reply), request.version(), request.keep_alive());
  }

  // A document goes out as a header with its Content-Length and then the
  // file in chunks, each read when the previous one has been written, so
  // that a document of any size costs one chunk of memory.
  struct DocumentTransfer {
    http::response<http::empty_body> header;
    std::optional<http::response_serializer<http::empty_body>> serializer;
    Reply reply;
    std::vector<char> chunk = std::vector<char>(256 * 1024);
  };

  void send_document(Reply reply, unsigned version, bool keep_alive) {
    auto transfer = std::make_shared<DocumentTransfer>();
    auto& header = transfer->header;
    header.result(http::status::ok);
    header.version(version);
    header.set(http::field::server, "quillpost-service");
    header.set(http::field::date, date_text(service_.options.clock_offset));
    header.set(http::field::content_type, reply.content_type);
    header.content_length(reply.document->size());
    header.keep_alive(keep_alive && !reply.cut_short);
    transfer->reply = std::move(reply);
    transfer->serializer.emplace(header);
    beast::get_lowest_layer(stream_).expires_after(http_timeout);
    http::async_write_header(
        stream_, *transfer->serializer,
        [self = this->shared_from_this(), transfer](error_code ec, std::size_t) {
          if (!ec) self->send_chunk(transfer);
        });
  }

  void send_chunk(const std::shared_ptr<DocumentTransfer>& transfer) {
    DocumentReader& reader = *transfer->reply.document;
    std::size_t n = 0;
    try {
      n = reader.read(transfer->chunk.data(), transfer->chunk.size());
    } catch (const std::runtime_error& e) {
      service_.write_log("document " + transfer->reply.document_job + " to " + address_text(peer_) +
                         " broken off: " + e.what());
      return cut_off();
    }
    if (n == 0) {
      service_.write_log("document " + transfer->reply.document_job + " to " + address_text(peer_) +
                         ": " + std::to_string(reader.sent()) + " of " +
                         std::to_string(reader.size()) + " bytes sent" +
                         (transfer->reply.cut_short ? ", then the connection closed" : ""));
      if (transfer->reply.cut_short) return cut_off();
      if (transfer->header.keep_alive()) return do_read();
      do_close();
      if constexpr (!is_tls) drain();
      return;
    }
    beast::get_lowest_layer(stream_).expires_after(http_timeout);
    asio::async_write(stream_, asio::buffer(transfer->chunk.data(), n),
                      [self = this->shared_from_this(), transfer](error_code ec, std::size_t) {
                        if (!ec) self->send_chunk(transfer);
                      });
  }

  // Ends the connection at once, without a TLS close: the client sees the
  // answer cut off.
  void cut_off() {
    error_code ignored;
    beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(stream_).socket().close(ignored);
  }

  void answer(Reply reply, unsigned version, bool keep_alive) {
    auto response = std::make_shared<http::response<http::string_body>>(reply.status, version);
    response->set(http::field::server, "quillpost-service");
    response->set(http::field::date, date_text(service_.options.clock_offset));
    response->set(http::field::content_type, "application/json");
    if (!reply.location.empty()) response->set(http::field::location, reply.location);
    if (!reply.retry_after.empty()) response->set(http::field::retry_after, reply.retry_after);
    response->keep_alive(keep_alive);
    response->body() = std::move(reply.body);
    response->prepare_payload();
    beast::get_lowest_layer(stream_).expires_after(http_timeout);
    http::async_write(
        stream_, *response,
        [self = this->shared_from_this(), response](error_code write_ec, std::size_t) {
          if (write_ec) return;
          if (!response->keep_alive()) {
            self->do_close();
            // What the client still sends is read and dropped, so that the
            // close does not reset the connection before it has the answer.
            // (With TLS the shutdown exchange does the reading.)
            if constexpr (!is_tls) self->drain();
            return;
          }
          self->do_read();
        });
  }

  void drain() {
    beast::get_lowest_layer(stream_).expires_after(drain_timeout);
    stream_.async_read_some(asio::buffer(hang_buffer_),
                            [self = this->shared_from_this()](error_code ec, std::size_t) {
                              if (!ec) self->drain();
                            });
  }

  // Holds the connection open without answering until the client gives up.
  void hang() {
    beast::get_lowest_layer(stream_).expires_after(discovery_hang_limit);
    stream_.async_read_some(asio::buffer(hang_buffer_),
                            [self = this->shared_from_this()](error_code, std::size_t) {});
  }

  void do_close() {
    if constexpr (is_tls) {
      beast::get_lowest_layer(stream_).expires_after(tls_handshake_timeout);
      stream_.async_shutdown([self = this->shared_from_this()](error_code) {});
    } else {
      error_code ignored;
      stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    }
  }

  Service::Impl& service_;
  Stream stream_;
  bool control_;
  asio::ip::address peer_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::array<char, 4096> hang_buffer_{};
};

}  // namespace

void start_http_session(Service::Impl& service, tcp::socket socket, ssl::context* tls, bool control,
                        const asio::ip::address& peer) {
  if (tls) {
    std::make_shared<HttpSession<beast::ssl_stream<beast::tcp_stream>>>(
        service, beast::ssl_stream<beast::tcp_stream>(std::move(socket), *tls), control, peer)
        ->run();
  } else {
    std::make_shared<HttpSession<beast::tcp_stream>>(service, beast::tcp_stream(std::move(socket)),
                                                     control, peer)
        ->run();
  }
}

}  // namespace quillpost::service
