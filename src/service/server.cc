#include "service/server.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <array>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <csignal>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <utility>  // before Asio: see the notes on Boost 1.74

#include "quillpost/host/runtime/comms/endpoint_text.h"
#include "quillpost/host/runtime/comms/openssl.h"
#include "service/frame.h"

namespace quillpost::service {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using json = nlohmann::json;
using ojson = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A TLS handshake is a few round trips; a peer that takes longer is stuck.
constexpr auto tls_handshake_timeout = 10s;
// Time a client gets to send a whole HTTP request, and to take the answer.
constexpr auto http_timeout = 30s;
// A frame write that does not finish in this time means the client stopped reading.
constexpr auto frame_write_timeout = 30s;
// How long a closing HTTP connection keeps reading what the client still sends.
constexpr auto drain_timeout = 5s;
// The "hang" discovery fault holds the request at most this long.
constexpr auto discovery_hang_limit = 10min;
// Wait before accepting again after the system refused (out of descriptors).
constexpr auto accept_retry_wait = 100ms;
// Frames queued for one client beyond this mean it is not keeping up.
constexpr std::size_t max_queued_bytes = 16 * 1024 * 1024;
constexpr std::size_t max_http_body_bytes = max_frame_bytes;

// The keys of the client's authenticate message, in the order it sends them.
constexpr std::array<std::string_view, 12> authenticate_keys{
    "email",        "computerName", "clientKey", "inet",    "worldUuid", "instanceUuid",
    "connectionId", "hostname",     "username",  "version", "edition",   "clientSessionId"};
// Query parameters every discovery request carries.
constexpr std::array<std::string_view, 5> discovery_params{"version", "edition", "computer_name",
                                                           "world_id", "instance_id"};

std::string tls_error_text() {
  std::string text = openssl_error_text();
  return text.empty() ? "unknown OpenSSL error" : text;
}

std::string seconds_text(Clock::duration d) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + "s";
}

// Seconds as a JSON number: whole ones as integers ("30", not "30.0").
json seconds_json(double seconds) {
  if (seconds == static_cast<double>(static_cast<std::int64_t>(seconds))) {
    return static_cast<std::int64_t>(seconds);
  }
  return seconds;
}

// A frame longer than the limit, for the "oversized" fault.
std::string oversized_line() {
  std::string line = R"({"event":"oversized","payload":")";
  line.append(max_frame_bytes, 'x');
  line += "\"}\n";
  return line;
}

// A line that is not JSON, for the "malformed" fault.
std::string malformed_line() {
  return "{\"event\": \"malformed\", \"payload\": \n";
}

tcp::socket& socket_of(tcp::socket& s) {
  return s;
}
tcp::socket& socket_of(ssl::stream<tcp::socket>& s) {
  return s.next_layer();
}

// What a connection on the client socket offers the rest of the service.
class WireConnection {
 public:
  virtual ~WireConnection() = default;
  // Queues `count` lines made by `make_line(i)`, `interval` apart (all at
  // once for 0). A new push replaces a timed one still running.
  virtual void push(std::function<std::string(int)> make_line, int count,
                    std::chrono::milliseconds interval) = 0;
  virtual void close(const std::string& reason) = 0;
  virtual bool authenticated() const = 0;
  virtual const std::string& client_connection_id() const = 0;
  virtual json info() const = 0;
};

struct Reply {
  http::status status = http::status::ok;
  std::string body;
  bool hang = false;  // hold the request and never answer
};

Reply json_reply(http::status status, const json& body) {
  return Reply{status, body.dump(), false};
}

Reply message_reply(http::status status, const std::string& message) {
  return json_reply(status, json{{"message", message}});
}

}  // namespace

struct Service::Impl {
  Impl(ServiceOptions o, AccountStore a, LogSink l)
      : options(std::move(o)), accounts(std::move(a)), log(std::move(l)), signals(ioc) {}

  ~Impl() {
    // Sessions go before the io_context that their sockets belong to.
    wires.clear();
  }

  void setup();
  tcp::acceptor open_acceptor(int port, const char* what, bool loopback_only = false);
  void accept(tcp::acceptor& acceptor, const char* kind);
  void on_accepted(tcp::acceptor& acceptor, tcp::socket socket);

  Reply handle_public(const http::request<http::string_body>& request,
                      const asio::ip::address& peer);
  Reply handle_control(const http::request<http::string_body>& request);
  Reply discover(const Target& target, const asio::ip::address& peer);
  Reply login(const std::string& body);
  Reply control_push(const ojson& body);
  Reply control_drop();
  json state() const;
  int closed_port();

  void write_log(const std::string& line) const {
    if (log) log(line);
  }

  ServiceOptions options;
  AccountStore accounts;
  LogSink log;
  asio::io_context ioc{1};
  std::optional<ssl::context> tls;
  std::optional<tcp::acceptor> http_acceptor, https_acceptor, socket_acceptor, control_acceptor;
  asio::signal_set signals;
  BoundPorts ports;

  std::map<std::uint64_t, std::shared_ptr<WireConnection>> wires;
  std::uint64_t next_wire_id = 1;
  std::uint64_t discoveries = 0;
  std::uint64_t logins = 0;
  std::uint64_t authentications = 0;
  std::uint64_t wires_accepted = 0;
  json last_discovery;      // null until the first request
  ojson last_authenticate;  // null until the first message
};

namespace {

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
    answer(std::move(reply), request.version(), request.keep_alive());
  }

  void answer(Reply reply, unsigned version, bool keep_alive) {
    auto response = std::make_shared<http::response<http::string_body>>(reply.status, version);
    response->set(http::field::server, "quillpost-service");
    response->set(http::field::content_type, "application/json");
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

// One connection on the client socket: the server opens with
// "authentication", checks the client's "authenticate", answers heartbeats
// and delivers pushed messages. Reads and writes run side by side; writes are
// queued and go out one at a time.
template <typename Stream>
class WireSession : public WireConnection,
                    public std::enable_shared_from_this<WireSession<Stream>> {
  static constexpr bool is_tls = !std::is_same_v<Stream, tcp::socket>;

 public:
  WireSession(Service::Impl& service, std::uint64_t id, Stream stream, std::string peer)
      : service_(service),
        tag_("s-" + std::to_string(id)),
        id_(id),
        stream_(std::move(stream)),
        peer_(std::move(peer)),
        deadline_(service.ioc),
        idle_timer_(service.ioc),
        push_timer_(service.ioc),
        started_(Clock::now()),
        last_in_(started_) {}

  void start() {
    service_.write_log(tag_ + " connected from " + peer_ + (is_tls ? " over TLS" : ""));
    if constexpr (is_tls) {
      arm_deadline(tls_handshake_timeout, "TLS handshake timed out");
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](error_code ec) {
                                self->disarm_deadline();
                                if (ec) return self->close("TLS handshake failed: " + ec.message());
                                self->open();
                              });
    } else {
      open();
    }
  }

  void push(std::function<std::string(int)> make_line, int count,
            std::chrono::milliseconds interval) override {
    if (closed_) return;
    if (interval.count() <= 0) {
      for (int i = 0; i < count && !closed_; ++i) {
        send_line(make_line(i));
      }
      return;
    }
    push_timer_.cancel();
    push_make_ = std::move(make_line);
    push_left_ = count;
    push_index_ = 0;
    push_interval_ = interval;
    push_next();
  }

  void close(const std::string& reason) override {
    if (closed_) return;
    closed_ = true;
    deadline_.cancel();
    idle_timer_.cancel();
    push_timer_.cancel();
    error_code ignored;
    socket_of(stream_).shutdown(tcp::socket::shutdown_both, ignored);
    socket_of(stream_).close(ignored);
    service_.write_log(tag_ + " closed (" + reason + "): frames in " + std::to_string(frames_in_) +
                       ", out " + std::to_string(frames_out_) + ", after " +
                       seconds_text(Clock::now() - started_));
    service_.wires.erase(id_);
  }

  bool authenticated() const override { return account_id_ != 0; }
  const std::string& client_connection_id() const override { return connection_id_; }

  json info() const override {
    json j{{"id", tag_},
           {"peer", peer_},
           {"tls", is_tls},
           {"authenticated", authenticated()},
           {"connectionId", connection_id_},
           {"framesIn", frames_in_},
           {"framesOut", frames_out_},
           {"heartbeats", heartbeats_}};
    j["accountId"] = authenticated() ? json(account_id_) : json(nullptr);
    j["computerId"] = authenticated() ? json(computer_id_) : json(nullptr);
    return j;
  }

 private:
  const Faults& faults() const { return service_.options.faults; }

  void open() {
    silent_ = faults().get("socket") == "silent";
    if (silent_) {
      service_.write_log(tag_ + " stays silent (fault socket=silent)");
    } else {
      send_frame("authentication", ojson::object());
    }
    check_idle();
    do_read();
  }

  void do_read() {
    stream_.async_read_some(
        asio::buffer(read_buffer_),
        [self = this->shared_from_this()](error_code ec, std::size_t n) { self->on_read(ec, n); });
  }

  void on_read(error_code ec, std::size_t n) {
    if (closed_) return;
    if (ec) {
      bool by_peer = ec == asio::error::eof || ec == ssl::error::stream_truncated ||
                     ec == asio::error::connection_reset;
      return close(by_peer ? "closed by the client" : "read failed: " + ec.message());
    }
    last_in_ = Clock::now();
    lines_.clear();
    if (!reader_.feed(std::string_view(read_buffer_.data(), n), lines_)) {
      return protocol_error("frame longer than " + std::to_string(max_frame_bytes) + " bytes");
    }
    for (const std::string& line : lines_) {
      handle_line(line);
      if (closed_ || closing_) return;
    }
    do_read();
  }

  void handle_line(const std::string& line) {
    ++frames_in_;
    auto parsed = parse_frame(line);
    if (auto* error = std::get_if<std::string>(&parsed)) {
      return protocol_error(*error);
    }
    Frame& frame = std::get<Frame>(parsed);
    if (service_.options.log_frames) {
      service_.write_log(
          tag_ + " <- " + frame.event +
          (frame.event == "authenticate" ? std::string() : " " + frame.payload.dump()));
    }
    if (silent_) return;
    if (frame.event == "heartbeat") {
      ++heartbeats_;
      if (faults().get("heartbeat") == "answer") {
        send_frame("heartbeat", ojson::array());
      }
    } else if (frame.event == "authenticate") {
      authenticate(frame.payload);
    } else if (!authenticated()) {
      service_.write_log(tag_ + " ignores '" + frame.event + "' before authentication");
    }
  }

  void authenticate(const ojson& message) {
    if (!message.is_object()) {
      return send_frame("authenticate.response",
                        ojson{{"success", false},
                              {"errorMessage", "The authenticate message is not an object."}});
    }
    ojson recorded = message;
    if (recorded.contains("clientKey")) recorded["clientKey"] = "***";
    ojson keys = ojson::array();
    for (const auto& item : message.items()) keys.push_back(item.key());
    service_.last_authenticate = ojson{{"session", tag_}, {"keys", keys}, {"message", recorded}};
    if (auto id = message.find("connectionId"); id != message.end() && id->is_string()) {
      connection_id_ = id->get<std::string>();
    }

    const std::string& fault = faults().get("auth");
    if (fault != "ok") {
      return answer_with_fault(fault);
    }
    std::string missing;
    for (auto key : authenticate_keys) {
      if (!message.contains(key)) missing += (missing.empty() ? "" : ", ") + std::string(key);
    }
    if (!missing.empty()) {
      service_.write_log(tag_ + " authentication failed: message lacks " + missing);
      return send_failure("The authenticate message lacks: " + missing + ".");
    }
    const auto& key = message["clientKey"];
    const Account* account =
        key.is_string() ? service_.accounts.find_by_client_key(key.get<std::string>()) : nullptr;
    if (account == nullptr) {
      service_.write_log(tag_ + " authentication failed: unknown client key");
      return send_failure("Invalid client key.");
    }
    const auto& name = message["computerName"];
    std::string computer_name = name.is_string() ? name.get<std::string>() : name.dump();
    account_id_ = account->id;
    computer_id_ = service_.accounts.computer_id(account->id, computer_name);
    ++service_.authentications;
    service_.write_log(tag_ + " authenticated account " + std::to_string(account_id_) + " (" +
                       account->email + "), computer '" + computer_name + "' id " +
                       std::to_string(computer_id_) + ", connection " + connection_id_);
    send_frame("authenticate.response",
               ojson{{"success", true}, {"accountId", account_id_}, {"id", computer_id_}});
    const ServiceOptions& o = service_.options;
    if (o.push_count > 0) {
      push(
          [event = o.push_event](int i) {
            return encode_frame(event, ojson{{"seq", i}});
          },
          o.push_count, std::chrono::milliseconds(o.push_interval_ms));
    }
  }

  void answer_with_fault(const std::string& fault) {
    service_.write_log(tag_ + " answers authenticate with fault auth=" + fault);
    const double retry = faults().retry_after();
    const std::string message = "Connection rejected by the test service.";
    if (fault == "fail") {
      send_failure("Authentication refused by the test service.");
    } else if (fault == "rejected") {
      send_frame("rejected", ojson{{"retryAfter", seconds_json(retry)}, {"message", message}});
    } else if (fault == "rejected-destroy") {
      send_frame("rejected", ojson{{"retryAfter", seconds_json(retry)},
                                   {"message", message},
                                   {"destroyClientKey", true}});
    } else if (fault == "rejected-bare") {
      send_frame("rejected", ojson::object());
    } else if (fault == "rejected-destroy-bare") {
      send_frame("rejected", ojson{{"destroyClientKey", true}});
    } else if (fault == "error") {
      send_frame("error", ojson{{"message", "Server error from the test service."}});
    } else if (fault == "oversized") {
      send_line(oversized_line());
    } else if (fault == "malformed") {
      send_line(malformed_line());
    }
  }

  void send_failure(const std::string& text) {
    send_frame("authenticate.response", ojson{{"success", false}, {"errorMessage", text}});
  }

  void protocol_error(const std::string& text) {
    service_.write_log(tag_ + " protocol error: " + text);
    send_frame("error", ojson{{"message", "protocol error: " + text}});
    close_after_writes("protocol error: " + text);
  }

  void send_frame(std::string_view event, const ojson& payload) {
    if (service_.options.log_frames) {
      service_.write_log(tag_ + " -> " + std::string(event) + " " + payload.dump());
    }
    send_line(encode_frame(event, payload));
  }

  void send_line(std::string line) {
    if (closed_ || closing_) return;
    queued_bytes_ += line.size();
    if (queued_bytes_ > max_queued_bytes) {
      return close("client does not keep up: over " + std::to_string(max_queued_bytes) +
                   " bytes queued");
    }
    ++frames_out_;
    out_.push_back(std::move(line));
    if (!writing_) do_write();
  }

  void do_write() {
    writing_ = true;
    arm_deadline(frame_write_timeout, "write timed out");
    asio::async_write(
        stream_, asio::buffer(out_.front()),
        [self = this->shared_from_this()](error_code ec, std::size_t) { self->on_write(ec); });
  }

  void on_write(error_code ec) {
    writing_ = false;
    disarm_deadline();
    if (closed_) return;
    if (ec) return close("write failed: " + ec.message());
    queued_bytes_ -= out_.front().size();
    out_.pop_front();
    if (!out_.empty()) return do_write();
    if (closing_) close(closing_reason_);
  }

  void close_after_writes(const std::string& reason) {
    closing_ = true;
    closing_reason_ = reason;
    if (!writing_) close(reason);
  }

  void arm_deadline(std::chrono::steady_clock::duration timeout, std::string what) {
    const auto generation = ++deadline_generation_;
    deadline_.expires_after(timeout);
    deadline_.async_wait(
        [self = this->shared_from_this(), generation, what = std::move(what)](error_code ec) {
          if (!ec && generation == self->deadline_generation_) self->close(what);
        });
  }

  // A deadline whose timer already fired, with its handler still queued,
  // must not act: the generation tells the handler it is stale.
  void disarm_deadline() {
    ++deadline_generation_;
    deadline_.cancel();
  }

  void check_idle() {
    const double idle = service_.options.idle_timeout;
    if (idle <= 0 || closed_) return;
    const auto due =
        last_in_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(idle));
    if (Clock::now() >= due) {
      return close("nothing received for " + std::to_string(idle) + "s");
    }
    idle_timer_.expires_at(due);
    idle_timer_.async_wait([self = this->shared_from_this()](error_code ec) {
      if (!ec) self->check_idle();
    });
  }

  void push_next() {
    if (closed_ || push_left_ <= 0) return;
    send_line(push_make_(push_index_++));
    if (--push_left_ > 0) {
      push_timer_.expires_after(push_interval_);
      push_timer_.async_wait([self = this->shared_from_this()](error_code ec) {
        if (!ec) self->push_next();
      });
    }
  }

  Service::Impl& service_;
  std::string tag_;
  std::uint64_t id_;
  Stream stream_;
  std::string peer_;
  asio::steady_timer deadline_;
  std::uint64_t deadline_generation_ = 0;
  asio::steady_timer idle_timer_;
  asio::steady_timer push_timer_;
  Clock::time_point started_;
  Clock::time_point last_in_;

  std::array<char, 16 * 1024> read_buffer_{};
  LineReader reader_;
  std::vector<std::string> lines_;
  std::deque<std::string> out_;
  std::size_t queued_bytes_ = 0;
  bool writing_ = false;
  bool closing_ = false;
  std::string closing_reason_;
  bool closed_ = false;
  bool silent_ = false;

  std::function<std::string(int)> push_make_;
  int push_left_ = 0;
  int push_index_ = 0;
  std::chrono::milliseconds push_interval_{0};

  std::int64_t account_id_ = 0;
  std::int64_t computer_id_ = 0;
  std::string connection_id_;
  std::uint64_t frames_in_ = 0;
  std::uint64_t frames_out_ = 0;
  std::uint64_t heartbeats_ = 0;
};

}  // namespace

void Service::Impl::setup() {
  if (!options.cert_file.empty()) {
    tls.emplace(ssl::context::tls_server);
    tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                     ssl::context::no_sslv3 | ssl::context::single_dh_use);
    SSL_CTX* ctx = tls->native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    ERR_clear_error();
    if (SSL_CTX_use_certificate_chain_file(ctx, options.cert_file.c_str()) != 1) {
      throw std::runtime_error("cannot load certificate " + options.cert_file + ": " +
                               tls_error_text());
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, options.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
      throw std::runtime_error("cannot load private key " + options.key_file + ": " +
                               tls_error_text());
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
      throw std::runtime_error("private key " + options.key_file + " does not match certificate " +
                               options.cert_file);
    }
  }
  http_acceptor.emplace(open_acceptor(options.http_port, "HTTP"));
  if (tls && options.https_port >= 0) {
    https_acceptor.emplace(open_acceptor(options.https_port, "HTTPS"));
  }
  socket_acceptor.emplace(open_acceptor(options.socket_port, "the socket"));
  // The control endpoint answers anyone without a password, so it never
  // leaves the machine, whatever --listen says.
  control_acceptor.emplace(open_acceptor(options.control_port, "control", true));
  ports.http = http_acceptor->local_endpoint().port();
  ports.https = https_acceptor ? https_acceptor->local_endpoint().port() : -1;
  ports.socket = socket_acceptor->local_endpoint().port();
  ports.control = control_acceptor->local_endpoint().port();
  accept(*http_acceptor, "http");
  if (https_acceptor) accept(*https_acceptor, "https");
  accept(*socket_acceptor, "socket");
  accept(*control_acceptor, "control");
}

tcp::acceptor Service::Impl::open_acceptor(int port, const char* what, bool loopback_only) {
  error_code ec;
  auto address = asio::ip::make_address(options.listen_host, ec);
  if (ec) {
    throw std::runtime_error("--listen: '" + options.listen_host + "' is not an IP address");
  }
  if (loopback_only && !address.is_loopback()) {
    address = address.is_v6() ? asio::ip::address(asio::ip::address_v6::loopback())
                              : asio::ip::address(asio::ip::address_v4::loopback());
  }
  tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
  tcp::acceptor acceptor(ioc);
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw std::runtime_error(std::string("cannot listen for ") + what + " on " +
                             endpoint_text(endpoint) + ": " + ec.message());
  }
  return acceptor;
}

void Service::Impl::accept(tcp::acceptor& acceptor, const char* kind) {
  acceptor.async_accept([this, &acceptor, kind](error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      write_log(std::string("accept on ") + kind + " failed: " + ec.message());
      auto timer = std::make_shared<asio::steady_timer>(ioc, accept_retry_wait);
      timer->async_wait([this, &acceptor, kind, timer](error_code) { accept(acceptor, kind); });
      return;
    }
    on_accepted(acceptor, std::move(socket));
    accept(acceptor, kind);
  });
}

void Service::Impl::on_accepted(tcp::acceptor& acceptor, tcp::socket socket) {
  error_code ec;
  auto peer = socket.remote_endpoint(ec);
  if (ec) return;  // the peer left already
  if (&acceptor == &*socket_acceptor) {
    ++wires_accepted;
    socket.set_option(tcp::no_delay(true), ec);
    const std::uint64_t id = next_wire_id++;
    std::shared_ptr<WireConnection> wire;
    if (tls && options.socket_tls) {
      auto session = std::make_shared<WireSession<ssl::stream<tcp::socket>>>(
          *this, id, ssl::stream<tcp::socket>(std::move(socket), *tls), endpoint_text(peer));
      wires.emplace(id, session);
      session->start();
    } else {
      auto session = std::make_shared<WireSession<tcp::socket>>(*this, id, std::move(socket),
                                                                endpoint_text(peer));
      wires.emplace(id, session);
      session->start();
    }
  } else if (&acceptor == &*control_acceptor || &acceptor == &*http_acceptor) {
    std::make_shared<HttpSession<beast::tcp_stream>>(*this, beast::tcp_stream(std::move(socket)),
                                                     &acceptor == &*control_acceptor,
                                                     peer.address())
        ->run();
  } else {
    std::make_shared<HttpSession<beast::ssl_stream<beast::tcp_stream>>>(
        *this, beast::ssl_stream<beast::tcp_stream>(std::move(socket), *tls), false, peer.address())
        ->run();
  }
}

Reply Service::Impl::handle_public(const http::request<http::string_body>& request,
                                   const asio::ip::address& peer) {
  auto target = parse_target(std::string_view(request.target().data(), request.target().size()));
  if (!target) {
    return message_reply(http::status::bad_request, "The request target is not a valid URL.");
  }
  if (target->path == discovery_path) {
    if (request.method() != http::verb::get) {
      return message_reply(http::status::method_not_allowed, "Discovery takes GET.");
    }
    return discover(*target, peer);
  }
  if (target->path == login_path) {
    if (request.method() != http::verb::post) {
      return message_reply(http::status::method_not_allowed, "Login takes POST.");
    }
    return login(request.body());
  }
  return message_reply(http::status::not_found, "No such endpoint: " + target->path);
}

Reply Service::Impl::discover(const Target& target, const asio::ip::address& peer) {
  ++discoveries;
  json params = json::object();
  std::string shown;
  for (const auto& [key, value] : target.query) {
    params[key] = value;
    shown += (shown.empty() ? "" : " ") + key + "=" + value;
  }
  last_discovery = params;
  const std::string& fault = options.faults.get("discovery");
  write_log("discovery from " + peer.to_string() + ": " + shown +
            (fault == "ok" ? "" : " (fault discovery=" + fault + ")"));
  if (fault == "500") {
    return message_reply(http::status::internal_server_error,
                         "Internal error (fault discovery=500).");
  }
  if (fault == "malformed") {
    return Reply{http::status::ok, R"({"address": "127.0.0.1", "port": )", false};
  }
  if (fault == "hang") {
    return Reply{http::status::ok, {}, true};
  }
  std::string missing;
  for (auto key : discovery_params) {
    if (!params.contains(key)) missing += (missing.empty() ? "" : ", ") + std::string(key);
  }
  if (!missing.empty()) {
    return message_reply(http::status::bad_request, "Missing query parameters: " + missing + ".");
  }
  const std::string address = options.advertise_host.value_or(options.listen_host);
  json answer{{"address", address},
              {"port", fault == "closed-port" ? closed_port() : ports.socket},
              {"remote_address", peer.to_string()},
              {"version", options.service_version},
              {"heartbeat",
               {{"interval", seconds_json(options.heartbeat_interval)},
                {"timeout", seconds_json(options.heartbeat_timeout)}}},
              {"tls", tls.has_value() && options.socket_tls}};
  return json_reply(http::status::ok, answer);
}

int Service::Impl::closed_port() {
  // A port that was free a moment ago: bound, read and released again.
  try {
    tcp::acceptor probe = open_acceptor(0, "a closed port");
    int port = probe.local_endpoint().port();
    error_code ignored;
    probe.close(ignored);
    return port;
  } catch (const std::runtime_error& e) {
    write_log(std::string("no closed port to offer: ") + e.what());
    return 1;  // reserved (tcpmux), closed on any ordinary machine
  }
}

Reply Service::Impl::login(const std::string& body) {
  ++logins;
  json request = json::parse(body, nullptr, false);
  if (request.is_discarded() || !request.is_object() || !request.contains("email") ||
      !request["email"].is_string() || !request.contains("password") ||
      !request["password"].is_string()) {
    return message_reply(http::status::bad_request,
                         "Expected a JSON object with a text email and password.");
  }
  const std::string email = request["email"].get<std::string>();
  const Account* account = accounts.login(email, request["password"].get<std::string>());
  if (account == nullptr) {
    write_log("login refused for " + email);
    return message_reply(http::status::unauthorized, "Invalid email or password.");
  }
  write_log("login of " + account->email + " (account " + std::to_string(account->id) + ")");
  return json_reply(
      http::status::ok,
      json{{"id", account->id}, {"email", account->email}, {"clientKey", account->client_key}});
}

Reply Service::Impl::handle_control(const http::request<http::string_body>& request) {
  auto target = parse_target(std::string_view(request.target().data(), request.target().size()));
  if (!target) {
    return message_reply(http::status::bad_request, "The request target is not a valid URL.");
  }
  const bool get = request.method() == http::verb::get;
  const bool post = request.method() == http::verb::post;
  try {
    if (target->path == "/control/state" && get) {
      return json_reply(http::status::ok, state());
    }
    if (target->path == "/control/faults" && get) {
      return json_reply(http::status::ok, options.faults.to_json());
    }
    if (target->path == "/control/faults" && post) {
      if (std::string error = options.faults.set_json(json::parse(request.body()));
          !error.empty()) {
        return message_reply(http::status::bad_request, error);
      }
      write_log("faults now " + options.faults.to_json().dump());
      return json_reply(http::status::ok, options.faults.to_json());
    }
    if (target->path == "/control/push" && post) {
      return control_push(ojson::parse(request.body()));
    }
    if (target->path == "/control/drop" && post) {
      return control_drop();
    }
  } catch (const nlohmann::json::exception& e) {
    return message_reply(http::status::bad_request, std::string("bad request body: ") + e.what());
  }
  return message_reply(http::status::not_found, "No such control endpoint: " + target->path);
}

Reply Service::Impl::control_push(const ojson& body) {
  if (!body.is_object()) {
    return message_reply(http::status::bad_request, "Expected a JSON object.");
  }
  std::string line;
  std::string what;
  if (body.contains("raw")) {
    line = body.at("raw").get<std::string>() + "\n";
    what = "a raw line";
  } else if (body.value("oversized", false)) {
    line = oversized_line();
    what = "an oversized frame";
  } else {
    const std::string event = body.at("event").get<std::string>();
    line = encode_frame(event, body.contains("payload") ? body.at("payload") : ojson::object());
    if (line.size() - 1 > max_frame_bytes) {
      return message_reply(http::status::bad_request,
                           "The frame is over the limit; ask for \"oversized\".");
    }
    what = "'" + event + "'";
  }
  const int count = body.value("count", 1);
  const int interval_ms = body.value("intervalMs", 0);
  const std::string to = body.value("to", std::string("authenticated"));
  const std::string connection_id = body.value("connectionId", std::string());
  if (count < 1 || count > 10000000 || interval_ms < 0 || (to != "authenticated" && to != "all")) {
    return message_reply(
        http::status::bad_request,
        "count must be 1 or more, intervalMs 0 or more, to \"authenticated\" or \"all\".");
  }
  int reached = 0;
  auto targets = wires;  // a push may close a connection, which leaves the map
  for (auto& [id, wire] : targets) {
    if ((to == "all" || wire->authenticated()) &&
        (connection_id.empty() || wire->client_connection_id() == connection_id)) {
      wire->push([line](int) { return line; }, count, std::chrono::milliseconds(interval_ms));
      ++reached;
    }
  }
  write_log("control: push " + what + " x" + std::to_string(count) + " to " +
            std::to_string(reached) + " connection(s)");
  return json_reply(http::status::ok, json{{"connections", reached}});
}

Reply Service::Impl::control_drop() {
  auto targets = wires;
  for (auto& [id, wire] : targets) {
    wire->close("dropped by control request");
  }
  write_log("control: dropped " + std::to_string(targets.size()) + " connection(s)");
  return json_reply(http::status::ok, json{{"dropped", targets.size()}});
}

json Service::Impl::state() const {
  json connections = json::array();
  for (const auto& [id, wire] : wires) {
    connections.push_back(wire->info());
  }
  return json{{"connections", connections},
              {"faults", options.faults.to_json()},
              {"counts",
               {{"discoveries", discoveries},
                {"logins", logins},
                {"authentications", authentications},
                {"connectionsAccepted", wires_accepted}}},
              {"lastDiscovery", last_discovery},
              {"lastAuthenticate", json::parse(last_authenticate.dump())}};
}

Service::Service(ServiceOptions options, AccountStore accounts, LogSink log)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(accounts), std::move(log))) {
  impl_->setup();
}

Service::~Service() = default;

const BoundPorts& Service::ports() const {
  return impl_->ports;
}

std::string Service::listening_line() const {
  auto at = [](const std::optional<tcp::acceptor>& acceptor) {
    error_code ec;
    return acceptor ? endpoint_text(acceptor->local_endpoint(ec)) : std::string("-");
  };
  const Impl& i = *impl_;
  return "quillpost-service listening http=" + at(i.http_acceptor) +
         " https=" + at(i.https_acceptor) + " socket=" + at(i.socket_acceptor) +
         " control=" + at(i.control_acceptor) +
         " tls=" + (i.tls && i.options.socket_tls ? "true" : "false");
}

void Service::run(bool handle_signals) {
  if (handle_signals) {
    impl_->signals.add(SIGINT);
    impl_->signals.add(SIGTERM);
    impl_->signals.async_wait([this](error_code ec, int signal) {
      if (ec) return;
      impl_->write_log("stopping on signal " + std::to_string(signal));
      impl_->ioc.stop();
    });
  }
  impl_->ioc.run();
}

void Service::stop() {
  impl_->ioc.stop();
}

}  // namespace quillpost::service
