#include "quillpost/host/runtime/web/status.h"

#include <algorithm>
#include <ctime>
#include <utility>
#include <variant>

#include "quillpost/host/base/text.h"
#include "quillpost/host/config/build_info.h"
#include "quillpost/host/runtime/printing/clean_text.h"

namespace quillpost::web {

std::string redact(std::string text, const std::vector<std::string>& secrets) {
  std::vector<const std::string*> ordered;
  for (const auto& secret : secrets)
    if (!secret.empty()) ordered.push_back(&secret);
  std::sort(ordered.begin(), ordered.end(),
            [](const std::string* a, const std::string* b) { return a->size() > b->size(); });
  static constexpr std::string_view mask = "***";
  for (const std::string* secret : ordered) {
    for (std::size_t at = text.find(*secret); at != std::string::npos;
         at = text.find(*secret, at + mask.size())) {
      text.replace(at, secret->size(), mask);
    }
  }
  return text;
}

std::vector<std::string> secrets_of(const RuntimeConfig& config,
                                    const std::optional<Account>& account) {
  std::vector<std::string> secrets;
  auto add = [&](const std::optional<std::string>& value) {
    if (value && !value->empty()) secrets.push_back(*value);
  };
  add(config.password);
  add(config.client_key);
  if (config.proxy) {
    if (const auto* proxy = std::get_if<Proxy>(&*config.proxy); proxy && proxy->auth) {
      add(proxy->auth->first);
      add(proxy->auth->second);
    }
  }
  if (account) add(account->client_key);
  return secrets;
}

std::string_view status_label(comms::ClientStatus status) {
  switch (status) {
    case comms::ClientStatus::disconnected:
      return "Disconnected";
    case comms::ClientStatus::service_discovery:
      return "Finding server";
    case comms::ClientStatus::connecting:
      return "Connecting";
    case comms::ClientStatus::connected:
      return "Connected";
    case comms::ClientStatus::handshaked:
      return "Handshaked";
  }
  return "Unknown";
}

namespace {

std::string utc_text(std::time_t at) {
  std::tm tm{};
  gmtime_r(&at, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

std::string utc_now_text() {
  return utc_text(std::time(nullptr));
}

// Texts from the printing system and the service: valid UTF-8, no control
// characters, a line's length at most.
std::string page_text(std::string_view text) {
  return printing::clean_text(text, StatusBoard::MAX_GUI_LOG_LINE_CHARS);
}

nlohmann::json printing_json(const printing::PrintingOverview& overview) {
  nlohmann::json printers = nlohmann::json::array();
  for (const auto& p : overview.printers) {
    nlohmann::json reasons = nlohmann::json::array();
    for (const auto& reason : p.state_reasons) reasons.push_back(page_text(reason));
    printers.push_back({{"name", page_text(p.name)},
                        {"description", page_text(p.description)},
                        {"location", page_text(p.location)},
                        {"state", std::string(printing::name(p.state))},
                        {"reasons", std::move(reasons)},
                        {"accepting", p.accepting_jobs},
                        {"default", p.is_default}});
    if (printers.size() >= printing::MAX_LIST_ENTRIES) break;
  }
  nlohmann::json jobs = nlohmann::json::array();
  for (const auto& job : overview.jobs) {
    jobs.push_back({{"job_id", page_text(job.job_id)},
                    {"title", page_text(job.title)},
                    {"printer", page_text(job.printer)},
                    {"state", page_text(job.state)},
                    {"reason", page_text(job.reason)},
                    {"updated", utc_text(static_cast<std::time_t>(job.updated_at))}});
  }
  return {{"system", page_text(overview.system)},
          {"printers", std::move(printers)},
          {"jobs", std::move(jobs)}};
}

}  // namespace

StatusBoard::StatusBoard(std::string computer_name, std::optional<std::int64_t> computer_id,
                         std::vector<std::string> secrets, Clock::time_point started)
    : computer_name_(std::move(computer_name)),
      started_(started),
      computer_id_(computer_id),
      secrets_(std::move(secrets)) {}

void StatusBoard::update_connection(const comms::Connection& connection) {
  std::lock_guard lock(mutex_);
  connection_ = connection;
  if (connection.status == comms::ClientStatus::handshaked) {
    const auto id = connection.info.find("computer_id");
    if (id != connection.info.end() && id->is_number_integer())
      computer_id_ = id->get<std::int64_t>();
  }
}

void StatusBoard::update_account(const Account& account) {
  std::lock_guard lock(mutex_);
  if (account.computer_id) computer_id_ = account.computer_id;
  if (account.client_key && !account.client_key->empty() &&
      std::find(secrets_.begin(), secrets_.end(), *account.client_key) == secrets_.end()) {
    secrets_.push_back(*account.client_key);
  }
}

void StatusBoard::add_gui_log(const GuiLog& gui_log) {
  std::string message = gui_log.message.substr(0, MAX_GUI_LOG_LINE_CHARS);
  std::lock_guard lock(mutex_);
  lines_.push_back(Line{utc_now_text(), gui_log.event, std::move(message)});
  while (lines_.size() > MAX_GUI_LOG_LINES) lines_.pop_front();
}

void StatusBoard::update_printing(const printing::PrintingOverview& overview) {
  nlohmann::json json = printing_json(overview);
  std::lock_guard lock(mutex_);
  printing_ = std::move(json);
}

void StatusBoard::update_scales(const nlohmann::json& overview) {
  std::lock_guard lock(mutex_);
  scales_ = overview;
}

void StatusBoard::set_host_line(const std::string& key, std::string text) {
  std::lock_guard lock(mutex_);
  if (text.empty()) {
    host_.erase(key);
  } else {
    host_[key] = text.substr(0, MAX_GUI_LOG_LINE_CHARS);
  }
}

nlohmann::json StatusBoard::redacted(const nlohmann::json& value) const {
  if (value.is_string()) return redact(value.get<std::string>(), secrets_);
  if (value.is_array()) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& item : value) out.push_back(redacted(item));
    return out;
  }
  if (value.is_object()) {
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [key, item] : value.items()) out[redact(key, secrets_)] = redacted(item);
    return out;
  }
  return value;
}

nlohmann::json StatusBoard::to_json(bool shutdown_allowed, Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  const double uptime = std::max(0.0, std::chrono::duration<double>(now - started_).count());
  nlohmann::json log = nlohmann::json::array();
  for (const auto& line : lines_) {
    log.push_back({{"time", line.time},
                   {"event", std::string(name(line.event))},
                   {"message", redact(line.message, secrets_)}});
  }
  return {
      {"connection",
       {{"status", std::string(comms::name(connection_.status))},
        {"label", std::string(status_label(connection_.status))},
        {"info", redacted(connection_.info)}}},
      {"account_id",
       connection_.account_id ? nlohmann::json(*connection_.account_id) : nlohmann::json(nullptr)},
      {"computer",
       {{"name", redact(computer_name_, secrets_)},
        {"id", computer_id_ ? nlohmann::json(*computer_id_) : nlohmann::json(nullptr)}}},
      {"uptime_seconds", uptime},
      {"uptime", format_duration(uptime)},
      {"gui_log", std::move(log)},
      {"printing", printing_.is_null() ? nlohmann::json{{"system", "starting"},
                                                        {"printers", nlohmann::json::array()},
                                                        {"jobs", nlohmann::json::array()}}
                                       : redacted(printing_)},
      {"scales", scales_.is_null()
                     ? nlohmann::json{{"enabled", false}, {"scales", nlohmann::json::array()}}
                     : redacted(scales_)},
      {"host", redacted(host_)},
      {"shutdown_allowed", shutdown_allowed},
      {"version", compiled_build_info().version},
  };
}

}  // namespace quillpost::web
