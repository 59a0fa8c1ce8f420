#include "quillpost/host/config/records.h"

#include <array>
#include <stdexcept>

namespace quillpost {

std::string Proxy::str_redacted() const {
  std::string out = type + "://";
  if (auth) out += "***:***@";
  return out + host + ":" + port;
}

std::string RetrySetting::to_text() const {
  return "{'delay': " + std::to_string(delay) + ", 'count': " + std::to_string(count) + "}";
}

void ParamMap::set(const std::string& key, const std::string& value) {
  for (auto& item : items) {
    if (item.first == key) {
      item.second = value;
      return;
    }
  }
  items.emplace_back(key, value);
}

const std::string* ParamMap::find(std::string_view key) const {
  for (const auto& item : items) {
    if (item.first == key) return &item.second;
  }
  return nullptr;
}

std::string ParamMap::to_text() const {
  std::string out = "{";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += quoted_text(items[i].first) + ": " + quoted_text(items[i].second);
  }
  return out + "}";
}

std::string ServerAddress::to_text() const {
  return "(" + element_text(host) + ", " + element_text(port) + ")";
}

bool is_secret_config_field(std::string_view name) {
  return name == "password" || name == "client_key";
}

std::string RuntimeConfig::to_text() const {
  std::string out = "RuntimeConfig(";
  bool first = true;
  for_each_config_field([&](const auto& field) {
    if (!first) out += ", ";
    first = false;
    const auto& value = this->*field.member;
    out += std::string(field.name) + "=";
    if (value && is_secret_config_field(field.name)) {
      out += "'" + std::string(quillpost::to_text(*value).size(), '*') + "'";
    } else {
      out += element_text(value);
    }
  });
  return out + ")";
}

bool set_config_field(RuntimeConfig& config, std::string_view name, const ConfigValue& value) {
  bool found = false;
  for_each_config_field([&](const auto& field) {
    using T = typename std::decay_t<decltype(field)>::value_type;
    if (found || field.name != name) return;
    found = true;
    const T* typed = std::get_if<T>(&value);
    if (!typed) {
      throw std::invalid_argument("wrong kind of value for '" + std::string(name) + "'");
    }
    config.*field.member = *typed;
  });
  return found;
}

std::string HttpConfig::to_text() const {
  return "HttpConfig(engine=" + quoted_text(engine) + ", proxy=" + element_text(proxy) +
         ", ssl_verify=" + quillpost::to_text(ssl_verify) +
         ", cacert_file=" + element_text(cacert_file) +
         ", max_http_redirects=" + std::to_string(max_http_redirects) + ")";
}

std::string SystemInfo::to_text() const {
  return "SystemInfo(hostname=" + element_text(hostname) + ", username=" + element_text(username) +
         ", system=" + element_text(system) +
         ", system_version=" + quillpost::to_text(system_version) +
         ", platform=" + element_text(platform) + ", machine=" + element_text(machine) +
         ", python_implementation=" + element_text(python_implementation) +
         ", python_version=" + element_text(python_version) +
         ", platform_architecture=" + quillpost::to_text(platform_architecture) +
         ", client_started=" + quoted_text(client_started) + ", pid=" + std::to_string(pid) + ")";
}

std::string_view name(ExitCodes code) {
  switch (code) {
    case ExitCodes::OK:
      return "OK";
    case ExitCodes::BAD_COMMAND_LINE_ARGUMENTS:
      return "BAD_COMMAND_LINE_ARGUMENTS";
    case ExitCodes::BAD_CONFIG_ERROR:
      return "BAD_CONFIG_ERROR";
    case ExitCodes::APP_SETTINGS_DIR_PERMISSION_ERROR:
      return "APP_SETTINGS_DIR_PERMISSION_ERROR";
    case ExitCodes::APP_SETTINGS_DIR_NOT_FOUND:
      return "APP_SETTINGS_DIR_NOT_FOUND";
    case ExitCodes::APP_SETTINGS_DIR_ERROR:
      return "APP_SETTINGS_DIR_ERROR";
    case ExitCodes::APP_CACERT_FILE_NOT_FOUND:
      return "APP_CACERT_FILE_NOT_FOUND";
    case ExitCodes::APP_CACERT_FILE_PERMISSION_ERROR:
      return "APP_CACERT_FILE_PERMISSION_ERROR";
    case ExitCodes::APP_CACERT_FILE_ERROR:
      return "APP_CACERT_FILE_ERROR";
    case ExitCodes::APP_PATHS_ERROR:
      return "APP_PATHS_ERROR";
    case ExitCodes::APP_LOGGING_PERMISSIONS_ERROR:
      return "APP_LOGGING_PERMISSIONS_ERROR";
    case ExitCodes::APP_LOGGING_ERROR:
      return "APP_LOGGING_ERROR";
    case ExitCodes::CLIENT_DISCONNECT_NO_RECOVERY_POSSIBLE:
      return "CLIENT_DISCONNECT_NO_RECOVERY_POSSIBLE";
    case ExitCodes::START_MUTEX:
      return "START_MUTEX";
  }
  return "UNKNOWN";
}

namespace {
constexpr std::array<std::pair<GuiLogEvent, std::string_view>, 14> kGuiLogEventNames{{
    {GuiLogEvent::APP_STARTING, "APP_STARTING"},
    {GuiLogEvent::APP_STARTING_ERROR, "APP_STARTING_ERROR"},
    {GuiLogEvent::COMMAND_LINE_CREDENTIALS_FAIL, "COMMAND_LINE_CREDENTIALS_FAIL"},
    {GuiLogEvent::INITIAL_SIGINT, "INITIAL_SIGINT"},
    {GuiLogEvent::INITIAL_SIGTERM, "INITIAL_SIGTERM"},
    {GuiLogEvent::APP_CLOSE, "APP_CLOSE"},
    {GuiLogEvent::APP_CLOSE_WITH_ERROR, "APP_CLOSE_WITH_ERROR"},
    {GuiLogEvent::CLIENT_FINDING_SERVER, "CLIENT_FINDING_SERVER"},
    {GuiLogEvent::CLIENT_CONNECTING, "CLIENT_CONNECTING"},
    {GuiLogEvent::CLIENT_CONNECTED, "CLIENT_CONNECTED"},
    {GuiLogEvent::CLIENT_HANDSHAKED, "CLIENT_HANDSHAKED"},
    {GuiLogEvent::CLIENT_DISCONNECTED, "CLIENT_DISCONNECTED"},
    {GuiLogEvent::CLOCK_OFFSET, "CLOCK_OFFSET"},
    {GuiLogEvent::CRASH_REPORT, "CRASH_REPORT"},
}};
}  // namespace

std::string_view name(GuiLogEvent event) {
  for (const auto& [member, text] : kGuiLogEventNames) {
    if (member == event) return text;
  }
  return "UNKNOWN";
}

std::optional<GuiLogEvent> gui_log_event_from_name(std::string_view text) {
  for (const auto& [member, member_name] : kGuiLogEventNames) {
    if (member_name == text) return member;
  }
  return std::nullopt;
}

std::string GuiLog::to_text() const {
  return "GuiLog(" + std::string(name(event)) + ", " + quoted_text(message) + ")";
}

}  // namespace quillpost
