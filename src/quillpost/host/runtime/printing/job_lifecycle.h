// The print jobs from offer to end: the journal, the downloads, the
// submission to the printing system, and following and cancelling there.
//
// A job goes received -> downloading -> downloaded -> submitting ->
// releasing -> printing -> completed (or failed, cancelled, unknown), each step
// recorded in the journal before it is taken. A job is made held in the
// printing system and released only once "releasing" is on the disk: a job
// that never reached it never printed and may be submitted again after its
// held remains are cancelled; one that did is never submitted again, and its
// end is read from the job, from its events, or is `unknown`.
//
// The lifecycle reaches the printing system only through the PrintWorker it
// is handed (and so through a PrintSystem), and its host (the printing agent)
// only through JobHost: statuses for the service, and messages to itself,
// which the host hands back to `receive`. The host keeps the link, the offers
// that wait for room and the printer list.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/runtime/printing/download.h"
#include "quillpost/host/runtime/printing/journal.h"
#include "quillpost/host/runtime/printing/worker.h"

namespace quillpost::printing {

struct PrintingSettings;
struct PrintingTimings;

// What the job lifecycle asks of the agent that hosts it.
class JobHost {
 public:
  virtual ~JobHost() = default;
  // Whether what is sent now reaches the service.
  virtual bool link_ready() const = 0;
  // Sends a `print.status` (called only while the link is ready).
  virtual void send_status(nlohmann::json status) = 0;
  // Hands `event` back to JobLifecycle::receive after `seconds`.
  virtual void schedule(std::string_view event, agent::Payload payload, double seconds) = 0;
  // A mailbox whose messages reach JobLifecycle::receive, for the threads.
  virtual agent::Mailbox mailbox() = 0;
};

// The printing system as the jobs see it.
struct SystemState {
  PrintWorker* worker = nullptr;  // null until a printing system is found
  bool reachable = false;         // it answers
  bool unreachable = false;       // it was found and does not answer now
  std::string text;               // what jobs waiting for it say
};

class JobLifecycle {
 public:
  // Cancels of jobs never offered that are remembered (for this run).
  static constexpr std::size_t MAX_UNKNOWN_CANCELS = 1000;

  // `settings` and `host` outlive the lifecycle.
  JobLifecycle(const PrintingSettings& settings, JobHost& host);
  // Stops the downloads; jobs under way go on at next start.
  ~JobLifecycle();
  JobLifecycle(const JobLifecycle&) = delete;
  JobLifecycle& operator=(const JobLifecycle&) = delete;

  // Reads the journal and removes the documents no job needs.
  void load();
  void set_system(SystemState state) { system_ = std::move(state); }
  // A printer poll: `error` set when the system did not answer.
  void printers_polled(const PrintersReport& report);
  // Takes a message of the worker's or of its own; false for any other.
  bool receive(const std::string& event, const agent::Payload& payload);

  // An offer the lifecycle answers without a new job: a job it knows (its
  // status is sent again) or whose record cannot be read now.
  bool answer_known(const std::variant<JobOffer, OfferError>& parsed);
  // Takes an offer as a new job (or refuses it, with a status).
  void take(std::variant<JobOffer, OfferError> parsed);
  void cancel_request(const nlohmann::json& payload);
  // Jobs not ended.
  std::size_t open_jobs() const;
  // Moves every job as far as it can go now.
  void advance();
  // Sends the statuses that have not reached the service.
  void link_up();
  const std::map<std::string, JobRecord>& jobs() const { return jobs_; }

 private:
  // What the lifecycle holds for a job while it runs (not journaled).
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
    // document, its submission (or, once told to stop, the submission's
    // end), the search for it in the printing system (or the wait before the
    // next search), its release, or its outcome from its events. An answer
    // to anything else is a stale one.
    enum class Waiting { nothing, verify, submit, stopping, find, release, outcome };
    Waiting waiting = Waiting::nothing;
    // How the worker watches the job in the printing system: not at all,
    // polled, or polled after it was told to cancel it (told again only
    // after the printing system stopped answering).
    enum class Watch { none, polled, cancelling };
    Watch watch = Watch::none;

    bool submitting() const { return waiting == Waiting::submit || waiting == Waiting::stopping; }
    bool waiting_for(Waiting a, Waiting b) const { return waiting == a || waiting == b; }
    // The answer to `which` came: the job waits for nothing, unless it
    // waits for something else (then the answer was a stale one).
    void answered(Waiting which) {
      if (waiting == which || (which == Waiting::submit && submitting())) {
        waiting = Waiting::nothing;
      }
    }
    std::optional<int> asked_printers;  // the printer list generation asked for
    std::optional<SystemJob> system_job;
  };

  bool reachable() const { return system_.reachable; }
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
  PrintWorker& worker() { return *system_.worker; }

  const PrintingSettings& settings_;
  JobHost& host_;
  Journal journal_;
  logs::Logger logger_;

  bool journal_ok_ = false;
  std::string journal_error_;
  std::map<std::string, JobRecord> jobs_;
  std::map<std::string, Run> runs_;
  std::vector<std::string> order_;    // job ids in the order they came
  std::set<std::string> unreadable_;  // records lost: look in the printing system first
  std::map<std::string, std::string> inaccessible_;  // records the system cannot read now: why
  std::set<std::string> cancelled_unknown_;          // cancels of jobs never offered (this run)
  std::size_t active_downloads_ = 0;
  std::minstd_rand random_{std::random_device{}()};  // the retries' jitter

  SystemState system_;
  int printers_generation_ = 0;
  std::vector<Printer> system_printers_;  // as the printing system listed them
};

}  // namespace quillpost::printing
