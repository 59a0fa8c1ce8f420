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
// A job goes received -> downloading -> downloaded -> submitting ->
// releasing -> printing -> completed (or failed, cancelled, unknown), each step
// recorded in the journal before it is taken. A job is made held in the
// printing system and released only once "releasing" is on the disk: a job
// that never reached it never printed and may be submitted again after its
// held remains are cancelled; one that did is never submitted again, and its
// end is read from the job, from its events, or is `unknown`. The printing system is reached
// through a PrintWorker, started once a scheduler is there (looked for every few seconds), so that
// a computer without one never loads libcups. Documents are fetched on threads of their own, at
// most `max_downloads` at once.
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
#include "quillpost/host/runtime/printing/journal.h"
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

class PrintingAgent : public agent::SimpleAgent {
 public:
  static constexpr std::string_view name = "printing";
  // Cancels of jobs never offered that are remembered (for this run).
  static constexpr std::size_t MAX_UNKNOWN_CANCELS = 1000;
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

  // What the agent holds for a job while it runs (not journaled).
  struct Run {
    bool reported = false;  // the current status reached a handshaked link
    nlohmann::json last_sent;
    std::shared_ptr<CancelToken> download;
    std::thread thread;  // the download or the document check
    bool downloading = false;
    std::size_t attempts = 0;  // retries of the download since it last worked
    std::optional<std::chrono::steady_clock::time_point> waiting_since;  // first failure
    std::string last_failure;
    int generation = 0;   // of the download; a stale result is ignored
    bool verify = false;  // the document was found at start: check it first
    // What the job waits to hear, one thing at a time: the check of its
    // document, its submission, the search for it in the printing system
    // (or the wait before the next search), its release, or its outcome
    // from its events. An answer to anything else is a stale one.
    enum class Asked { nothing, verify, submit, find, release, outcome };
    Asked asked = Asked::nothing;
    void answered(Asked which) {
      if (asked == which) asked = Asked::nothing;
    }
    bool asked_either(Asked a, Asked b) const { return asked == a || asked == b; }
    bool stop_sent = false;             // the submission under way was told to stop
    bool cancel_sent = false;           // this worker was told to cancel the job
    bool followed = false;              // the worker polls the job
    std::optional<int> asked_printers;  // the printer list generation asked for
    std::optional<SystemJob> system_job;
  };

  // agent.cc: messages, the link, the printers.
  void load_journal();
  void probe();
  void connection(const comms::Connection& connection);
  void account_update(const std::optional<Account>& account);
  void follow_link(agent::LinkWatch::Change change);
  // Sends what waits for a link: the printers, the unreported job statuses.
  void link_up();
  bool link_ready() const { return link_.ready(); }
  void server_message(const comms::ServerMessage& message);
  void printers_polled(const PrintersReport& report);
  void send_printers(bool always);
  void send_server(std::string_view event, nlohmann::json payload);
  void publish_overview();
  std::string system_text() const;
  bool reachable() const { return system_ == System::reachable; }

  // jobs.cc: the jobs.
  void receive_job_event(const std::string& event, const agent::Payload& payload);
  void offer(const nlohmann::json& payload);
  // Takes the offers that wait for room while there is room.
  void take_deferred();
  std::size_t open_jobs() const;
  void cancel_request(const nlohmann::json& payload);
  void advance();
  void advance_job(JobRecord& record, Run& run);
  void advance_cancel(JobRecord& record, Run& run);
  void start_download(JobRecord& record, Run& run);
  void start_verify(JobRecord& record, Run& run);
  void submit(JobRecord& record, Run& run);
  void download_done(const std::string& job_id, int generation, const DownloadResult& result);
  void verify_done(const std::string& job_id, bool ok);
  void retry(const std::string& job_id, int generation);
  void job_created(const JobCreated& created);
  void job_submitted(const JobSubmitted& submitted);
  void job_polled(const JobPolled& polled);
  void jobs_found(const JobsFound& found);
  // Notes in the record a held job of an earlier try that is to be cancelled.
  static void withdraw(JobRecord& record, std::int64_t printer_job_id);
  void job_released(const JobReleased& released);
  void outcome_read(const JobOutcomeRead& read);
  // The job the printing system no longer lists (or whose id names another
  // job): its end from its events, else `unknown`.
  void vanished(JobRecord& record, Run& run);
  JobIdentity identity(const JobRecord& record) const;
  // Moves the job on (journal first, then the status); false when the
  // journal could not record it (the job has then failed).
  bool set_phase(JobRecord& record, JobPhase phase, std::string reason);
  void set_reason(JobRecord& record, std::string reason);
  void finish(JobRecord& record, JobPhase phase, std::string reason);
  // Forgets the oldest finished jobs beyond what the journal keeps.
  void prune();
  void report(const JobRecord& record);
  std::string printing_reason(const JobRecord& record, const SystemJob& job) const;
  JobRecord* job(const std::string& job_id);
  agent::Mailbox mailbox();

  PrintingSettings settings_;
  Journal journal_;
  logs::Logger logger_;
  agent::Channel pubsub_;
  agent::LinkWatch link_;

  bool journal_ok_ = false;
  std::string journal_error_;
  std::map<std::string, JobRecord> jobs_;
  std::map<std::string, Run> runs_;
  std::vector<std::string> order_;    // job ids in the order they came
  std::set<std::string> unreadable_;  // records lost: look in the printing system first
  std::map<std::string, std::string> inaccessible_;  // records the system cannot read now: why
  std::set<std::string> cancelled_unknown_;          // cancels of jobs never offered (this run)
  std::size_t active_downloads_ = 0;
  std::deque<std::pair<std::string, nlohmann::json>> deferred_;  // job id, offer
  std::minstd_rand random_{std::random_device{}()};              // the retries' jitter

  System system_ = System::absent;
  std::string system_error_;
  std::unique_ptr<PrintWorker> worker_;
  int printers_generation_ = 0;
  std::vector<Printer> system_printers_;  // as the printing system listed them
  std::vector<Printer> printers_;         // as reported (removed ones kept when asked)
  bool printers_known_ = false;
  PrinterUpdates printer_updates_;  // what this link was told
  bool printers_flush_armed_ = false;
  bool truncation_logged_ = false;
  std::optional<PrintingOverview> overview_sent_;
};

}  // namespace quillpost::printing
