// Messages from the server, the heartbeat chain, and the account and HTTP
// settings that other parts of the application change.
#include "quillpost/client/client.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/agent/schedule.h"

namespace quillpost::client {

void Client::server_message(const comms::ServerMessage& message_struct,
                            const agent::Payload& payload_as_sent) {
  const auto& [event, payload, connection_id] = message_struct;
  const std::string* current = nullptr;
  if (const auto* connected = std::get_if<comms::Connected>(&state_)) {
    current = &connected->connection_id;
  } else if (const auto* handshaked = std::get_if<comms::Handshaked>(&state_)) {
    current = &handshaked->connection_id;
  }
  if (!current) {
    logger.warning("client ignoring server message '%s' from closed socket", event);
    return;
  }
  if (*current != connection_id) {
    logger.warning("client ignoring server message '%s' for old connection '%s'", event,
                   connection_id);
    return;
  }
  if (event == "error") {
    logger.error("server error: %s", payload.dump());
    Reason reason;
    if (payload.is_object()) {
      if (const auto it = payload.find("message"); it != payload.end() && !it->is_null()) {
        reason = it->is_string() ? it->get<std::string>() : it->dump();
      }
    }
    to_disconnected(reason, comms::ReconnectTimings::SERVER_ERROR);
    return;
  }
  if (event == "warning") log_server_warning(payload);
  if (std::holds_alternative<comms::Connected>(state_)) {
    server_message_connected(event, payload);
  } else {
    pubsub.send(agent::PubSubAgent::PUBLISH,
                agent::publication(comms::SERVER_MESSAGE, payload_as_sent));
  }
}

void Client::log_server_warning(const nlohmann::json& payload) {
  // The service's words for the owner (two clients sharing one settings
  // directory, for one): logged, cut to a line's worth; the logger escapes
  // control characters.
  constexpr std::size_t max_bytes = 1024;
  std::string text = payload.dump();
  if (payload.is_object()) {
    if (const auto it = payload.find("message"); it != payload.end() && it->is_string()) {
      text = it->get<std::string>();
    }
  }
  if (text.size() > max_bytes) {
    std::size_t cut = max_bytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut) + "...";
  }
  logger.warning("server warning: %s", text);
}

void Client::heartbeat_reminder(const std::string& connection_id) {
  std::optional<double> interval;
  if (const auto* connected = std::get_if<comms::Connected>(&state_)) {
    if (connected->connection_id != connection_id) return;
    interval = connected->heartbeat_interval;
  } else if (const auto* handshaked = std::get_if<comms::Handshaked>(&state_)) {
    if (handshaked->connection_id != connection_id) return;
    interval = handshaked->heartbeat_interval;
  } else {
    return;
  }
  send_server(std::string(comms::HEARTBEAT), nlohmann::ordered_json::array());
  // Without a positive interval the next reminder would come at once, and the
  // chain would spin; such a connection has no heartbeats.
  if (interval && *interval > 0) {
    schedule.send(
        agent::ScheduleAgent::schedule(*interval, comms::HEARTBEAT_REMINDER, connection_id));
  }
}

void Client::_update_account(const std::optional<Account>& account) {
  const Account old_account = _account.value_or(Account{});
  const Account new_account = account.value_or(Account{});
  // Any new e-mail reconnects, the placeholder of a client-key account renamed
  // by its first handshake ("Id N") included: that costs one extra reconnect.
  const bool credentials_differ =
      new_account.email != old_account.email || new_account.client_key != old_account.client_key;
  if (credentials_differ) to_disconnected("account settings changed", 0);
  _account = account;
}

void Client::_update_http_config(const HttpConfig& http_config) {
  const bool ssl_changed = http_config.ssl_verify != _http_config.ssl_verify;
  // Proxies are compared field by field, credentials included: a new password
  // is a new proxy although the redacted text forms read the same.
  const bool proxy_changed = http_config.proxy != _http_config.proxy;
  _http_config = http_config;
  if (ssl_changed || proxy_changed) to_disconnected("HTTP configuration changed", 0);
}

}  // namespace quillpost::client
