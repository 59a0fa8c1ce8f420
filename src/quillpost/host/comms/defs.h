// The connection's records, event names and timing constants.
//
// The five state records are plain values: a transition builds a new record,
// none is changed after it is made. The socket, the send queue and the closed
// event of a live connection are shared with the listener and writer threads,
// hence held by shared_ptr; all three are safe to use from several threads.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "quillpost/host/process/event.h"

namespace quillpost::comms {

class Socket;
class ServerSendQueue;

// Event names (distinct, compared by equality). HEARTBEAT is also the event of
// the heartbeat frame on the wire.
inline constexpr std::string_view SERVER_MESSAGE = "server_message";
inline constexpr std::string_view UPDATE_CONNECTION = "update_connection";
inline constexpr std::string_view CONNECTING_COMPLETE = "connecting_complete";
inline constexpr std::string_view SOCKET_ERROR = "socket_error";
inline constexpr std::string_view HEARTBEAT_REMINDER = "heartbeat_reminder";
inline constexpr std::string_view HEARTBEAT = "heartbeat";

// Seconds a socket connect (TCP, proxy handshake and TLS together) may take.
inline constexpr double CONNECT_TIMEOUT = 10.0;

// Seconds to wait before the next connection attempt, by cause.
struct ReconnectTimings {
  // The server reported an error: give it time to recover.
  static constexpr double SERVER_ERROR = 10.0;
  // Floor for the server's "retryAfter" when it rejects the client.
  static constexpr double REJECTED_MSG_MIN_RECONNECT_TIME = 5.0;
  // The socket could not be opened.
  static constexpr double UNABLE_TO_CONNECT = 5.0;
  // Service discovery failed (service down, network away).
  static constexpr double UNABLE_TO_CONNECT_SERVICE_DISCOVERY = 10.0;
  // Ceiling for the server's "retryAfter": a server that asks for more than a
  // day is still retried daily rather than never (or, overflowing, at once).
  static constexpr double REJECTED_MSG_MAX_RECONNECT_TIME = 24 * 3600.0;
  // "Do not reconnect": compared only for equality; no wait is ever negative.
  static constexpr double DONT_RECONNECT = -1.0;
};

// Bounds, in seconds, on the heartbeat settings of a discovery answer. A value
// outside them is brought to the nearest bound where the answer is read; 0
// keeps its meaning (no heartbeats, no read deadline).
struct HeartbeatBounds {
  // A heartbeat a second at most: a shorter interval floods the link and the
  // send queue. At least one a day: a longer one overflows the timers.
  static constexpr double INTERVAL_MIN = 1.0;
  static constexpr double INTERVAL_MAX = 24 * 3600.0;
  // The read deadline is at least a second (a shorter one ends links before
  // the first answer can arrive) and at most a day.
  static constexpr double TIMEOUT_MIN = 1.0;
  static constexpr double TIMEOUT_MAX = 24 * 3600.0;
};

// Readings of the monotonic clock, in seconds.
double monotonic();
// Whole milliseconds from `start` to `end` (to now when `end` is not given),
// both monotonic readings in seconds, rounded to the nearest millisecond.
std::int64_t ms_since(double start, std::optional<double> end = std::nullopt);

// An (address, port) pair.
using Address = std::pair<std::string, std::int64_t>;

// The heartbeat settings of a discovery answer, in seconds. An interval that is
// unset or 0 means no heartbeats; an unset timeout means no read deadline.
struct Heartbeat {
  std::optional<double> interval;
  std::optional<double> timeout;
  bool operator==(const Heartbeat&) const = default;
};

// The discovery answer.
struct ServiceDiscoveryPayload {
  std::string address;
  std::int64_t port = 0;
  std::string remote_address;  // the client's address as the service saw it
  std::string connection_id;
  std::string version;
  Heartbeat heartbeat;
  bool tls = false;  // whether the server's socket speaks TLS
  bool operator==(const ServiceDiscoveryPayload&) const = default;
};

// One message for the server: `msg` is its event name. The payload keeps the
// order of its keys to the wire: the authenticate message's order is part of
// the protocol.
struct ServerMessagePayload {
  std::string msg;
  nlohmann::ordered_json payload;
};

// The payload of SERVER_MESSAGE: one frame from the server.
struct ServerMessage {
  std::string event;
  nlohmann::json payload;
  std::string connection_id;
};

// The payload of SOCKET_ERROR.
struct SocketErrorPayload {
  std::string connection_id;
  std::string source;  // "listener", "writer"
  std::string reason;
};

// The payload of CONNECTING_COMPLETE: the five elements of a connect report.
struct ConnectingCompletePayload {
  std::string connection_id;
  double start = 0.0;  // monotonic reading when the connect began
  std::string msg;     // what happened; the disconnect reason on failure
  bool success = false;
  // On success: the open socket and the far end reached (server host, port).
  std::optional<std::pair<std::shared_ptr<Socket>, Address>> ret;
};

// The connection states.
struct Disconnected {
  static constexpr std::string_view kind = "Disconnected";
  std::optional<std::string> reason;
};

struct ServiceDiscovery {
  static constexpr std::string_view kind = "ServiceDiscovery";
  std::string server;  // the discovery URL
  std::string connection_id;
  std::vector<double> timings;
};

struct Connecting {
  static constexpr std::string_view kind = "Connecting";
  std::string connection_id;
  std::vector<double> timings;
  ServiceDiscoveryPayload service_discovery;
};

struct Connected {
  static constexpr std::string_view kind = "Connected";
  std::shared_ptr<Socket> socket;
  std::shared_ptr<ServerSendQueue> write_queue;
  std::shared_ptr<Event> closed_event;
  std::string connection_id;
  std::vector<double> timings;
  std::optional<double> heartbeat_interval;
};

struct Handshaked {
  static constexpr std::string_view kind = "Handshaked";
  std::shared_ptr<Socket> socket;
  std::shared_ptr<ServerSendQueue> write_queue;
  std::shared_ptr<Event> closed_event;
  std::string connection_id;
  std::vector<double> timings;
  std::optional<double> heartbeat_interval;
  std::int64_t account_id = 0;
};

using State = std::variant<Disconnected, ServiceDiscovery, Connecting, Connected, Handshaked>;

// "Disconnected", "ServiceDiscovery", ...
std::string_view kind_name(const State& state);

// The published connection status.
enum class ClientStatus { disconnected, service_discovery, connecting, connected, handshaked };
std::string_view name(ClientStatus status);

struct Connection {
  ClientStatus status = ClientStatus::disconnected;
  std::optional<std::int64_t> account_id;  // set once handshaked
  // Keys by status: disconnected {"reason"}; service_discovery {"server"};
  // connecting {"address": [address, port], "remote_address"}; connected
  // {"address", "local_address", "remote_address"}; handshaked {"account_id",
  // "computer_id"}. Subscribers may rely on exactly these keys.
  nlohmann::json info = nlohmann::json::object();
  // Rides beside the status for the host's own use (the service manager's
  // status line), not part of it: for a disconnected status, the seconds
  // until the next attempt as the client scheduled it; unset when no attempt
  // follows (and for every other status).
  std::optional<double> retry_in = std::nullopt;
  std::string to_text() const;
  // Two statuses are the same when status, account and info are.
  bool operator==(const Connection& other) const {
    return status == other.status && account_id == other.account_id && info == other.info;
  }
};

}  // namespace quillpost::comms
