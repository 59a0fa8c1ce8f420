// Authentication on an open socket: the server asks, the client answers with
// the authenticate message, and the server's reply either completes the
// handshake, fails the credentials or rejects the client for a while.
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "quillpost/client/client.h"
#include "quillpost/host/config/build_info.h"
#include "quillpost/host/config/values.h"
#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/comms/wire.h"

namespace quillpost::client {

namespace {

// A server value as it reads in a text: texts as they are, null as None.
std::string json_text(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "None";
  if (value.is_boolean()) return to_text(value.get<bool>());
  return value.dump();
}

// Whether a server value counts as true (non-zero, non-empty).
bool truthy(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return value.get<double>() != 0;
  if (value.is_string() || value.is_array() || value.is_object()) return !value.empty();
  return false;
}

// A server value as a reason shows it: its JSON text, cut to a few dozen
// characters (at a character boundary) so that a huge value cannot flood the
// log and the user's messages.
std::string excerpt(const nlohmann::json& value) {
  constexpr std::size_t kMaxChars = 60;
  std::string text = value.dump();
  if (text.size() <= kMaxChars) return text;
  std::size_t cut = kMaxChars;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "...";
}

// A server answer the client cannot read. The link it came over is ended
// like a broken one: waiting on it would leave the client connected and never
// signed in.
class MalformedAnswer : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The value under `key` of an answer that must have it.
const nlohmann::json& required(const nlohmann::json& payload, const char* key) {
  const auto it = payload.find(key);
  if (it == payload.end()) throw MalformedAnswer(std::string("no '") + key + "'");
  return *it;
}

// A server value that must be an integer: a whole number or the text of one.
std::int64_t to_integer(const nlohmann::json& value, std::string_view key) {
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(v);
    }
  } else if (value.is_number_float()) {
    const double v = value.get<double>();
    if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 9e18) {
      return static_cast<std::int64_t>(v);
    }
  } else if (value.is_string() && is_int(value.get<std::string>())) {
    try {
      return std::stoll(value.get<std::string>());
    } catch (const std::out_of_range&) {
    }
  }
  throw MalformedAnswer("'" + std::string(key) + "' is not an integer: " + excerpt(value));
}

// The wait a rejection asks for: its "retryAfter" when that is a finite,
// non-negative number, else 1 as when it is absent; never below the minimum
// nor above the maximum of ReconnectTimings.
double rejected_wait(const nlohmann::json& details) {
  double retry_after = 1.0;
  if (const auto it = details.find("retryAfter"); it != details.end() && it->is_number()) {
    const double v = it->get<double>();
    if (std::isfinite(v) && v >= 0) retry_after = v;
  }
  return std::clamp(retry_after, comms::ReconnectTimings::REJECTED_MSG_MIN_RECONNECT_TIME,
                    comms::ReconnectTimings::REJECTED_MSG_MAX_RECONNECT_TIME);
}

// Whether the server asks to forget the client key: only a true value counts.
bool equals_true(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>();
  return value.is_number() && value.get<double>() == 1.0;
}

}  // namespace

std::string platform_hostname() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) {
    throw std::system_error(errno, std::generic_category(), "gethostname");
  }
  return name;
}

nlohmann::ordered_json create_authenticate_message(
    const SystemInfo& system_info, const std::optional<Account>& account,
    const std::string& computer_name, const std::string& world_id, const std::string& instance_id,
    const comms::Connected& state, const std::string& client_session_id, const logs::Logger& logger,
    const std::function<std::string()>& query_hostname) {
  const double start = comms::monotonic();
  std::vector<double> timings;
  nlohmann::ordered_json hostname;
  try {
    hostname = query_hostname();
  } catch (...) {
    hostname = system_info.hostname ? nlohmann::ordered_json(*system_info.hostname) : nullptr;
  }
  timings.push_back(comms::monotonic());
  std::string inet = "127.0.0.1";
  try {
    if (state.socket) inet = state.socket->getsockname().first;
  } catch (...) {
    // The socket's local address cannot be read; the server accepts the fallback.
  }
  timings.push_back(comms::monotonic());
  logger.debug("time to generate authenticate msg -> [%s]",
               fmt::format("{:d}ms, {:d}ms", comms::ms_since(start, timings[0]),
                           comms::ms_since(start, timings[1])));

  const auto optional_text = [](const std::optional<std::string>& v) {
    return v ? nlohmann::ordered_json(*v) : nlohmann::ordered_json();
  };
  const Account acc = account.value_or(Account{});
  const auto& build = compiled_build_info();
  nlohmann::ordered_json message = nlohmann::ordered_json::object();
  message["email"] = optional_text(acc.email);
  message["computerName"] = computer_name;
  message["clientKey"] = optional_text(acc.client_key);
  message["inet"] = inet;
  message["worldUuid"] = world_id;
  message["instanceUuid"] = instance_id;
  message["connectionId"] = state.connection_id;
  message["hostname"] = hostname;
  message["username"] = optional_text(system_info.username);
  message["version"] = build.version;
  message["edition"] = build.edition;
  message["clientSessionId"] = client_session_id;
  return message;
}

void Client::server_message_connected(const std::string& event, const nlohmann::json& payload) {
  if (event == "authentication") {
    const auto message =
        create_authenticate_message(_system_info, _account, _computer_name, _world_id, _instance_id,
                                    std::get<comms::Connected>(state_), client_session_, logger);
    send_server("authenticate", message);
  } else if (event == "authenticate.response") {
    authenticate_response(payload);
  } else if (event == "rejected") {
    // A rejection without details still rejects: it is read as an empty one.
    const nlohmann::json details = payload.is_object() ? payload : nlohmann::json::object();
    const auto message = details.find("message");
    if (const auto destroy = details.find("destroyClientKey");
        destroy != details.end() && equals_true(*destroy)) {
      const std::string reason = message != details.end()
                                     ? json_text(*message)
                                     : "server requested logout and rejected connection";
      core.send(core::REQUEST_LOGOUT, core::LogoutRequest{reason});
      put_main_loop(reason);
    }
    const double retry = rejected_wait(details);
    const std::string reason =
        message != details.end()
            ? fmt::format("{}  - reconnecting after {:.1f}", json_text(*message), retry)
            : fmt::format("server rejected client. reconnecting after {:.1f}", retry);
    to_disconnected(reason, retry);
  } else {
    logger.error("unexpected server message '%s' %s", event, payload.dump());
  }
}

void Client::authenticate_response(const nlohmann::json& payload) {
  std::int64_t account_id = 0;
  std::int64_t computer_id = 0;
  bool success = false;
  try {
    if (!payload.is_object()) throw MalformedAnswer("not an object: " + excerpt(payload));
    success = truthy(required(payload, "success"));
    if (success) {
      account_id = to_integer(required(payload, "accountId"), "accountId");
      computer_id = to_integer(required(payload, "id"), "id");
    }
  } catch (const MalformedAnswer& e) {
    to_disconnected(std::string("malformed authenticate.response; ") + e.what(), SOCKET_ERROR_WAIT);
    return;
  }
  if (success) {
    to_handshaked(account_id, computer_id);
    return;
  }
  const auto error = payload.find("errorMessage");
  const std::string reason =
      "authentication failure; " + (error == payload.end() ? "None" : json_text(*error));
  core.send(core::REQUEST_LOGOUT, core::LogoutRequest{reason});
  put_main_loop(reason);
}

void Client::to_handshaked(std::int64_t account_id, std::int64_t computer_id) {
  const auto* connected = std::get_if<comms::Connected>(&state_);
  if (!connected) throw std::logic_error("to_handshaked from " + upper_kind_name(state_));
  const Account account = _account.value_or(Account{});
  std::string computer_name = _computer_name;
  std::transform(computer_name.begin(), computer_name.end(), computer_name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const std::string message =
      "Account email " + to_text(account.email) + ". Account id " + std::to_string(account_id);
  logger.info("CONNECTED --> HANDSHAKED %s", message);
  logger.info("Computer %s id %s", computer_name, computer_id);
  _log_to_gui("CLIENT_HANDSHAKED", "Authenticated. " + message + ".");
  _log_to_gui("CLIENT_HANDSHAKED", "Computer name " + computer_name + ". Computer id " +
                                       std::to_string(computer_id) + ".");
  auto timings = connected->timings;
  timings.push_back(comms::monotonic());
  state_ = comms::Handshaked{connected->socket,
                             connected->write_queue,
                             connected->closed_event,
                             connected->connection_id,
                             std::move(timings),
                             connected->heartbeat_interval,
                             account_id};
  _update_connection(
      comms::Connection{comms::ClientStatus::handshaked, account_id,
                        nlohmann::json{{"account_id", account_id}, {"computer_id", computer_id}}});

  const bool computer_id_differs = account.computer_id != computer_id;
  const bool placeholder_email = account.email == AUTH_WITH_CLIENT_KEY_EMAIL;
  if (!computer_id_differs && !placeholder_email) return;
  Account updated = account.clone();
  if (computer_id_differs) updated.computer_id = computer_id;
  if (placeholder_email) updated.email = "Id " + std::to_string(account_id);
  core.send(core::UPDATE_ACCOUNT, updated);
}

}  // namespace quillpost::client
