#include "quillpost/host/runtime/web/server.h"

// <utility> before Asio: g++ 12 with Boost 1.74 needs std::exchange declared first.
#include <utility>
//
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quillpost/host/base/endpoint_text.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/threads.h"
#include "quillpost/host/runtime/web/host_check.h"
#include "quillpost/host/runtime/web/page.h"

namespace quillpost::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

// How long a closing connection goes on reading what the peer still sends, so
// that an early answer (413, 431) is not lost to a reset.
constexpr std::chrono::seconds drain_timeout{2};

constexpr std::string_view shutdown_reason = "Shutdown requested through the web interface";

// What one request is answered with.
struct Answer {
  http::status status = http::status::ok;
  std::string content_type = "application/json";
  std::string body;
  std::string allow;        // the Allow header of a 405
  bool close = false;       // close the connection after the answer
  bool exit_after = false;  // ask the application to exit once it is written
};

Answer json_answer(http::status status, const nlohmann::json& body) {
  Answer answer;
  answer.status = status;
  // Texts from elsewhere (a server's reason, a log line) may not be valid
  // UTF-8: such bytes show as U+FFFD instead of failing the whole answer.
  answer.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  return answer;
}

Answer error_answer(http::status status, std::string_view message) {
  return json_answer(status, {{"error", std::string(message)}});
}

Answer method_not_allowed(std::string allow) {
  Answer answer = error_answer(http::status::method_not_allowed, "Method not allowed.");
  answer.allow = std::move(allow);
  return answer;
}

// Lets at most one line through per interval and counts the ones it holds
// back, so that the next line can say how many there were.
class LineLimiter {
 public:
  explicit LineLimiter(std::chrono::milliseconds interval) : interval_(interval) {}

  // Nullopt: hold this line back. Otherwise the number held back before it.
  std::optional<std::size_t> admit(std::chrono::steady_clock::time_point now) {
    if (last_ && now - *last_ < interval_) {
      ++held_back_;
      return std::nullopt;
    }
    last_ = now;
    return std::exchange(held_back_, 0);
  }

 private:
  std::chrono::milliseconds interval_;
  std::optional<std::chrono::steady_clock::time_point> last_;
  std::size_t held_back_ = 0;
};

}  // namespace

struct WebServer::Impl {
  Impl(WebServerOptions opts, std::shared_ptr<const StatusBoard> status_board, ExitFunction exit_fn)
      : options(std::move(opts)), board(std::move(status_board)), exit(std::move(exit_fn)) {}

  void accept();
  // Logs a line about one connection or request (a refusal, a bad request).
  // Anyone who can connect can cause these as fast as they like, so at most
  // one per `line_interval` is written; the next one says how many were held
  // back. Runs on the strand.
  template <typename... Args>
  void log_limited(logs::Level level, std::string format, const Args&... args) {
    const std::optional<std::size_t> held_back = limiter.admit(std::chrono::steady_clock::now());
    if (!held_back) return;
    std::vector<std::string> texts{to_text(args)...};
    if (*held_back > 0) {
      format += " (%s similar lines held back before this one)";
      texts.push_back(std::to_string(*held_back));
    }
    log.write(level, format, texts);
  }
  Answer answer(const http::request<http::string_body>& request) const;
  Answer shutdown(const http::request<http::string_body>& request) const;
  void request_exit(const std::string& peer);

  const WebServerOptions options;
  const std::shared_ptr<const StatusBoard> board;
  const ExitFunction exit;
  logs::Logger log = logs::logger("web_interface");
  LineLimiter limiter{options.line_interval};

  std::optional<asio::io_context> ioc;
  std::optional<asio::strand<asio::io_context::executor_type>> strand;
  std::optional<tcp::acceptor> acceptor;
  std::thread thread;
  tcp::endpoint local;
  std::atomic<std::size_t> sessions{0};
  std::atomic<bool> exit_requested{false};
  bool started = false;
};

namespace {

// One HTTP connection: read a request, answer it, read the next, in the style
// of Beast's asynchronous servers. Every step runs on the server's strand.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(WebServer::Impl& server, tcp::socket socket)
      : server_(server), stream_(std::move(socket)) {
    ++server_.sessions;
    error_code ec;
    const auto remote = stream_.socket().remote_endpoint(ec);
    peer_ = ec ? "unknown peer" : endpoint_text(remote);
  }
  ~Session() { --server_.sessions; }

  void run() { do_read(); }

 private:
  void do_read() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.options.max_header_bytes));
    parser_->body_limit(server_.options.max_body_bytes);
    stream_.expires_after(server_.options.request_timeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](error_code ec, std::size_t) { self->on_read(ec); });
  }

  void on_read(error_code ec) {
    if (ec == http::error::end_of_stream) return do_close();
    if (ec == http::error::header_limit) {
      server_.log_limited(logs::Level::warning,
                          "web interface: request headers from %s over %s bytes", peer_,
                          server_.options.max_header_bytes);
      Answer answer =
          error_answer(http::status::request_header_fields_too_large, "Request headers too large.");
      answer.close = true;
      return write(std::move(answer), 11, false);
    }
    if (ec == http::error::body_limit) {
      server_.log_limited(logs::Level::warning, "web interface: request body from %s over %s bytes",
                          peer_, server_.options.max_body_bytes);
      Answer answer = error_answer(http::status::payload_too_large, "Request body too large.");
      answer.close = true;
      return write(std::move(answer), 11, false);
    }
    if (ec == beast::error::timeout || ec == asio::error::eof ||
        ec == asio::error::operation_aborted || ec == asio::error::connection_reset) {
      return do_close();
    }
    if (ec) {
      server_.log_limited(logs::Level::debug, "web interface: bad request from %s: %s", peer_,
                          ec.message());
      Answer answer = error_answer(http::status::bad_request, "Bad request.");
      answer.close = true;
      return write(std::move(answer), 11, false);
    }
    const auto request = parser_->release();
    Answer answer = server_.answer(request);
    const bool keep_alive = request.keep_alive() && !answer.close && !answer.exit_after;
    write(std::move(answer), request.version(), keep_alive);
  }

  void write(Answer answer, unsigned version, bool keep_alive) {
    auto response = std::make_shared<http::response<http::string_body>>(answer.status, version);
    response->set(http::field::server, "quillpost");
    response->set(http::field::content_type, answer.content_type);
    response->set(http::field::cache_control, "no-store");
    response->set("X-Content-Type-Options", "nosniff");
    response->set("X-Frame-Options", "DENY");
    response->set("Referrer-Policy", "no-referrer");
    response->set("Content-Security-Policy",
                  "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                  "connect-src 'self'; base-uri 'none'; form-action 'none'; "
                  "frame-ancestors 'none'");
    if (!answer.allow.empty()) response->set(http::field::allow, answer.allow);
    response->keep_alive(keep_alive);
    response->body() = std::move(answer.body);
    response->prepare_payload();
    stream_.expires_after(server_.options.request_timeout);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response, exit_after = answer.exit_after](
                          error_code ec, std::size_t) {
                        // The exit is asked for once the answer is on its way,
                        // so that the caller learns it was accepted.
                        if (exit_after) self->server_.request_exit(self->peer_);
                        if (ec) return;
                        if (!response->keep_alive()) return self->close_and_drain();
                        self->do_read();
                      });
  }

  void do_close() {
    error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  // Closes our side and reads (and drops) whatever the peer still sends, until
  // it closes or the drain time is up.
  void close_and_drain() {
    do_close();
    stream_.expires_after(drain_timeout);
    stream_.async_read_some(asio::buffer(drain_buffer_),
                            [self = shared_from_this()](error_code ec, std::size_t) {
                              if (!ec) self->drain_more();
                            });
  }
  void drain_more() {
    stream_.async_read_some(asio::buffer(drain_buffer_),
                            [self = shared_from_this()](error_code ec, std::size_t) {
                              if (!ec) self->drain_more();
                            });
  }

  WebServer::Impl& server_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::array<char, 4096> drain_buffer_{};
  std::string peer_;
};

}  // namespace

Answer WebServer::Impl::answer(const http::request<http::string_body>& request) const {
  // Only requests that name this machine are served: a foreign site whose
  // name was made to point at it (DNS rebinding) gets nothing, neither the
  // status nor a shutdown. Listening on loopback, only loopback names count;
  // otherwise the machine's own names and addresses.
  const auto host = request.find(http::field::host);
  const std::string_view host_header =
      host == request.end() ? std::string_view()
                            : std::string_view(host->value().data(), host->value().size());
  const bool own = local.address().is_loopback() ? is_loopback_host(host_header)
                                                 : is_own_host(host_header, options.listen);
  if (!own) return error_answer(http::status::forbidden, "Unknown host.");
  std::string_view target(request.target().data(), request.target().size());
  const std::string_view path = target.substr(0, target.find('?'));
  const auto method = request.method();
  if (path == "/") {
    if (method != http::verb::get) return method_not_allowed("GET");
    Answer answer;
    answer.content_type = "text/html; charset=utf-8";
    answer.body = render_status_page(board->to_json(options.allow_shutdown));
    return answer;
  }
  if (path == "/status") {
    if (method != http::verb::get) return method_not_allowed("GET");
    return json_answer(http::status::ok, board->to_json(options.allow_shutdown));
  }
  if (path == "/shutdown") {
    if (method != http::verb::post) return method_not_allowed("POST");
    return shutdown(request);
  }
  return error_answer(http::status::not_found, "Not found.");
}

Answer WebServer::Impl::shutdown(const http::request<http::string_body>& request) const {
  if (!options.allow_shutdown) {
    return error_answer(http::status::forbidden,
                        "Shutdown through the web interface is not allowed.");
  }
  // A page of another site can make the browser post here; browsers name that
  // page's origin, which then differs from this server's.
  const auto origin = request.find(http::field::origin);
  if (origin != request.end()) {
    const auto host = request.find(http::field::host);
    const std::string expected =
        host == request.end() ? std::string() : "http://" + std::string(host->value());
    if (host == request.end() || std::string(origin->value()) != expected) {
      return error_answer(http::status::forbidden, "Cross-origin shutdown requests are refused.");
    }
  }
  Answer answer = json_answer(http::status::ok, {{"shutdown", true}});
  answer.exit_after = true;
  return answer;
}

void WebServer::Impl::request_exit(const std::string& peer) {
  if (exit_requested.exchange(true)) return;
  log.info("web interface: shutdown requested by %s", peer);
  if (exit) exit(std::string(shutdown_reason), 0);
}

void WebServer::Impl::accept() {
  acceptor->async_accept(*strand, [this](error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
    if (!ec) {
      if (sessions.load() >= options.max_connections) {
        log_limited(logs::Level::warning, "web interface: %s connections open, refusing one more",
                    options.max_connections);
        error_code ignored;
        socket.close(ignored);
      } else {
        std::make_shared<Session>(*this, std::move(socket))->run();
      }
    } else {
      log_limited(logs::Level::debug, "web interface: accept failed: %s", ec.message());
    }
    accept();
  });
}

WebServer::WebServer(WebServerOptions options, std::shared_ptr<const StatusBoard> board,
                     ExitFunction exit)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(board), std::move(exit))) {}

WebServer::~WebServer() {
  stop();
}

namespace {

// The addresses to try for `listen`, in order. Empty: every interface, IPv6
// (taking IPv4 too) first.
std::vector<tcp::endpoint> listen_endpoints(asio::io_context& ioc, const std::string& listen,
                                            std::uint16_t port) {
  if (listen.empty()) {
    return {tcp::endpoint(asio::ip::address_v6::any(), port),
            tcp::endpoint(asio::ip::address_v4::any(), port)};
  }
  std::string host = listen;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  error_code ec;
  const auto address = asio::ip::make_address(host, ec);
  if (!ec) return {tcp::endpoint(address, port)};
  tcp::resolver resolver(ioc);
  const auto results = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
  if (ec) throw WebInterfaceError("cannot resolve " + listen + ": " + ec.message());
  std::vector<tcp::endpoint> endpoints;
  for (const auto& entry : results) endpoints.push_back(entry.endpoint());
  return endpoints;
}

}  // namespace

void WebServer::start() {
  Impl& s = *impl_;
  if (s.started) return;
  s.ioc.emplace(1);
  s.strand.emplace(asio::make_strand(*s.ioc));
  std::string failures;
  for (const auto& endpoint : listen_endpoints(*s.ioc, s.options.listen, s.options.port)) {
    tcp::acceptor acceptor(*s.strand);
    error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec && endpoint.address().is_v6() && endpoint.address().is_unspecified()) {
      acceptor.set_option(asio::ip::v6_only(false), ec);
    }
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      if (!failures.empty()) failures += "; ";
      failures += endpoint_text(endpoint) + ": " + ec.message();
      continue;
    }
    s.local = acceptor.local_endpoint();
    s.acceptor.emplace(std::move(acceptor));
    break;
  }
  if (!s.acceptor) {
    s.strand.reset();
    s.ioc.reset();
    throw WebInterfaceError(
        "web interface cannot listen on " +
        (s.options.listen.empty() ? std::string("all interfaces") : s.options.listen) + " port " +
        std::to_string(s.options.port) + ": " + failures);
  }
  s.started = true;
  s.log.info("web interface listening on http://%s/", endpoint_text(s.local));
  s.accept();
  s.thread = start_thread([&s] {
    for (;;) {
      try {
        s.ioc->run();
        return;
      } catch (const std::exception& e) {
        s.log.exception("web interface: %s", e.what());
      }
    }
  });
}

std::uint16_t WebServer::port() const {
  return impl_->local.port();
}

std::string WebServer::address() const {
  return impl_->local.address().to_string();
}

void WebServer::stop() {
  Impl& s = *impl_;
  if (!s.started) return;
  s.started = false;
  s.ioc->stop();
  if (s.thread.joinable()) s.thread.join();
  // Destroying the io_context destroys the handlers still queued, and with
  // them the sessions and their sockets.
  s.acceptor.reset();
  s.strand.reset();
  s.ioc.reset();
}

}  // namespace quillpost::web
