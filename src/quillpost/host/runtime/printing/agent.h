// The printing agent, registered as "printing": the host's printing back end.
//
// It serves the computer's printers through the service link without the
// connection client knowing of it: it subscribes through "pubsub" to the
// client's connection status (comms::UPDATE_CONNECTION) and server messages
// (comms::SERVER_MESSAGE), takes the `print` and `print.cancel` events, and
// sends `printers` and `print.status` by publishing core::SEND_SERVER, only
// while the link is handshaked; what could not be sent goes after the next
// handshake. The client drops (and warns of) what reaches it outside a
// handshaked link, and this agent learns of a new link state only after the
// client: so it also follows the account (core::UPDATE_ACCOUNT). After a
// handshake that the client follows with an account correction (the
// placeholder e-mail of a client key, a new computer id) it waits for that
// correction, and a correction of the e-mail or key ends the link at once,
// as it does for the client, which reconnects.
//
// The jobs themselves, from offer to end, are the JobLifecycle's
// (job_lifecycle.h); this agent keeps the link, the offers that wait for room,
// the printing system's worker and the printer list. The printing system is
// reached through a PrintWorker, started once a scheduler is there (looked for
// every few seconds), so that a computer without one never loads libcups.
// Documents are fetched on threads of their own, at most `max_downloads` at
// once.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/comms/defs.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/process/environment.h"
#include "quillpost/host/runtime/agent/link_watch.h"
#include "quillpost/host/runtime/printing/download.h"
#include "quillpost/host/runtime/printing/job_lifecycle.h"
#include "quillpost/host/runtime/printing/overview.h"
#include "quillpost/host/runtime/printing/printer_updates.h"
#include "quillpost/host/runtime/printing/worker.h"
#include "quillpost/host/world/world.h"

namespace quillpost::printing {

struct PrintingTimings {
  using Duration = std::chrono::milliseconds;
  Duration probe{3000};  // between looks for a printing system
  WorkerTimings worker;
  DownloadTimeouts download;
  // A download that failed for a reason that may pass (the network, a server
  // error or deploy, 429, a full disk) is tried again after waits that double
  // from `retry_first` up to `retry_longest`, and at least as long as the
  // server's Retry-After. The job waits so for `retry_window` from its first
  // failure, then fails.
  Duration retry_first{std::chrono::seconds(1)};
  Duration retry_longest{std::chrono::minutes(5)};
  Duration retry_window{std::chrono::hours(1)};
};

// The wait before try `attempt` + 1 (0 for the first retry): the doubling
// wait shortened by `jitter` (0 to 1: by up to a half, so that clients that
// failed together come back apart), then at least `retry_after`, and never
// past what is left of the window (`left`).
PrintingTimings::Duration retry_delay(const PrintingTimings& timings, std::size_t attempt,
                                      std::chrono::seconds retry_after, double jitter,
                                      PrintingTimings::Duration left);

struct PrintingSettings {
  std::filesystem::path dir;  // the settings directory's "printing"
  bool retain_documents = false;
  bool keep_removed_printers = false;
  HttpConfig http_config;
  Getenv getenv;  // finds the scheduler (CUPS_SERVER)
  PrintingTimings timings;
  std::size_t max_downloads = 2;
  // Jobs not yet ended that the client takes at most; further offers wait
  // for one to end, so that no service can fill the memory or the disk.
  std::size_t max_open_jobs = 1000;
  PrintWorker::Maker maker;  // unset: the libcups module
  // The account the client starts with; unset: unknown, no correction is
  // waited for.
  std::optional<Account> account = std::nullopt;
  // Documents that skip the printing system's filters are printed (the
  // configuration's allow_raw_printing).
  bool allow_raw_formats = false;
};

class PrintingAgent : public agent::SimpleAgent, private JobHost {
 public:
  static constexpr std::string_view name = "printing";
  // Cancels of jobs never offered that are remembered (for this run).
  static constexpr std::size_t MAX_UNKNOWN_CANCELS = JobLifecycle::MAX_UNKNOWN_CANCELS;
  // Offers beyond the open jobs wait, unanswered, for a job to end; beyond
  // these too they are dropped (the service offers again after a handshake).
  static constexpr std::size_t MAX_DEFERRED_OFFERS = 100;

  explicit PrintingAgent(PrintingSettings settings);
  // Stops the worker and the downloads; jobs under way go on at next start.
  ~PrintingAgent() override;

  void before() override;
  void receive(const std::string& event, const agent::Payload& payload) override;

 private:
  enum class System { absent, starting, reachable, unreachable, unusable };

  // JobHost
  bool link_ready() const override { return link_.ready(); }
  void send_status(nlohmann::json status) override;
  void schedule(std::string_view event, agent::Payload payload, double seconds) override;
  agent::Mailbox mailbox() override;

  void set_system(System system, std::string error);
  void probe();
  void connection(const comms::Connection& connection);
  void account_update(const std::optional<Account>& account);
  void follow_link(agent::LinkWatch::Change change);
  // Sends what waits for a link: the printers, the unreported job statuses.
  void link_up();
  void server_message(const comms::ServerMessage& message);
  void printers_polled(const PrintersReport& report);
  void send_printers(bool always);
  void send_server(std::string_view event, nlohmann::json payload);
  void publish_overview();
  std::string system_text() const;
  bool reachable() const { return system_ == System::reachable; }

  void offer(const nlohmann::json& payload);
  // Takes the offers that wait for room while there is room.
  void take_deferred();

  PrintingSettings settings_;
  logs::Logger logger_;
  agent::Channel pubsub_;
  agent::LinkWatch link_;

  std::deque<std::pair<std::string, nlohmann::json>> deferred_;  // job id, offer

  System system_ = System::absent;
  std::string system_error_;
  std::unique_ptr<PrintWorker> worker_;
  std::vector<Printer> printers_;  // as reported (removed ones kept when asked)
  bool printers_known_ = false;
  PrinterUpdates printer_updates_;  // what this link was told
  bool printers_flush_armed_ = false;
  bool truncation_logged_ = false;
  std::optional<PrintingOverview> overview_sent_;
  // Last: it goes first, stopping the downloads once the worker is gone.
  JobLifecycle jobs_{settings_, *this};
};

}  // namespace quillpost::printing
