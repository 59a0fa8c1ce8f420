// What the web interface shows: the connection status, who is connected, the
// uptime, the last GUI log lines, the printers and the last print jobs,
// gathered from the application's messages.
//
// The board is written by the web interface's agent (on the agent runtime's
// thread) and read by the HTTP server (on its own thread): every member is
// safe to call from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillpost/host/comms/defs.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/runtime/printing/overview.h"
#include "quillpost/host/world/world.h"

namespace quillpost::web {

// Replaces every occurrence of each secret in `text` by "***". Empty secrets
// are ignored; longer secrets are replaced first, so one that contains another
// is hidden whole.
std::string redact(std::string text, const std::vector<std::string>& secrets);

// Every secret the configuration and the account hold: password, client key,
// proxy user name and password. No page or JSON of the web interface may show
// any of them.
std::vector<std::string> secrets_of(const RuntimeConfig& config,
                                    const std::optional<Account>& account);

// The label a person reads for a connection status: "Handshaked", "Finding server"...
std::string_view status_label(comms::ClientStatus status);

class StatusBoard {
 public:
  using Clock = std::chrono::steady_clock;

  // How many GUI log lines are kept (the oldest go first), and how long one
  // line may be before it is cut: the board's memory stays bounded whatever
  // the application logs.
  static constexpr std::size_t MAX_GUI_LOG_LINES = 20;
  static constexpr std::size_t MAX_GUI_LOG_LINE_CHARS = 1000;

  StatusBoard(std::string computer_name, std::optional<std::int64_t> computer_id,
              std::vector<std::string> secrets, Clock::time_point started = Clock::now());

  // The connection status as published under UPDATE_CONNECTION.
  void update_connection(const comms::Connection& connection);
  // A changed account: its computer id, and its client key as one more secret.
  void update_account(const Account& account);
  void add_gui_log(const GuiLog& gui_log);
  // The printers and the last print jobs, as the printing agent publishes them.
  void update_printing(const printing::PrintingOverview& overview);
  // The scales and their readings, as the scales agent publishes them.
  void update_scales(const nlohmann::json& overview);
  // One line about the computer itself, shown as it is: "clock" (what the
  // clock check knows) or "last_crash" (when the last run crashed and whether
  // its report was sent). An empty text removes the line.
  void set_host_line(const std::string& key, std::string text);

  // Everything above as the JSON of GET /status, secrets hidden:
  //   {"connection": {"status", "label", "info"}, "account_id", "computer":
  //    {"name", "id"}, "uptime_seconds", "uptime", "gui_log": [{"time",
  //    "event", "message"}], "printing": {"system", "printers": [{"name",
  //    "description", "location", "state", "reasons", "accepting", "default"}],
  //    "jobs": [{"job_id", "title", "printer", "state", "reason", "updated"}]},
  //    "scales": {"enabled", "scales": [{"id", "name", "kind", "reading"}]},
  //    "host": {"clock", "last_crash"} (each only when known), "shutdown_allowed", "version"}
  nlohmann::json to_json(bool shutdown_allowed, Clock::time_point now = Clock::now()) const;

 private:
  struct Line {
    std::string time;  // UTC, "YYYY-MM-DD HH:MM:SS"
    GuiLogEvent event;
    std::string message;
  };

  nlohmann::json redacted(const nlohmann::json& value) const;

  mutable std::mutex mutex_;
  const std::string computer_name_;
  const Clock::time_point started_;
  std::optional<std::int64_t> computer_id_;
  std::vector<std::string> secrets_;
  comms::Connection connection_;
  std::deque<Line> lines_;
  nlohmann::json printing_;
  nlohmann::json scales_;
  nlohmann::json host_ = nlohmann::json::object();
};

}  // namespace quillpost::web
