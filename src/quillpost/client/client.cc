// The Client agent: construction, start, dispatch of every message by event
// and state, and the two ways it reports outward (status and GUI log).
#include "quillpost/client/client.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cctype>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/agent/schedule.h"

namespace quillpost::client {

namespace {

// An account update may carry the record itself or an optional one (no account).
std::optional<Account> account_payload(const agent::Payload& payload) {
  if (const auto* account = std::any_cast<Account>(&payload)) return *account;
  return agent::payload_as<std::optional<Account>>(payload);
}

// What the application asks to send: a JSON value (an ordered one keeps its
// order), a text, or nothing.
nlohmann::ordered_json json_payload(const agent::Payload& payload) {
  if (!payload.has_value()) return nullptr;
  if (const auto* json = std::any_cast<nlohmann::json>(&payload)) return *json;
  if (const auto* ordered = std::any_cast<nlohmann::ordered_json>(&payload)) return *ordered;
  return agent::payload_as<std::string>(payload);
}

// Hands frames to the protocol log with their secrets masked: the writer
// thread logs the authenticate frame, and the client key must not reach a file.
class MaskingProtocolLog final : public comms::ProtocolLog {
 public:
  explicit MaskingProtocolLog(std::shared_ptr<comms::ProtocolLog> inner)
      : inner_(std::move(inner)) {}
  void write(comms::Direction direction, std::string_view connection_id,
             std::string_view frame) override {
    inner_->write(direction, connection_id, mask_protocol_secrets(frame));
  }

 private:
  std::shared_ptr<comms::ProtocolLog> inner_;
};

void mask_json_secrets(nlohmann::ordered_json& value) {
  if (value.is_object()) {
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (it.key() == "clientKey" && it->is_string()) {
        *it = std::string(it->get_ref<const std::string&>().size(), '*');
      } else {
        mask_json_secrets(*it);
      }
    }
  } else if (value.is_array()) {
    for (auto& item : value) mask_json_secrets(item);
  }
}

}  // namespace

std::string mask_protocol_secrets(std::string_view frame) {
  if (frame.find("\"clientKey\"") == std::string_view::npos) return std::string(frame);
  auto parsed = nlohmann::ordered_json::parse(frame, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return "<frame with a client key, not JSON: not logged>";
  mask_json_secrets(parsed);
  return parsed.dump();
}

std::string random_uuid4() {
  // A generator per call: it seeds itself from the system's entropy, and the
  // constructor (any thread) and the agent thread never share one.
  return boost::uuids::to_string(boost::uuids::random_generator()());
}

std::string upper_kind_name(const comms::State& state) {
  std::string out(comms::kind_name(state));
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

Client::Client(const World& world, SystemInfo system_info,
               std::shared_ptr<agent::MainLoopQueue> main_loop_queue, HttpConfig http_config,
               comms::UrlFactory url_factory, comms::RequestHeaders service_discovery_headers,
               ParamMap service_discovery_params, std::filesystem::path logs_dir,
               ServerAddress override_server_address, std::string server_protocol_logfile,
               std::shared_ptr<comms::Workers> workers)
    : _system_info(std::move(system_info)),
      _main_loop_queue(std::move(main_loop_queue)),
      _http_config(std::move(http_config)),
      _account(world.configuration.account),
      _computer_name(world.configuration.computer.name),
      _world_id(world.configuration.world_id),
      _instance_id(world.state.instance_id),
      _url_factory(std::move(url_factory)),
      _service_discovery_headers(std::move(service_discovery_headers)),
      _service_discovery_params(std::move(service_discovery_params)),
      _logs_dir(std::move(logs_dir)),
      _override_server_address(std::move(override_server_address)),
      client_session_(random_uuid4()),
      logger(logs::logger("client")),
      _protocol_logwriter(comms::noop_protocol_log_writer()),
      workers_(workers ? std::move(workers) : comms::thread_workers()) {
  if (!_main_loop_queue) throw std::invalid_argument("Client needs a main-loop queue");
  logger.info("CLIENT SESSION ID --> %s", client_session_);
  if (!server_protocol_logfile.empty()) {
    try {
      _protocol_logwriter = std::make_shared<MaskingProtocolLog>(
          std::make_shared<comms::ProtocolLogWriter>(server_protocol_logfile));
    } catch (const std::system_error& e) {
      logger.exception("Protocol logwriter; %s", e.what());
    }
  }
}

void Client::before() {
  core = channel(std::string(core::CoreAgent::name));
  schedule = channel(std::string(agent::ScheduleAgent::name));
  state_ = comms::Disconnected{"just started"};
  send_self(WAIT_OVER, reconnect_generation_, START_DELAY);
  pubsub = channel(std::string(agent::PubSubAgent::name));
  pubsub.send(agent::PubSubAgent::SUBSCRIBE, core::UPDATE_ACCOUNT);
  pubsub.send(agent::PubSubAgent::SUBSCRIBE, core::SEND_SERVER);
  pubsub.send(agent::PubSubAgent::SUBSCRIBE, core::HTTP_CONFIG_UPDATE);
  comms::Connection status{comms::ClientStatus::disconnected, std::nullopt,
                           nlohmann::json{{"reason", "just started"}}};
  status.retry_in = START_DELAY;
  _update_connection(status);
}

void Client::receive(const std::string& event, const agent::Payload& payload) {
  using agent::payload_as;
  if (event == core::UPDATE_ACCOUNT) {
    _update_account(account_payload(payload));
  } else if (event == core::HTTP_CONFIG_UPDATE) {
    _update_http_config(payload_as<HttpConfig>(payload));
  } else if (event == core::REQUEST_CONNECT) {
    to_disconnected(payload_as<std::string>(payload), 0);
  } else if (event == core::REQUEST_DISCONNECT) {
    to_disconnected(payload_as<std::string>(payload), comms::ReconnectTimings::DONT_RECONNECT);
  } else if (event == comms::HEARTBEAT_REMINDER) {
    heartbeat_reminder(payload_as<std::string>(payload));
  } else if (event == comms::SOCKET_ERROR) {
    socket_error(payload_as<comms::SocketErrorPayload>(payload));
  } else if (event == comms::SERVER_MESSAGE) {
    server_message(payload_as<comms::ServerMessage>(payload), payload);
  } else if (event == comms::SERVICE_DISCOVERY_OK) {
    service_discovery(payload_as<comms::ServiceDiscoveryPayload>(payload));
  } else if (event == comms::SERVICE_DISCOVERY_FAIL) {
    service_discovery_fail(payload_as<comms::ServiceDiscoveryFailPayload>(payload));
  } else if (event == CONNECTING_REMINDER) {
    connecting_reminder(payload_as<std::string>(payload));
  } else if (event == comms::CONNECTING_COMPLETE) {
    connecting_complete(payload_as<comms::ConnectingCompletePayload>(payload));
  } else if (std::holds_alternative<comms::Disconnected>(state_)) {
    receive_disconnected(event, payload);
  } else if (std::holds_alternative<comms::Handshaked>(state_)) {
    receive_handshaked(event, payload);
  } else {
    unhandled(event, payload);
  }
}

void Client::receive_disconnected(const std::string& event, const agent::Payload& payload) {
  if (event == WAIT_OVER) {
    wait_over(payload);
  } else {
    unhandled(event, payload);
  }
}

void Client::receive_handshaked(const std::string& event, const agent::Payload& payload) {
  if (event == core::SEND_SERVER) {
    const auto& request = agent::payload_as<agent::Message>(payload);
    send_server(request.event, json_payload(request.payload));
  } else {
    unhandled(event, payload);
  }
}

void Client::unhandled(const std::string& event, const agent::Payload& /*payload*/) {
  logger.warning("client -> %s unhandled '%s'", upper_kind_name(state_), event);
}

void Client::_update_connection(const comms::Connection& connection) {
  pubsub.send(agent::PubSubAgent::PUBLISH,
              agent::publication(comms::UPDATE_CONNECTION, connection));
}

void Client::_log_to_gui(std::string_view code, const std::string& msg) {
  const auto event = gui_log_event_from_name(code);
  if (!event) throw std::invalid_argument("no GUI log event named '" + std::string(code) + "'");
  core.send(core::LOG_TO_GUI, GuiLog{*event, msg});
}

agent::Mailbox Client::mailbox(const std::string& label) const {
  const auto& ctx = context();
  if (!ctx.system_ref) throw agent::NotAttached("mailbox '" + label + "' on an agent not attached");
  return ctx.system_ref->get_mailbox(ctx.agent_ref, label);
}

void Client::put_main_loop(const Reason& reason) const {
  _main_loop_queue->put(agent::Payload(comms::Disconnected{reason}));
}

}  // namespace quillpost::client
