// What the parts of quillpost-service share: the state of the running
// service (Service::Impl), its tunables, the reply of an HTTP handler and the
// interface of a client-socket connection. The listeners and the public
// endpoints are in server.cc, the HTTP sessions in http_session.cc, the
// client-socket sessions in wire_session.cc, the control endpoint in
// control.cc, print jobs, printers and documents in printing.cc.
#pragma once

// clang-format off
#include <utility>  // before Asio: see the notes on Boost 1.74
// clang-format on

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "service/document_file.h"
#include "service/frame.h"
#include "service/print_jobs.h"
#include "service/scales.h"
#include "service/server.h"

namespace quillpost::service {

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
inline constexpr auto tls_handshake_timeout = 10s;
// Time a client gets to send a whole HTTP request, and to take the answer.
inline constexpr auto http_timeout = 30s;
// A frame write that does not finish in this time means the client stopped reading.
inline constexpr auto frame_write_timeout = 30s;
// How long a closing HTTP connection keeps reading what the client still sends.
inline constexpr auto drain_timeout = 5s;
// The "hang" discovery fault holds the request at most this long.
inline constexpr auto discovery_hang_limit = 10min;
// Wait before accepting again after the system refused (out of descriptors).
inline constexpr auto accept_retry_wait = 100ms;
// Frames queued for one client beyond this mean it is not keeping up.
inline constexpr std::size_t max_queued_bytes = 16 * 1024 * 1024;
inline constexpr std::size_t max_http_body_bytes = max_frame_bytes;

// What a connection on the client socket offers the rest of the service.
class WireConnection {
 public:
  virtual ~WireConnection() = default;
  // Queues `count` lines made by `make_line(i)`, `interval` apart (all at
  // once for 0). A new push replaces a timed one still running.
  virtual void push(std::function<std::string(int)> make_line, int count,
                    std::chrono::milliseconds interval) = 0;
  virtual void close(const std::string& reason) = 0;
  // Queues one frame.
  virtual void send_event(std::string_view event, const ojson& payload) = 0;
  virtual bool authenticated() const = 0;
  // The computer that authenticated on this connection.
  virtual ComputerKey computer() const = 0;
  // The installation (worldUuid) and the run (instanceUuid) of the client.
  virtual const std::string& world() const = 0;
  virtual const std::string& instance() const = 0;
  // Orders the connections by the time they authenticated.
  virtual std::uint64_t auth_order() const = 0;
  virtual const std::string& client_connection_id() const = 0;
  virtual const std::string& tag() const = 0;
  virtual json info() const = 0;
};

struct Reply {
  http::status status = http::status::ok;
  std::string body;
  bool hang = false;        // hold the request and never answer
  std::string location;     // the Location of a redirect
  std::string retry_after;  // the Retry-After of a refusal that passes
  // Instead of `body`: a document streamed from disk under `content_type`,
  // for the log under `document_job`; `cut_short` closes the connection
  // once the reader's limit is reached.
  std::shared_ptr<DocumentReader> document;
  std::string content_type;
  std::string document_job;
  bool cut_short = false;
};

inline Reply text_reply(http::status status, std::string body) {
  Reply reply;
  reply.status = status;
  reply.body = std::move(body);
  return reply;
}

// Holds the request open and never answers.
inline Reply hang_reply() {
  Reply reply;
  reply.hang = true;
  return reply;
}

inline Reply json_reply(http::status status, const json& body) {
  return text_reply(status, body.dump());
}

inline Reply json_reply(http::status status, const ojson& body) {
  return text_reply(status, body.dump());
}

inline Reply message_reply(http::status status, const std::string& message) {
  return json_reply(status, json{{"message", message}});
}

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
  Reply crash_report(const std::string& body, const asio::ip::address& peer);
  Reply control_push(const ojson& body);
  Reply control_drop();
  json state() const;
  int closed_port();

  // Printing (printing.cc).
  void load_jobs();
  // Writes the jobs file, when there is one; false (and a log line) when that fails.
  bool save_jobs();
  Reply control_print(const ojson& body);
  Reply control_cancel(const ojson& body);
  Reply serve_document(const Target& target, std::string_view raw_target,
                       const asio::ip::address& peer);
  // "scheme://host:port" of the document URLs.
  std::string document_base() const;
  // Frames from an authenticated connection.
  void on_printers(WireConnection& wire, const ojson& payload);
  void on_print_status(WireConnection& wire, const ojson& payload);
  void on_printer_states(WireConnection& wire, const ojson& payload);
  // Scales (scales.cc's book; handlers in printing.cc): the list, the
  // readings, and the answers to scale.read and scale.zero.
  void on_scales(WireConnection& wire, const ojson& payload);
  void on_scale_reading(WireConnection& wire, const ojson& payload);
  void on_scale_result(WireConnection& wire, const std::string& event, const ojson& payload);
  // After a handshake: the installation's jobs (and those no installation
  // has), and the drop of jobs that moved away from it.
  void offer_open_jobs(WireConnection& wire);
  void offer(WireConnection& wire, PrintJob& job);
  // One installation per connection: a newer connection of the same run
  // replaces an older one; two runs of one installation are warned.
  void check_installation(WireConnection& wire);
  // The connection that gets the offers of installation `world` of
  // `computer`: its first authenticated one; null when it is away.
  WireConnection* offer_connection(const ComputerKey& computer, const std::string& world) const;
  // The installation of `computer` connected the longest; null: none.
  WireConnection* first_installation(const ComputerKey& computer) const;
  // A connection ended: another of the same installation takes its jobs, or
  // the lease of the installation's jobs starts to run out.
  void on_wire_closed(const ComputerKey& computer, const std::string& world,
                      std::uint64_t auth_order);
  // Whether `job` may move on: its installation has been away for the lease
  // and the job has not reached "printing".
  bool lease_ended(const PrintJob& job) const;
  // Moves the jobs whose lease ended to the first installation connected.
  void move_expired_jobs(const ComputerKey& computer);

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
  // The crash reports received, oldest first; only the newest are kept.
  std::deque<json> crash_reports;
  json last_discovery;      // null until the first request
  ojson last_authenticate;  // null until the first message
  PrintBook print_book;
  ScaleBook scale_book;
  std::vector<std::string> startup_notes;  // log lines for when run() starts
  // When each installation's last connection ended; one never seen since
  // the start counts as away since then.
  std::map<std::pair<ComputerKey, std::string>, Clock::time_point> away_since;
  Clock::time_point started = Clock::now();
  WireConnection* authenticating = nullptr;  // during check_installation
};

// A frame longer than the limit, for the "oversized" fault.
inline std::string oversized_line() {
  std::string line = R"({"event":"oversized","payload":")";
  line.append(max_frame_bytes, 'x');
  line += "\"}\n";
  return line;
}

// A line that is not JSON, for the "malformed" fault.
inline std::string malformed_line() {
  return "{\"event\": \"malformed\", \"payload\": \n";
}

// Seconds as a JSON number: whole ones as integers ("30", not "30.0").
inline json seconds_json(double seconds) {
  if (seconds == static_cast<double>(static_cast<std::int64_t>(seconds))) {
    return static_cast<std::int64_t>(seconds);
  }
  return seconds;
}

// Serve one accepted connection until it ends. `tls` (may be null) wraps the
// connection in TLS.
void start_http_session(Service::Impl& service, tcp::socket socket, ssl::context* tls, bool control,
                        const asio::ip::address& peer);
void start_wire_session(Service::Impl& service, std::uint64_t id, tcp::socket socket,
                        ssl::context* tls, std::string peer);

}  // namespace quillpost::service
