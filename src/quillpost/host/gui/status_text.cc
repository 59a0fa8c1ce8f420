#include "quillpost/host/gui/status_text.h"

#include <cmath>

#include "quillpost/host/runtime/printing/clean_text.h"

namespace quillpost::gui {
namespace {

// Longest text taken from the network into a label or the tooltip.
constexpr std::size_t kMaxChars = 200;

std::string clean(std::string_view text) {
  return printing::clean_text(text, kMaxChars);
}

// The member `key` of the status's info, or null when there is none.
const nlohmann::json& member(const nlohmann::json& info, const char* key) {
  static const nlohmann::json none;
  return info.is_object() && info.contains(key) ? info.at(key) : none;
}

// The address of a connecting or connected status ({"address": [host, port]})
// or the server being looked for ({"server": text}).
std::string server_of(const nlohmann::json& info) {
  const nlohmann::json& address = member(info, "address");
  if (address.is_array() && address.size() == 2 && address.at(0).is_string() &&
      address.at(1).is_number_integer()) {
    return clean(address.at(0).get<std::string>() + ":" +
                 std::to_string(address.at(1).get<std::int64_t>()));
  }
  const nlohmann::json& server = member(info, "server");
  return server.is_string() ? clean(server.get<std::string>()) : "";
}

std::optional<std::int64_t> integer_of(const nlohmann::json& info, const char* key) {
  const nlohmann::json& value = member(info, key);
  if (!value.is_number_integer()) return std::nullopt;
  return value.get<std::int64_t>();
}

}  // namespace

ConnectionView connection_view(const comms::Connection& connection) {
  ConnectionView view;
  view.status = connection.status;
  view.server = server_of(connection.info);
  switch (connection.status) {
    case comms::ClientStatus::disconnected: {
      const nlohmann::json& reason = member(connection.info, "reason");
      view.state = "Disconnected";
      if (reason.is_string() && !reason.get<std::string>().empty()) {
        view.state += ": " + clean(reason.get<std::string>());
      }
      if (connection.retry_in && *connection.retry_in >= 0) {
        view.state += " (next try in " +
                      std::to_string(static_cast<long long>(std::ceil(*connection.retry_in))) +
                      " s)";
      }
      break;
    }
    case comms::ClientStatus::service_discovery:
      view.state = "Finding server";
      break;
    case comms::ClientStatus::connecting:
      view.state = "Connecting";
      break;
    case comms::ClientStatus::connected:
      view.state = "Connected";
      break;
    case comms::ClientStatus::handshaked:
      view.state = "Handshaked";
      view.account_id =
          connection.account_id ? connection.account_id : integer_of(connection.info, "account_id");
      view.computer_id = integer_of(connection.info, "computer_id");
      break;
  }
  return view;
}

std::string tooltip(const ConnectionView& view) {
  return "QuillPost: " + view.state;
}

TrayLook tray_look(const TrayFacts& facts) {
  if (facts.signed_out || facts.job_failed) return TrayLook::needs_you;
  if (facts.printing) return TrayLook::printing;
  switch (facts.view.status) {
    case comms::ClientStatus::handshaked:
      return TrayLook::handshaked;
    case comms::ClientStatus::service_discovery:
    case comms::ClientStatus::connecting:
    case comms::ClientStatus::connected:
      return TrayLook::connecting;
    default:
      return TrayLook::disconnected;
  }
}

std::string tray_tooltip(const TrayFacts& facts) {
  if (facts.signed_out) return "QuillPost: Signed out";
  std::string text = tooltip(facts.view);
  if (facts.job_failed) return text + "; a print job failed";
  if (facts.printing) return text + "; printing a job";
  return text;
}

std::string account_text(const std::optional<std::string>& email,
                         const std::optional<std::int64_t>& account_id) {
  const std::string shown = email ? clean(*email) : "";
  if (account_id) {
    const std::string id = "account " + std::to_string(*account_id);
    return shown.empty() ? id : shown + " (" + id + ")";
  }
  return shown.empty() ? "none" : shown;
}

std::string computer_text(const std::string& name, const std::optional<std::int64_t>& computer_id) {
  const std::string shown = clean(name);
  return computer_id ? shown + " (computer " + std::to_string(*computer_id) + ")" : shown;
}

}  // namespace quillpost::gui
