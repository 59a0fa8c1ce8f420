// The connection's socket and the three socket workers.
//
// Frames are compact UTF-8 JSON objects {"event": ..., "payload": ...}, one per
// line. A frame longer than MAX_FRAME_BYTES, one nested deeper than
// MAX_FRAME_DEPTH, or a line that is not such an object, is a protocol error
// that ends the connection.
//
// Each worker runs on a detached thread that the client starts and never joins:
//   create_socket_thread  connects (directly or through the proxy; TLS when asked)
//                         and posts exactly one CONNECTING_COMPLETE report;
//   listen                posts SERVER_MESSAGE per frame (server heartbeats are
//                         consumed), SOCKET_ERROR when reading fails;
//   writer                writes what the send queue gives, SOCKET_ERROR when
//                         writing fails; ends on queue shutdown or closed event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/base/http_url.h"
#include "quillpost/host/comms/defs.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/process/event.h"
#include "quillpost/host/runtime/comms/priority_queues.h"
#include "quillpost/host/runtime/comms/protocol_log_writer.h"

namespace quillpost::comms {

inline constexpr std::size_t MAX_FRAME_BYTES = 1024 * 1024;
// Arrays and objects inside one another, the frame's own object included.
// Copying, comparing and printing a JSON value recurse once per level, so a
// frame of deeply nested brackets would exhaust the stack of whoever handles it.
inline constexpr std::size_t MAX_FRAME_DEPTH = 64;

// A failed socket operation; `what()` says what failed.
class SocketFailure : public std::runtime_error {
 public:
  enum class Kind { failed, timed_out, closed, end_of_stream };
  SocketFailure(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// An open connection, plain or TLS. Every member is safe to call from any
// thread at any time; one reader and one writer may work at once, and `close`
// may come from a third thread while they wait (they then fail with `closed`).
class Socket {
 public:
  virtual ~Socket() = default;

  // Closes the connection; idempotent, never throws.
  virtual void close() noexcept = 0;
  virtual bool is_closed() const = 0;
  // The local (address, port) of the connection.
  virtual Address getsockname() const = 0;
  // The far (address, port) of the TCP connection (the proxy when one is used).
  virtual Address getpeername() const = 0;

  // Reads what is available into `buffer`, waiting at most `timeout` seconds
  // (unset: no limit). Throws SocketFailure: timed_out, closed, end_of_stream
  // (the peer ended the stream) or failed.
  virtual std::size_t read_some(std::span<char> buffer, std::optional<double> timeout) = 0;
  // Writes all of `data`. Throws SocketFailure.
  virtual void write_all(std::string_view data) = 0;
};

// TLS for a connection.
struct TlsSettings {
  bool enabled = false;
  // Verify the server's chain and host name (TLS 1.2 or newer either way).
  bool verify = true;
  // CA store in PEM format; unset: the system's.
  std::optional<std::string> cacert_file;
  // The name to verify and to send as SNI; empty: the address connected to.
  std::string server_name;
};

struct ConnectOptions {
  // Bound on the whole connect: TCP, proxy handshake and TLS handshake.
  double timeout = CONNECT_TIMEOUT;
  TlsSettings tls;
};

// Opens a connection to `address`:`port`, through `proxy` when set ("http":
// HTTP CONNECT with Basic credentials; "socks4", "socks4a", "socks5" with
// user/password), then TLS when asked. Blocks at most `options.timeout`.
// Throws SocketFailure whose text names the step that failed, for example
// "proxy 127.0.0.1:3128: HTTP CONNECT refused: 407 Proxy Authentication Required".
std::shared_ptr<Socket> open_socket(const std::string& address, std::int64_t port,
                                    const std::optional<Proxy>& proxy,
                                    const ConnectOptions& options = {});

// A connection to the URL's server for one HTTP request: through the
// configured proxy, with TLS (the configured verification and CA file, the
// URL's host checked) for https. Blocks at most `timeout` seconds. Throws
// SocketFailure naming the step that failed.
std::shared_ptr<Socket> open_http_socket(const HttpUrl& url, const HttpConfig& http_config,
                                         double timeout);

// Connects with open_socket and posts one CONNECTING_COMPLETE with a
// ConnectingCompletePayload into `mailbox`; `ret` holds the socket and
// (address, port) on success.
void create_socket_thread(const std::string& connection_id, const std::string& address,
                          std::int64_t port, const std::optional<Proxy>& proxy,
                          const agent::Mailbox& mailbox, const ConnectOptions& options = {});

// Reads frames until the socket fails, posting SERVER_MESSAGE (a ServerMessage)
// for each frame but server heartbeats. `timeout` (seconds; unset: none) bounds
// the wait for each frame. On any failure, protocol errors included, posts one
// SOCKET_ERROR (source "listener") and returns.
void listen(std::shared_ptr<Socket> sock, const std::string& connection_id,
            std::optional<double> timeout, const agent::Mailbox& mailbox,
            std::shared_ptr<ProtocolLog> protocol_logwriter);

// Writes the queue's messages as frames until the queue is shut down or
// `closed_event` is set; a failed write posts one SOCKET_ERROR (source
// "writer") and returns.
void writer(std::shared_ptr<Socket> sock, std::shared_ptr<Event> closed_event,
            std::shared_ptr<ServerSendQueue> write_queue, const std::string& connection_id,
            const agent::Mailbox& mailbox, std::shared_ptr<ProtocolLog> protocol_logwriter);

// The frame text of one message, without its line feed; the payload's keys in
// their order.
std::string encode_frame(const std::string& event, const nlohmann::ordered_json& payload);

}  // namespace quillpost::comms
