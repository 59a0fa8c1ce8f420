#include "quillpost/host/runtime/agent/service_manager.h"

#include <fmt/format.h>
#include <unistd.h>

#include <utility>

#include "quillpost/host/process/notify.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/comms/url.h"

namespace quillpost::agent {
namespace {

// A value of the status's info as text: strings as they are, anything else
// (numbers) in its JSON form, "?" when missing.
std::string info_text(const nlohmann::json& info, std::string_view key) {
  const auto found = info.find(key);
  if (found == info.end() || found->is_null()) return "?";
  return found->is_string() ? found->get<std::string>() : found->dump();
}

// "[address, port]" as "address:port".
std::string address_text(const nlohmann::json& info, std::string_view key) {
  const auto found = info.find(key);
  if (found == info.end() || !found->is_array() || found->size() != 2) return "?";
  const auto text = [](const nlohmann::json& v) {
    return v.is_string() ? v.get<std::string>() : v.dump();
  };
  return text((*found)[0]) + ":" + text((*found)[1]);
}

std::string disconnected_text(const comms::Connection& connection) {
  const nlohmann::json& info = connection.info;
  const auto reason = info.find("reason");
  std::string text = "Disconnected: ";
  text += reason != info.end() && reason->is_string() ? reason->get<std::string>()
                                                      : std::string("no reason given");
  if (connection.retry_in) return text + fmt::format("; retry in {:g} s", *connection.retry_in);
  return text + "; not reconnecting";
}

}  // namespace

std::string connection_status_text(const comms::Connection& connection) {
  const nlohmann::json& info = connection.info;
  switch (connection.status) {
    case comms::ClientStatus::disconnected:
      return disconnected_text(connection);
    case comms::ClientStatus::service_discovery: {
      const auto server = info.find("server");
      const std::string host = server != info.end() && server->is_string()
                                   ? comms::url_host(server->get<std::string>())
                                   : std::string();
      return "Finding server with " + (host.empty() ? std::string("?") : host);
    }
    case comms::ClientStatus::connecting:
      return "Connecting to " + address_text(info, "address");
    case comms::ClientStatus::connected:
      return "Connected to " + address_text(info, "address");
    case comms::ClientStatus::handshaked:
      return "Handshaked: account " + info_text(info, "account_id") + ", computer " +
             info_text(info, "computer_id");
  }
  return "Unknown connection status";
}

ServiceManagerAgent::ServiceManagerAgent(Getenv getenv)
    : getenv_(std::move(getenv)), watchdog_(watchdog_interval(getenv_, ::getpid())) {}

void ServiceManagerAgent::before() {
  const auto socket = read_env(getenv_, "NOTIFY_SOCKET");
  if (!socket || socket->empty()) return;
  channel(std::string(PubSubAgent::name)).send(PubSubAgent::SUBSCRIBE, comms::UPDATE_CONNECTION);
  if (watchdog_) ping();
}

void ServiceManagerAgent::receive(const std::string& event, const Payload& payload) {
  if (event == comms::UPDATE_CONNECTION) {
    notify_status(getenv_, connection_status_text(payload_as<comms::Connection>(payload)));
  } else if (event == WATCHDOG_PING && watchdog_) {
    ping();
  }
}

void ServiceManagerAgent::ping() {
  notify_watchdog(getenv_);
  send_self(WATCHDOG_PING, std::chrono::duration<double>(*watchdog_).count());
}

}  // namespace quillpost::agent
