// One connection attempt: the account check, service discovery, the socket
// connect under its watchdog, the connected state with its listener, writer
// and heartbeat, and the gate for everything sent to the server.
#include <cmath>
#include <stdexcept>
#include <system_error>

#include "quillpost/client/client.h"
#include "quillpost/host/runtime/comms/priority_queues.h"
#include "quillpost/host/runtime/comms/url.h"
#include "quillpost/host/runtime/comms/wire.h"

namespace quillpost::client {

namespace {

bool missing(const std::optional<std::string>& value) {
  return !value || value->empty();
}

std::string proxy_suffix(const std::optional<Proxy>& proxy) {
  return proxy ? " using " + proxy->type + " proxy" : "";
}

bool heartbeats_enabled(const std::optional<double>& interval) {
  return interval && *interval > 0;
}

}  // namespace

std::string number_text(double value) {
  if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<std::int64_t>(value));
  }
  return to_text(value);
}

std::string number_text(const std::optional<double>& value) {
  return value ? number_text(*value) : "None";
}

void Client::wait_over(const agent::Payload& payload) {
  if (const auto* generation = std::any_cast<std::uint64_t>(&payload)) {
    if (*generation != reconnect_generation_) {
      logger.debug("reconnect cancelled by a later disconnect request");
      return;
    }
  }
  const Account account = _account.value_or(Account{});
  std::vector<std::string> absent;
  if (missing(account.email)) absent.emplace_back("email");
  if (missing(account.client_key)) absent.emplace_back("client_key");
  if (!absent.empty()) {
    std::string names;
    for (const auto& field : absent) names += (names.empty() ? "" : ", ") + field;
    logger.warning("Not connecting to server. Account is missing fields: %s", names);
    put_main_loop("No ClientKey. Unable to connect.");
    return;
  }
  logger.debug("... it begins");
  start_attempt();
}

void Client::start_attempt() {
  const std::string url =
      _url_factory.get("discover", _account.value_or(Account{}), _service_discovery_params);
  const std::string connection_id = random_uuid4();
  to_service_discovery(url, connection_id, _http_config.proxy);
  const auto box = mailbox("service-discovery-mailbox-for-client");
  const comms::ServiceDiscoveryWorker engine = _http_config.engine == "pycurl"
                                                   ? &comms::pycurl_service_discovery
                                                   : &comms::requests_service_discovery;
  try {
    workers_->service_discovery(engine, url, _service_discovery_headers, connection_id, box,
                                _http_config, _logs_dir);
  } catch (const std::system_error& e) {
    // No worker means no report: without this the attempt would wait forever.
    to_disconnected(std::string("unable to start service discovery: ") + e.what(),
                    comms::ReconnectTimings::UNABLE_TO_CONNECT_SERVICE_DISCOVERY);
  }
}

void Client::to_service_discovery(const std::string& address, const std::string& connection_id,
                                  const std::optional<Proxy>& proxy) {
  if (!std::holds_alternative<comms::Disconnected>(state_)) {
    throw std::logic_error("to_service_discovery from " + upper_kind_name(state_));
  }
  state_ = comms::ServiceDiscovery{address, connection_id, {comms::monotonic()}};
  logger.info("DISCONNECTED --> SERVICE_DISCOVERY, %s", address);
  logger.debug("proxy_settings %s", proxy ? proxy->str_redacted() : to_text(std::nullopt));
  std::string message = "Finding server with " + comms::url_host(address);
  message += proxy ? " using " + proxy->type + " proxy." : ".";
  _log_to_gui("CLIENT_FINDING_SERVER", message);
  _update_connection(comms::Connection{comms::ClientStatus::service_discovery, std::nullopt,
                                       nlohmann::json{{"server", address}}});
}

void Client::service_discovery(const comms::ServiceDiscoveryPayload& service_discovery) {
  std::string address = service_discovery.address;
  std::int64_t port = service_discovery.port;
  const auto& [override_address, override_port] = _override_server_address;
  if (override_address && !override_address->empty() && *override_address != address) {
    logger.info("service discovery address override: %s -> %s", address, *override_address);
    address = *override_address;
  }
  if (override_port && *override_port != 0 && *override_port != port) {
    logger.info("service discovery port override: %s -> %s", port, *override_port);
    port = *override_port;
  }
  const auto& connection_id = service_discovery.connection_id;
  const auto& heartbeat = service_discovery.heartbeat;
  if (!check_state_connection<comms::ServiceDiscovery>(state_, connection_id)) {
    logger.warning("c-%s no longer in service discovery", connection_id);
    return;
  }
  logger.info("service discovery %s:%s v%s, heartbeat [%s, %s] %s", address, port,
              service_discovery.version, number_text(heartbeat.interval),
              number_text(heartbeat.timeout), service_discovery.remote_address);
  to_connecting(service_discovery, _http_config.proxy);

  comms::ConnectOptions options;
  options.tls.enabled = service_discovery.tls;
  options.tls.verify = _http_config.ssl_verify;
  options.tls.cacert_file = _http_config.cacert_file;
  try {
    workers_->create_socket(connection_id, address, port, _http_config.proxy,
                            mailbox("listener-mailbox-for-client-" + connection_id), options);
  } catch (const std::system_error& e) {
    to_disconnected(std::string("unable to start connecting: ") + e.what(),
                    comms::ReconnectTimings::UNABLE_TO_CONNECT);
    return;
  }
  send_self(CONNECTING_REMINDER, connection_id, comms::CONNECT_TIMEOUT * 3);
}

void Client::to_connecting(const comms::ServiceDiscoveryPayload& service_discovery,
                           const std::optional<Proxy>& proxy) {
  const auto* discovering = std::get_if<comms::ServiceDiscovery>(&state_);
  if (!discovering) throw std::logic_error("to_connecting from " + upper_kind_name(state_));
  const auto& answer = service_discovery;
  logger.info("SERVICE_DISCOVERY -> CONNECTING %s", answer.connection_id);
  _log_to_gui("CLIENT_CONNECTING", "Connecting " + answer.remote_address + " -> " + answer.address +
                                       ":" + std::to_string(answer.port) + proxy_suffix(proxy) +
                                       ".");
  auto timings = discovering->timings;
  timings.push_back(comms::monotonic());
  state_ = comms::Connecting{answer.connection_id, std::move(timings), answer};
  _update_connection(comms::Connection{
      comms::ClientStatus::connecting, std::nullopt,
      nlohmann::json{{"address", nlohmann::json::array({answer.address, answer.port})},
                     {"remote_address", answer.remote_address}}});
}

void Client::service_discovery_fail(const comms::ServiceDiscoveryFailPayload& payload) {
  const auto& [connection_id, reason] = payload;
  if (check_state_connection<comms::ServiceDiscovery>(state_, connection_id)) {
    to_disconnected(reason, comms::ReconnectTimings::UNABLE_TO_CONNECT_SERVICE_DISCOVERY);
  } else {
    logger.warning("c-%s no longer in service discovery", connection_id);
  }
}

void Client::connecting_reminder(const std::string& connection_id) {
  if (check_state_connection<comms::Connecting>(state_, connection_id)) {
    to_disconnected("agent timeout tripped", 0);
  }
}

void Client::connecting_complete(const comms::ConnectingCompletePayload& payload) {
  const auto& id = payload.connection_id;
  logger.debug("c-%s connecting duration %dms", id, comms::ms_since(payload.start));
  if (!check_state_connection<comms::Connecting>(state_, id)) {
    logger.warning("c-%s %s", id, payload.msg);
    logger.warning("c-%s DROPPING", id);
    // Nobody will use the socket of a dropped attempt: close it rather than
    // leave it open until the process ends.
    if (payload.success && payload.ret && payload.ret->first) payload.ret->first->close();
    return;
  }
  if (!payload.success) {
    to_disconnected(payload.msg, comms::ReconnectTimings::UNABLE_TO_CONNECT);
    return;
  }
  if (!payload.ret || !payload.ret->first) {
    throw std::invalid_argument("c-" + id + " connect reported success without a socket");
  }
  const auto& [sock, endpoint] = *payload.ret;
  const auto answer = std::get<comms::Connecting>(state_).service_discovery;
  const auto& heartbeat = answer.heartbeat;
  try {
    to_connected(sock, heartbeat, answer.remote_address, endpoint);
  } catch (const comms::SocketFailure& e) {
    // The socket died between the connect and its first use (its local
    // address cannot be read): a failed connect like any other.
    sock->close();
    to_disconnected(e.what(), comms::ReconnectTimings::UNABLE_TO_CONNECT);
    return;
  }
  const auto& connected = std::get<comms::Connected>(state_);
  try {
    workers_->listen(sock, id, heartbeat.timeout, mailbox("listener-mailbox-for-client-" + id),
                     _protocol_logwriter);
    workers_->writer(sock, connected.closed_event, connected.write_queue, id,
                     mailbox("sender-mailbox-for-client-" + id), _protocol_logwriter);
  } catch (const std::system_error& e) {
    // A connection nobody reads or writes is useless: close it and try again.
    to_disconnected(std::string("unable to start the socket threads: ") + e.what(),
                    comms::ReconnectTimings::UNABLE_TO_CONNECT);
    return;
  }
  if (heartbeats_enabled(heartbeat.interval)) {
    logger.debug("c-%s heartbeat enabled with %ss interval", id, number_text(*heartbeat.interval));
    send_self(comms::HEARTBEAT_REMINDER, id, *heartbeat.interval);
  }
}

void Client::to_connected(std::shared_ptr<comms::Socket> sock, const comms::Heartbeat& heartbeat,
                          const std::string& remote_address,
                          const comms::Address& endpoint_address) {
  const auto* connecting = std::get_if<comms::Connecting>(&state_);
  if (!connecting) throw std::logic_error("to_connected from " + upper_kind_name(state_));
  const std::string id = connecting->connection_id;
  const auto [local_address, local_port] = sock->getsockname();
  const auto& [server_host, server_port] = endpoint_address;
  logger.info("c-%s CONNECTING --> CONNECTED %s:%s <-> %s:%s", id, local_address, local_port,
              server_host, server_port);
  _log_to_gui("CLIENT_CONNECTED", "Connected " + remote_address + " -> " + server_host + ":" +
                                      std::to_string(server_port) + ".");
  auto timings = connecting->timings;
  timings.push_back(comms::monotonic());
  state_ = comms::Connected{std::move(sock),           comms::make_server_send_queue(),
                            std::make_shared<Event>(), id,
                            std::move(timings),        heartbeat.interval};
  _update_connection(comms::Connection{
      comms::ClientStatus::connected, std::nullopt,
      nlohmann::json{{"address", nlohmann::json::array({server_host, server_port})},
                     {"local_address", nlohmann::json::array({local_address, local_port})},
                     {"remote_address", remote_address}}});
}

void Client::send_server(const std::string& event, const nlohmann::ordered_json& payload) {
  std::shared_ptr<comms::ServerSendQueue> queue;
  if (const auto* connected = std::get_if<comms::Connected>(&state_)) {
    if (event != "authenticate" && event != comms::HEARTBEAT) {
      logger.warning("socket not handshaked -> dropping message '%s'", event);
      return;
    }
    queue = connected->write_queue;
  } else if (const auto* handshaked = std::get_if<comms::Handshaked>(&state_)) {
    queue = handshaked->write_queue;
  } else {
    logger.warning("socket not connected -> dropping message '%s'", event);
    return;
  }
  if (queue->add(comms::ServerMessagePayload{event, payload}) ==
      comms::ServerSendQueue::AddResult::full) {
    // The writer cannot hand anything to a server that stopped reading: the
    // link is dead even if the socket has not noticed yet.
    to_disconnected(
        "server stopped reading: " + std::to_string(queue->size()) + " messages waiting to be sent",
        SOCKET_ERROR_WAIT);
  }
}

}  // namespace quillpost::client
