// The connection client: the Client agent that keeps the computer connected.
//
// The agent finds a server through service discovery, opens the socket,
// answers the server's authentication request, keeps the link alive with
// heartbeats, publishes server messages and its connection status, sends the
// application's messages, and after every failure disconnects and reconnects
// after the wait that fits the cause.
//
// Everything runs on the agent runtime's thread, one message at a time; the
// agent takes no locks and never blocks. Blocking work (discovery, connect,
// reading and writing the socket) runs on worker threads started through
// comms::Workers, which report back only through mailboxes, every report tagged
// with the connection id of its attempt so that stale reports can be dropped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/agent/main_loop_queue.h"
#include "quillpost/host/comms/defs.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/runtime/comms/protocol_log_writer.h"
#include "quillpost/host/runtime/comms/service_discovery.h"
#include "quillpost/host/runtime/comms/url.h"
#include "quillpost/host/runtime/comms/workers.h"
#include "quillpost/host/world/world.h"

namespace quillpost::client {

// The reason carried by a Disconnected state; a server error without a message
// has none.
using Reason = std::optional<std::string>;

class Client : public agent::SimpleAgent {
 public:
  static constexpr std::string_view name = "client";
  // Self-sent when a reconnect wait (or the start-up delay) is over.
  static constexpr std::string_view WAIT_OVER = "wait_over";
  // Self-sent to time out a socket connect.
  static constexpr std::string_view CONNECTING_REMINDER = "connecting_reminder";
  // Seconds from start to the first connection attempt.
  static constexpr double START_DELAY = 0.1;
  // Seconds before reconnecting after the socket failed: long enough not to
  // hammer a server that just dropped us, short enough to go unnoticed.
  static constexpr double SOCKET_ERROR_WAIT = 3.0;

  // The ten injected values, in binding order. `workers` starts the worker
  // threads; unset: real detached threads (comms::thread_workers).
  Client(const World& world, SystemInfo system_info,
         std::shared_ptr<agent::MainLoopQueue> main_loop_queue, HttpConfig http_config,
         comms::UrlFactory url_factory, comms::RequestHeaders service_discovery_headers,
         ParamMap service_discovery_params, std::filesystem::path logs_dir,
         ServerAddress override_server_address, std::string server_protocol_logfile,
         std::shared_ptr<comms::Workers> workers = nullptr);

  void before() override;
  void receive(const std::string& event, const agent::Payload& payload) override;

  // Second-level dispatch, called only from receive.
  void receive_disconnected(const std::string& event, const agent::Payload& payload);
  void receive_handshaked(const std::string& event, const agent::Payload& payload);
  void unhandled(const std::string& event, const agent::Payload& payload);

  // Status and GUI-log publication.
  void _update_connection(const comms::Connection& connection);
  void _log_to_gui(std::string_view code, const std::string& msg);

  // Disconnection and reconnect scheduling. `wait` is seconds, or
  // ReconnectTimings::DONT_RECONNECT.
  void to_disconnected(const Reason& reason, double wait);
  void socket_error(const comms::SocketErrorPayload& payload);

  // Connection attempt and service discovery.
  void wait_over(const agent::Payload& payload);
  void start_attempt();
  void to_service_discovery(const std::string& address, const std::string& connection_id,
                            const std::optional<Proxy>& proxy);
  void service_discovery(const comms::ServiceDiscoveryPayload& service_discovery);
  void to_connecting(const comms::ServiceDiscoveryPayload& service_discovery,
                     const std::optional<Proxy>& proxy);
  void service_discovery_fail(const comms::ServiceDiscoveryFailPayload& payload);

  // Socket connection and sending.
  void connecting_reminder(const std::string& connection_id);
  void connecting_complete(const comms::ConnectingCompletePayload& payload);
  void to_connected(std::shared_ptr<comms::Socket> sock, const comms::Heartbeat& heartbeat,
                    const std::string& remote_address, const comms::Address& endpoint_address);
  // Queues the message for the writer; the payload's keys reach the wire in
  // their order.
  void send_server(const std::string& event, const nlohmann::ordered_json& payload);

  // Server messages and heartbeat.
  // `message_struct` is read from `payload`, which is published as it came
  // (a shared payload is handed on without a copy).
  void server_message(const comms::ServerMessage& message_struct, const agent::Payload& payload);
  void heartbeat_reminder(const std::string& connection_id);

  // Account and HTTP configuration updates.
  void _update_account(const std::optional<Account>& account);
  void _update_http_config(const HttpConfig& http_config);

  // Authentication and handshake.
  void server_message_connected(const std::string& event, const nlohmann::json& payload);
  // A `warning` from the service, logged for the owner (bounded).
  void log_server_warning(const nlohmann::json& payload);
  // The answer to the authenticate message. One that cannot be read ends the
  // connection with the socket-error wait.
  void authenticate_response(const nlohmann::json& payload);
  void to_handshaked(std::int64_t account_id, std::int64_t computer_id);

  // Read access for the host's status page and for tests.
  const comms::State& state() const { return state_; }
  const std::optional<Account>& account() const { return _account; }
  const HttpConfig& http_config() const { return _http_config; }
  const std::string& client_session() const { return client_session_; }
  const std::shared_ptr<comms::ProtocolLog>& protocol_logwriter() const {
    return _protocol_logwriter;
  }

 private:
  agent::Mailbox mailbox(const std::string& label) const;
  void put_main_loop(const Reason& reason) const;

  SystemInfo _system_info;
  std::shared_ptr<agent::MainLoopQueue> _main_loop_queue;
  HttpConfig _http_config;
  std::optional<Account> _account;
  std::string _computer_name;
  std::string _world_id;
  std::string _instance_id;
  comms::UrlFactory _url_factory;
  comms::RequestHeaders _service_discovery_headers;
  ParamMap _service_discovery_params;
  std::filesystem::path _logs_dir;
  ServerAddress _override_server_address;
  std::string client_session_;
  logs::Logger logger;
  std::shared_ptr<comms::ProtocolLog> _protocol_logwriter;
  std::shared_ptr<comms::Workers> workers_;

  agent::Channel core;
  agent::Channel schedule;
  agent::Channel pubsub;
  comms::State state_ = comms::Disconnected{"just started"};

  // Counts the disconnects without reconnect. Every scheduled WAIT_OVER carries
  // the count of its moment, and one that was scheduled before the latest
  // disconnect without reconnect starts nothing: the user's "stay
  // disconnected" wins over reconnects that were already on their way.
  std::uint64_t reconnect_generation_ = 0;
};

// True when `state` is a K whose connection_id is `connection_id`.
template <typename K>
bool check_state_connection(const comms::State& state, std::string_view connection_id) {
  const K* s = std::get_if<K>(&state);
  return s != nullptr && s->connection_id == connection_id;
}

// "T-SD 12, T-CONNECT 30, ...": the milliseconds each phase of a connection
// took, each reading paired with the next and the last with `end` (now when
// unset). Throws std::invalid_argument when `timings` is empty.
std::string format_timings(const std::vector<double>& timings,
                           std::optional<double> end = std::nullopt);

// The machine's host name as the platform reports it. Throws std::system_error
// when the query fails.
std::string platform_hostname();

// The message that answers the server's "authentication", its twelve entries
// in the order the server expects. `query_hostname` reads the host name; when
// it throws, the host name of `system_info` is sent instead.
nlohmann::ordered_json create_authenticate_message(
    const SystemInfo& system_info, const std::optional<Account>& account,
    const std::string& computer_name, const std::string& world_id, const std::string& instance_id,
    const comms::Connected& state, const std::string& client_session_id, const logs::Logger& logger,
    const std::function<std::string()>& query_hostname = platform_hostname);

// A number of seconds as log lines show it: "30" for whole numbers, "2.5"
// otherwise, "None" when unset.
std::string number_text(double value);
std::string number_text(const std::optional<double>& value);

// The text form of a new random (version 4) UUID: a connection id or the
// client session id.
std::string random_uuid4();

// A protocol-log frame with the value of every "clientKey" entry (at any depth)
// replaced by as many "*": the log shows that a key was sent, never the key.
// Frames without such an entry are returned unchanged.
std::string mask_protocol_secrets(std::string_view frame);

// The kind of `state` in upper case, as the log lines show it ("SERVICEDISCOVERY").
std::string upper_kind_name(const comms::State& state);

}  // namespace quillpost::client
