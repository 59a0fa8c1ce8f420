// The print jobs: offers, downloads, submissions, following and cancelling,
// each step recorded in the journal before it is taken.
#include "quillpost/host/runtime/printing/job_lifecycle.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "quillpost/host/base/digest.h"
#include "quillpost/host/process/threads.h"
#include "quillpost/host/runtime/printing/agent.h"
#include "quillpost/host/runtime/printing/clean_text.h"
#include "quillpost/host/runtime/printing/document_format.h"

namespace quillpost::printing {
namespace {

constexpr std::string_view DOWNLOAD_DONE = "printing_download_done";
constexpr std::string_view VERIFY_DONE = "printing_verify_done";
constexpr std::string_view RETRY = "printing_retry";
constexpr std::string_view FIND_AGAIN = "printing_find_again";

// The reason of a job that was released and whose end nobody knows.
constexpr std::string_view UNKNOWN_OUTCOME =
    "released to the printer; the printing system kept no record of the outcome";

struct DownloadDone {
  std::string job_id;
  int generation = 0;
  DownloadResult result;
};
struct VerifyDone {
  std::string job_id;
  bool ok = false;
};
struct Retry {
  std::string job_id;
  int generation = 0;
};

std::int64_t now_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// "4 s", "2 min": a wait for people, rounded up to a whole second.
std::string wait_text(PrintingTimings::Duration wait) {
  const auto seconds =
      std::max<std::int64_t>(1, std::chrono::ceil<std::chrono::seconds>(wait).count());
  if (seconds < 120) return std::to_string(seconds) + " s";
  return std::to_string((seconds + 59) / 60) + " min";
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

}  // namespace

PrintingTimings::Duration retry_delay(const PrintingTimings& timings, std::size_t attempt,
                                      std::chrono::seconds retry_after, double jitter,
                                      PrintingTimings::Duration left) {
  using Duration = PrintingTimings::Duration;
  Duration wait = timings.retry_longest;
  // Doubling past 2^20 only overflows; the longest wait holds long before.
  if (attempt < 20) wait = std::min(wait, timings.retry_first * (std::int64_t{1} << attempt));
  wait -= std::chrono::duration_cast<Duration>(wait * (std::clamp(jitter, 0.0, 1.0) / 2));
  wait = std::max(wait, std::chrono::duration_cast<Duration>(retry_after));
  return std::max(Duration{0}, std::min(wait, left));
}

JobLifecycle::JobLifecycle(const PrintingSettings& settings, JobHost& host)
    : settings_(settings),
      host_(host),
      journal_(settings.dir),
      logger_(agent::create_logger("printing")) {}

JobLifecycle::~JobLifecycle() {
  for (auto& [id, run] : runs_) {
    if (run.download) run.download->cancel();
  }
  for (auto& [id, run] : runs_) {
    if (run.thread.joinable()) run.thread.join();
  }
}

void JobLifecycle::load() {
  try {
    auto loaded = journal_.load();
    journal_ok_ = true;
    unreadable_ = std::move(loaded.unreadable);
    inaccessible_ = std::move(loaded.inaccessible);
    std::vector<std::pair<std::int64_t, std::string>> order;
    for (auto& [id, record] : loaded.jobs) {
      Run& run = runs_[id];
      run.reported = is_final(record.phase);
      // A download or check cut off by the end of the last run starts over;
      // a document found on disk is checked again before it is printed.
      if (record.phase == JobPhase::downloading) record.phase = JobPhase::received;
      if (record.phase == JobPhase::downloaded || record.phase == JobPhase::submitting) {
        run.verify = true;
      }
      order.emplace_back(record.received_at, id);
    }
    jobs_ = std::move(loaded.jobs);
    std::sort(order.begin(), order.end());
    for (auto& [at, id] : order) order_.push_back(std::move(id));
    // Documents of jobs that are gone or over (and not kept) are removed.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(journal_.documents_dir(), ec)) {
      const std::optional<std::string> id = journal_.document_job_id(entry.path().filename());
      if (id && (inaccessible_.contains(*id) || unreadable_.contains(*id))) continue;
      const auto it = id ? jobs_.find(*id) : jobs_.end();
      if (it == jobs_.end() || (is_final(it->second.phase) && !settings_.retain_documents)) {
        std::filesystem::remove(entry.path(), ec);
      }
    }
    if (!jobs_.empty()) logger_.info("Print jobs in the journal: %d", jobs_.size());
  } catch (const std::exception& e) {
    journal_error_ = e.what();
    logger_.error("The print job journal cannot be used: %s", journal_error_);
  }
}

void JobLifecycle::link_up() {
  for (const std::string& id : order_) {
    JobRecord& record = jobs_.at(id);
    if (!runs_[id].reported) report(record);
  }
}

void JobLifecycle::printers_polled(const PrintersReport& report) {
  ++printers_generation_;
  if (report.error) {
    // Told again once it answers.
    for (auto& [id, run] : runs_) {
      if (run.watch == Run::Watch::cancelling) run.watch = Run::Watch::polled;
    }
  } else {
    system_printers_ = report.printers;
  }
  // A stopped or resumed printer changes what its waiting jobs say.
  for (const std::string& id : order_) {
    JobRecord& record = jobs_.at(id);
    Run& run = runs_[id];
    if (record.phase == JobPhase::printing && run.system_job) {
      set_reason(record, printing_reason(record, *run.system_job));
    }
  }
}

bool JobLifecycle::receive(const std::string& event, const agent::Payload& payload) {
  using agent::payload_as;
  if (event == JOB_CREATED) {
    job_created(payload_as<JobCreated>(payload));
  } else if (event == JOB_SUBMITTED) {
    job_submitted(payload_as<JobSubmitted>(payload));
  } else if (event == JOB_POLLED) {
    job_polled(payload_as<JobPolled>(payload));
  } else if (event == JOBS_FOUND) {
    jobs_found(payload_as<JobsFound>(payload));
  } else if (event == JOB_RELEASED) {
    job_released(payload_as<JobReleased>(payload));
  } else if (event == JOB_OUTCOME) {
    outcome_read(payload_as<JobOutcomeRead>(payload));
  } else if (event == DOWNLOAD_DONE) {
    const auto& done = payload_as<DownloadDone>(payload);
    download_done(done.job_id, done.generation, done.result);
  } else if (event == VERIFY_DONE) {
    const auto& done = payload_as<VerifyDone>(payload);
    verify_done(done.job_id, done.ok);
  } else if (event == RETRY) {
    const auto& r = payload_as<Retry>(payload);
    retry(r.job_id, r.generation);
  } else if (event == FIND_AGAIN) {
    const auto& id = payload_as<std::string>(payload);
    if (const auto it = runs_.find(id); it != runs_.end()) it->second.answered(Run::Waiting::find);
  } else {
    return false;
  }
  return true;
}

JobRecord* JobLifecycle::job(const std::string& job_id) {
  const auto it = jobs_.find(job_id);
  return it == jobs_.end() ? nullptr : &it->second;
}

bool JobLifecycle::answer_known(const std::variant<JobOffer, OfferError>& parsed) {
  // A job known by its id is never started again, whatever this offer says:
  // its current status answers the offer.
  const std::string* id = nullptr;
  if (const auto* o = std::get_if<JobOffer>(&parsed)) {
    id = &o->job_id;
  } else if (const auto& e = std::get<OfferError>(parsed); e.job_id) {
    id = &*e.job_id;
  }
  if (id) {
    if (const auto it = inaccessible_.find(*id); it != inaccessible_.end()) {
      // What was done for it is on the disk, unreadable now: nothing is done
      // until a start finds it readable.
      if (host_.link_ready()) {
        host_.send_status(
            {{"jobId", *id},
             {"state", "received"},
             {"printerJobId", nullptr},
             {"reason", clean_text("its record cannot be read: " + it->second, 1024)}});
      }
      return true;
    }
    if (JobRecord* known = job(*id)) {
      Run& run = runs_[*id];
      // A new URL (a new token after a service restart) is taken while the
      // document is still to be fetched.
      if (const auto* o = std::get_if<JobOffer>(&parsed);
          o && known->phase <= JobPhase::downloading && !run.downloading &&
          o->url != known->offer.url) {
        known->offer.url = o->url;
        set_phase(*known, known->phase, known->reason);
      }
      // A download waiting for its next try starts now: the service is back,
      // so its back-off starts again from the shortest wait.
      if (known->phase == JobPhase::downloading && !run.downloading) {
        run.attempts = 0;
        start_download(*known, run);
      }
      run.last_sent = nullptr;
      report(*known);
      return true;
    }
  }
  return false;
}

void JobLifecycle::take(std::variant<JobOffer, OfferError> parsed) {
  if (const auto* o = std::get_if<JobOffer>(&parsed)) {
    if (auto format = document_format(o->content_type, settings_.allow_raw_formats);
        !format.refused.empty()) {
      parsed = OfferError{o->job_id, std::move(format.refused)};
    }
  }
  if (const auto* error = std::get_if<OfferError>(&parsed)) {
    logger_.warning("Print offer refused: %s", error->reason);
    if (!error->job_id) return;
    JobRecord refused;
    refused.offer.job_id = *error->job_id;
    refused.phase = JobPhase::failed;
    refused.reason = "the offer cannot be used: " + error->reason;
    refused.received_at = refused.updated_at = now_seconds();
    // Not journaled: the same offer gets the same answer again.
    jobs_[refused.offer.job_id] = refused;
    order_.push_back(refused.offer.job_id);
    report(refused);
    prune();
    return;
  }
  JobOffer offer = std::get<JobOffer>(std::move(parsed));
  JobRecord record;
  record.offer = std::move(offer);
  record.received_at = record.updated_at = now_seconds();
  const std::string job_id = record.offer.job_id;
  logger_.info("Print job %s offered: %d bytes of %s for printer %s", job_id, record.offer.size,
               record.offer.content_type, record.offer.printer);
  if (cancelled_unknown_.erase(job_id)) {
    record.phase = JobPhase::cancelled;
    record.reason = "cancelled before it arrived";
  } else if (!journal_ok_) {
    record.phase = JobPhase::failed;
    record.reason = "cannot record print jobs: " + journal_error_;
  }
  jobs_[job_id] = record;
  order_.push_back(job_id);
  Run& run = runs_[job_id];
  if (is_final(record.phase)) {
    report(jobs_[job_id]);
    return;
  }
  if (!set_phase(jobs_[job_id], JobPhase::received, "")) return;
  // A job whose record was lost may have reached the printing system: it is
  // looked for there before it is printed.
  if (unreadable_.contains(job_id)) {
    if (set_phase(jobs_[job_id], JobPhase::submitting, "")) {
      unreadable_.erase(job_id);
      journal_.clear_look_first(job_id);
    }
    run.verify = true;
  }
}

std::size_t JobLifecycle::open_jobs() const {
  return static_cast<std::size_t>(std::count_if(
      jobs_.begin(), jobs_.end(), [](const auto& entry) { return !is_final(entry.second.phase); }));
}

void JobLifecycle::cancel_request(const nlohmann::json& payload) {
  const auto it = payload.is_object() ? payload.find("jobId") : payload.end();
  if (it == payload.end() || !it->is_string() || !is_job_id(it->get<std::string>())) {
    logger_.warning("Print cancel refused: no usable jobId");
    return;
  }
  const std::string job_id = it->get<std::string>();
  JobRecord* record = job(job_id);
  if (!record) {
    // Answered as cancelled; should its offer still come, it is not printed.
    // (At most MAX_UNKNOWN_CANCELS such cancels are remembered, for this run.)
    if (cancelled_unknown_.size() >= MAX_UNKNOWN_CANCELS)
      cancelled_unknown_.erase(cancelled_unknown_.begin());
    cancelled_unknown_.insert(job_id);
    JobRecord unknown;
    unknown.offer.job_id = job_id;
    unknown.phase = JobPhase::cancelled;
    unknown.reason = "the client has no such job";
    if (host_.link_ready()) host_.send_status(unknown.status_payload());
    return;
  }
  logger_.info("Print job %s: cancel asked for (%s)", job_id, printing::name(record->phase));
  if (is_final(record->phase)) {
    runs_[job_id].last_sent = nullptr;
    report(*record);
    return;
  }
  if (!record->cancel_requested) {
    record->cancel_requested = true;
    set_phase(*record, record->phase, record->reason);
  }
}

void JobLifecycle::advance() {
  for (std::size_t i = 0; i < order_.size(); ++i) {
    JobRecord* record = job(order_[i]);
    if (!record || is_final(record->phase)) continue;
    Run& run = runs_[order_[i]];
    if (record->cancel_requested) {
      advance_cancel(*record, run);
    } else {
      advance_job(*record, run);
    }
  }
}

void JobLifecycle::advance_job(JobRecord& record, Run& run) {
  const std::string wait = "waiting for the printing system: " + system_.text;
  switch (record.phase) {
    case JobPhase::received: {
      if (!reachable()) return set_reason(record, wait);
      const Printer* printer = find_printer(system_printers_, record.offer.printer);
      if (!printer) {
        // The list may be a poll behind: a fresh one decides.
        if (!run.asked_printers) {
          run.asked_printers = printers_generation_;
          worker().poll_printers();
          return;
        }
        if (printers_generation_ == *run.asked_printers) return;
        return finish(record, JobPhase::failed,
                      "no printer named " + record.offer.printer + " on this computer");
      }
      if (std::string mismatch = offer_mismatch(*printer, record.offer); !mismatch.empty()) {
        return finish(record, JobPhase::failed, mismatch);
      }
      if (active_downloads_ < settings_.max_downloads) start_download(record, run);
      return;
    }
    case JobPhase::downloaded:
      if (!reachable()) return set_reason(record, wait);
      if (run.verify) {
        if (run.waiting != Run::Waiting::verify) start_verify(record, run);
        return;
      }
      return submit(record, run);
    case JobPhase::submitting:
      if (run.submitting() || run.waiting == Run::Waiting::find) return;
      if (!reachable()) return set_reason(record, wait);
      // Whether the printing system took the job before the last run ended
      // (or before it stopped answering) is found out by the job's name.
      run.waiting = Run::Waiting::find;
      worker().find(record.offer.job_id, printer_job_name(record.offer.job_id));
      return;
    case JobPhase::releasing:
      if (run.waiting_for(Run::Waiting::release, Run::Waiting::outcome)) return;
      if (!reachable()) return set_reason(record, wait);
      if (!record.printer_job_id) return vanished(record, run);
      run.waiting = Run::Waiting::release;
      worker().release(record.offer.job_id, identity(record));
      return;
    case JobPhase::printing:
      if (run.waiting == Run::Waiting::outcome) return;
      if (!record.printer_job_id) {
        if (reachable()) vanished(record, run);
        return;
      }
      if (run.watch == Run::Watch::none && system_.worker) {
        run.watch = Run::Watch::polled;
        worker().follow(record.offer.job_id, identity(record));
      }
      if (system_.unreachable) set_reason(record, wait);
      return;
    default:
      return;
  }
}

JobIdentity JobLifecycle::identity(const JobRecord& record) const {
  return {record.printer_job_id.value_or(0), printer_job_name(record.offer.job_id),
          record.printer_job_uuid};
}

void JobLifecycle::vanished(JobRecord& record, Run& run) {
  if (system_.worker && run.watch != Run::Watch::none) worker().unfollow(record.offer.job_id);
  run.watch = Run::Watch::none;
  if (!record.subscription) {
    return finish(record, JobPhase::unknown, std::string(UNKNOWN_OUTCOME));
  }
  if (run.waiting == Run::Waiting::outcome || !reachable()) return;
  run.waiting = Run::Waiting::outcome;
  worker().read_outcome(record.offer.job_id, record.subscription,
                        record.printer_job_id.value_or(0));
}

void JobLifecycle::outcome_read(const JobOutcomeRead& read) {
  JobRecord* record = job(read.job_id);
  if (!record || is_final(record->phase)) return;
  Run& run = runs_[read.job_id];
  run.answered(Run::Waiting::outcome);
  if (read.error && read.error.kind != SystemError::Kind::not_found) {
    // Asked again once the printing system answers.
    return set_reason(*record, "waiting for the printing system: " + read.error.text);
  }
  if (read.error || !read.outcome.known) {
    logger_.info("Print job %s: no event of printer job %d (subscription %d): %s", read.job_id,
                 record->printer_job_id.value_or(0), record->subscription,
                 read.error ? clean_text(read.error.text, 256) : std::string("none of its end"));
    return finish(*record, JobPhase::unknown, std::string(UNKNOWN_OUTCOME));
  }
  switch (read.outcome.state) {
    case SystemJob::State::completed:
      return finish(*record, JobPhase::completed, "");
    case SystemJob::State::canceled:
      return finish(*record, JobPhase::cancelled,
                    record->cancel_requested ? "" : "cancelled in the printing system");
    default:
      return finish(
          *record, JobPhase::failed,
          "the printing system gave up the job" +
              (read.outcome.message.empty() ? std::string() : ": " + read.outcome.message));
  }
}

void JobLifecycle::job_released(const JobReleased& released) {
  JobRecord* record = job(released.job_id);
  if (!record || record->phase != JobPhase::releasing) return;
  Run& run = runs_[released.job_id];
  run.answered(Run::Waiting::release);
  if (!released.error) {
    logger_.info("Print job %s: printer job %d released", released.job_id, released.printer_job_id);
    run.watch = Run::Watch::none;
    set_phase(*record, JobPhase::printing, "");
    return;
  }
  if (released.error.kind == SystemError::Kind::not_found) return vanished(*record, run);
  // Released again once the printing system answers.
  set_reason(*record, "waiting for the printing system: " + released.error.text);
}

void JobLifecycle::advance_cancel(JobRecord& record, Run& run) {
  switch (record.phase) {
    case JobPhase::received:
    case JobPhase::downloaded:
      return finish(record, JobPhase::cancelled, "");
    case JobPhase::downloading:
      if (run.download) run.download->cancel();
      return finish(record, JobPhase::cancelled, "");
    case JobPhase::submitting:
      if (run.waiting == Run::Waiting::submit) {
        run.waiting = Run::Waiting::stopping;
        worker().stop_submission(record.offer.job_id);
      }
      if (run.submitting()) return;
      // Not known whether the printing system has it: found out first.
      if (!reachable() && run.waiting != Run::Waiting::find) {
        return set_reason(record, "cancelling: waiting for the printing system: " + system_.text);
      }
      return advance_job(record, run);
    case JobPhase::releasing:
      // Never let go: the held job is cancelled (it may have been released
      // already, which the printing phase follows).
      if (run.waiting_for(Run::Waiting::release, Run::Waiting::outcome)) return;
      if (!reachable()) {
        return set_reason(record, "cancelling: waiting for the printing system: " + system_.text);
      }
      if (!record.printer_job_id) return vanished(record, run);
      set_phase(record, JobPhase::printing, record.reason);
      return advance_cancel(record, run);
    case JobPhase::printing:
      if (run.waiting == Run::Waiting::outcome) return;
      if (run.watch != Run::Watch::cancelling && reachable() && record.printer_job_id) {
        run.watch = Run::Watch::cancelling;
        worker().cancel(record.offer.job_id, identity(record));
      } else if (!reachable()) {
        set_reason(record, "cancelling: waiting for the printing system: " + system_.text);
      }
      return;
    default:
      return;
  }
}

void JobLifecycle::start_download(JobRecord& record, Run& run) {
  if (run.thread.joinable()) run.thread.join();
  if (!set_phase(record, JobPhase::downloading,
                 run.attempts ? "trying again after: " + run.last_failure : "")) {
    return;
  }
  ++run.generation;
  ++active_downloads_;
  run.downloading = true;
  run.download = std::make_shared<CancelToken>();
  DownloadRequest request{record.offer.url, journal_.document_path(record.offer.job_id),
                          record.offer.size, record.offer.sha256};
  run.thread = start_thread([mailbox = host_.mailbox(), request = std::move(request),
                             http = settings_.http_config, token = run.download,
                             timeouts = settings_.timings.download, generation = run.generation,
                             job_id = record.offer.job_id] {
    DownloadResult result = download_document(request, http, *token, timeouts);
    mailbox.send(DOWNLOAD_DONE, DownloadDone{job_id, generation, std::move(result)});
  });
}

void JobLifecycle::download_done(const std::string& job_id, int generation,
                                 const DownloadResult& result) {
  JobRecord* record = job(job_id);
  if (!record) return;
  Run& run = runs_[job_id];
  if (run.thread.joinable()) run.thread.join();
  if (run.downloading) --active_downloads_;
  run.downloading = false;
  run.download.reset();
  if (is_final(record->phase)) {
    if (!settings_.retain_documents) journal_.remove_document(job_id);
    return;
  }
  if (generation != run.generation || record->phase != JobPhase::downloading) return;
  switch (result.kind) {
    case DownloadResult::Kind::ok:
      logger_.info("Print job %s: document downloaded", job_id);
      run.attempts = 0;
      run.waiting_since.reset();
      run.verify = false;
      set_phase(*record, JobPhase::downloaded, "");
      return;
    case DownloadResult::Kind::cancelled:
      return;
    case DownloadResult::Kind::transient:
    case DownloadResult::Kind::disk: {
      // A passing outage: the job waits, said so in its status, and is
      // fetched again until the window since its first failure is over.
      const auto& timings = settings_.timings;
      const auto now = std::chrono::steady_clock::now();
      if (!run.waiting_since) run.waiting_since = now;
      const auto left =
          timings.retry_window -
          std::chrono::duration_cast<PrintingTimings::Duration>(now - *run.waiting_since);
      if (left > PrintingTimings::Duration{0}) {
        const auto wait =
            retry_delay(timings, run.attempts++, result.retry_after,
                        std::uniform_real_distribution<double>(0.0, 1.0)(random_), left);
        run.last_failure = result.reason;
        logger_.warning("Print job %s: %s; trying again in %s", job_id, result.reason,
                        wait_text(wait));
        set_reason(*record, "waiting: " + result.reason + "; next try in " + wait_text(wait));
        host_.schedule(RETRY, Retry{job_id, run.generation},
                       std::chrono::duration<double>(wait).count());
        return;
      }
      const std::string reason =
          timings.retry_window > PrintingTimings::Duration{0}
              ? result.reason + " (tried for " + wait_text(timings.retry_window) + ")"
              : result.reason;
      logger_.warning("Print job %s: %s", job_id, reason);
      return finish(*record, JobPhase::failed, reason);
    }
    default:
      break;
  }
  logger_.warning("Print job %s: %s", job_id, result.reason);
  finish(*record, JobPhase::failed, result.reason);
}

void JobLifecycle::retry(const std::string& job_id, int generation) {
  JobRecord* record = job(job_id);
  if (!record) return;
  Run& run = runs_[job_id];
  if (record->phase != JobPhase::downloading || run.downloading || generation != run.generation ||
      record->cancel_requested) {
    return;
  }
  start_download(*record, run);
}

void JobLifecycle::start_verify(JobRecord& record, Run& run) {
  if (run.thread.joinable()) run.thread.join();
  run.waiting = Run::Waiting::verify;
  run.thread =
      start_thread([mailbox = host_.mailbox(), path = journal_.document_path(record.offer.job_id),
                    sha256 = record.offer.sha256, job_id = record.offer.job_id] {
        mailbox.send(VERIFY_DONE, VerifyDone{job_id, file_sha256(path) == sha256});
      });
}

void JobLifecycle::verify_done(const std::string& job_id, bool ok) {
  JobRecord* record = job(job_id);
  if (!record) return;
  Run& run = runs_[job_id];
  if (run.thread.joinable()) run.thread.join();
  run.answered(Run::Waiting::verify);
  if (record->phase != JobPhase::downloaded) return;
  run.verify = false;
  if (!ok) {
    logger_.warning("Print job %s: the document on disk is not the offer's; fetching it again",
                    job_id);
    journal_.remove_document(job_id);
    set_phase(*record, JobPhase::received, "");
  }
}

void JobLifecycle::submit(JobRecord& record, Run& run) {
  // Checked again: the configuration may have changed since the offer came.
  DocumentFormat format = document_format(record.offer.content_type, settings_.allow_raw_formats);
  if (!format.refused.empty()) return finish(record, JobPhase::failed, std::move(format.refused));
  // Recorded before the printing system is asked: after a crash from here
  // on, the job is looked for by its name before it is printed again.
  if (!set_phase(record, JobPhase::submitting, "")) return;
  run.waiting = Run::Waiting::submit;
  SubmitRequest request;
  request.printer = record.offer.printer;
  request.job_name = printer_job_name(record.offer.job_id);
  request.title = record.offer.title;
  request.document_format = std::move(format.format);
  request.document = journal_.document_path(record.offer.job_id);
  request.copies = record.offer.copies;
  request.options = record.offer.options;
  worker().submit(record.offer.job_id, std::move(request));
}

void JobLifecycle::job_created(const JobCreated& created) {
  JobRecord* record = job(created.job_id);
  if (!record || record->phase != JobPhase::submitting) return;
  record->printer_job_id = created.created.id;
  record->printer_job_uuid = created.created.uuid;
  record->subscription = created.created.subscription;
  set_phase(*record, JobPhase::submitting, "");
}

void JobLifecycle::job_submitted(const JobSubmitted& submitted) {
  JobRecord* record = job(submitted.job_id);
  if (!record || record->phase != JobPhase::submitting) return;
  Run& run = runs_[submitted.job_id];
  run.answered(Run::Waiting::submit);
  if (submitted.printer_job_id > 0) record->printer_job_id = submitted.printer_job_id;
  using Kind = SystemError::Kind;
  const SystemError& error = submitted.error;
  if (!error) {
    logger_.info("Print job %s: printer job %d", submitted.job_id, submitted.printer_job_id);
    run.watch = Run::Watch::none;
    if (record->cancel_requested) {
      // Held, never let go: cancelled where it is.
      set_phase(*record, JobPhase::printing, "");
      return;
    }
    // Recorded on the disk before the job is let go: from here on the job
    // is never submitted again, whatever happens.
    if (!set_phase(*record, JobPhase::releasing, "")) {
      worker().cancel(submitted.job_id, identity(*record), false);
      return;
    }
    run.waiting = Run::Waiting::release;
    worker().release(submitted.job_id, identity(*record));
    return;
  }
  switch (error.kind) {
    case Kind::unreachable:
    case Kind::stopped:
      if (record->cancel_requested && error.kind == Kind::stopped) {
        if (!record->printer_job_id) return finish(*record, JobPhase::cancelled, "");
        // The incomplete job in the printing system is cancelled and followed.
        set_phase(*record, JobPhase::printing, "");
        run.watch = Run::Watch::none;
        return;
      }
      // Whether it got there is found out by name once the system answers.
      // A job made for this try was never released, and the submission
      // cancels it when it can: noted, so that it is never taken for the job.
      if (record->printer_job_id) {
        withdraw(*record, *record->printer_job_id);
        try {
          journal_.save(*record, Durability::synced);
        } catch (const std::exception& e) {
          logger_.error("Print job %s cannot be recorded: %s", record->offer.job_id, e.what());
        }
      }
      return set_reason(*record, "waiting for the printing system: " + error.text);
    case Kind::no_printer:
      return finish(*record, JobPhase::failed,
                    "no printer named " + record->offer.printer + " on this computer");
    case Kind::not_accepting:
      return finish(*record, JobPhase::failed,
                    "printer " + record->offer.printer + " is not accepting jobs");
    case Kind::document:
      return finish(*record, JobPhase::failed,
                    "cannot read the downloaded document: " + error.text);
    default:
      return finish(*record, JobPhase::failed,
                    "the printing system refused the job: " + error.text);
  }
}

void JobLifecycle::jobs_found(const JobsFound& found) {
  JobRecord* record = job(found.job_id);
  Run& run = runs_[found.job_id];
  run.answered(Run::Waiting::find);
  if (!record || record->phase != JobPhase::submitting || run.submitting()) return;
  if (found.error)
    return set_reason(*record, "waiting for the printing system: " + found.error.text);
  // The journal never said "releasing": jobs made for this one were held
  // and never let go, unless a person released one or an earlier version
  // made it unheld. Judged by state and reasons: a job that the printer
  // started, that finished printing or that waits unheld is the job itself;
  // a held one (its document whole or still incoming) never printed and is
  // cancelled, and one cancelled or aborted before the printer started never
  // printed either.
  const SystemJob* adopt = nullptr;
  std::vector<const SystemJob*> leftovers;
  for (const SystemJob& candidate : found.jobs) {
    using State = SystemJob::State;
    // Made for an earlier try and given up by this client while it was held
    // (in this run or an earlier one): it never printed, whatever the
    // scheduler now says of its processing. Cancelled if it is not over yet.
    if (std::find(record->withdrawn.begin(), record->withdrawn.end(), candidate.id) !=
        record->withdrawn.end()) {
      if (!is_final(candidate.state)) leftovers.push_back(&candidate);
      continue;
    }
    const bool printed_or_may =
        candidate.state == State::completed || candidate.processing_at > 0 ||
        candidate.has_reason("processing-to-stop-point") || candidate.state == State::processing ||
        candidate.state == State::stopped ||
        (candidate.state == State::pending && !candidate.has_reason("job-incoming"));
    if (printed_or_may) {
      if (!adopt) adopt = &candidate;
    } else if (!is_final(candidate.state)) {
      leftovers.push_back(&candidate);
    }
  }
  if (adopt) {
    logger_.info("Print job %s: found in the printing system as job %d", found.job_id, adopt->id);
    record->printer_job_id = adopt->id;
    record->printer_job_uuid = adopt->uuid;
    run.watch = Run::Watch::none;
    set_phase(*record, JobPhase::printing, "");
    for (const SystemJob* leftover : leftovers) {
      worker().cancel(found.job_id, {leftover->id, leftover->name, leftover->uuid}, false);
    }
    return;
  }
  if (!leftovers.empty()) {
    // Cancelled, then looked for again: a new copy goes only once every
    // held one is confirmed cancelled. Each is recorded on the disk before
    // it is cancelled: once cancelled, the scheduler may report a time at
    // processing for it, and after a crash it must not be taken for the job.
    JobRecord noted = *record;
    for (const SystemJob* leftover : leftovers) withdraw(noted, leftover->id);
    run.waiting = Run::Waiting::find;
    host_.schedule(FIND_AGAIN, found.job_id, 0.2);
    try {
      journal_.save(noted, Durability::synced);
    } catch (const std::exception& e) {
      return set_reason(*record, std::string("waiting to record the job: ") + e.what());
    }
    *record = std::move(noted);
    for (const SystemJob* leftover : leftovers) {
      logger_.info("Print job %s: cancelling job %d, held and never released by an earlier try",
                   found.job_id, leftover->id);
      worker().cancel(found.job_id, {leftover->id, leftover->name, leftover->uuid}, false);
    }
    set_reason(*record, "waiting for the printing system to cancel an earlier try");
    return;
  }
  if (record->cancel_requested) return finish(*record, JobPhase::cancelled, "");
  // Not there: printed from the document (checked first when it was found
  // on disk at start).
  record->printer_job_id.reset();
  set_phase(*record, JobPhase::downloaded, "");
}

void JobLifecycle::withdraw(JobRecord& record, std::int64_t printer_job_id) {
  auto& ids = record.withdrawn;
  if (std::find(ids.begin(), ids.end(), printer_job_id) != ids.end()) return;
  ids.push_back(printer_job_id);
  if (ids.size() > JobRecord::MAX_WITHDRAWN) ids.erase(ids.begin());
}

void JobLifecycle::job_polled(const JobPolled& polled) {
  JobRecord* record = job(polled.job_id);
  if (!record || !record->printer_job_id || *record->printer_job_id != polled.printer_job_id ||
      record->phase != JobPhase::printing) {
    return;
  }
  Run& run = runs_[polled.job_id];
  if (polled.error) {
    if (polled.error.kind == SystemError::Kind::not_found) {
      logger_.info("Print job %s: the printing system no longer lists job %d (%s)", polled.job_id,
                   polled.printer_job_id, polled.error.text);
      return vanished(*record, run);
    }
    return set_reason(*record, "waiting for the printing system: " + polled.error.text);
  }
  run.system_job = polled.job;
  switch (polled.job.state) {
    case SystemJob::State::completed:
      return finish(*record, JobPhase::completed, "");
    case SystemJob::State::canceled:
      return finish(*record, JobPhase::cancelled,
                    record->cancel_requested ? "" : "cancelled in the printing system");
    case SystemJob::State::aborted:
      return finish(*record, JobPhase::failed,
                    "the printing system gave up the job" +
                        (polled.job.message.empty() ? std::string() : ": " + polled.job.message));
    default:
      return set_reason(*record, printing_reason(*record, polled.job));
  }
}

std::string JobLifecycle::printing_reason(const JobRecord& record, const SystemJob& job) const {
  if (is_final(job.state)) return record.reason;
  const Printer* printer = find_printer(system_printers_, record.offer.printer);
  if (job.state == SystemJob::State::held) {
    return "held by the printing system" +
           (job.reasons.empty() ? "" : " (" + joined(job.reasons) + ")");
  }
  if (job.state == SystemJob::State::stopped) return "stopped by the printing system";
  if (printer && printer->state == PrinterState::stopped &&
      job.state == SystemJob::State::pending) {
    return "waiting: printer " + printer->name + " is stopped" +
           (printer->state_reasons.empty() ? "" : " (" + joined(printer->state_reasons) + ")");
  }
  if (record.cancel_requested) return "cancelling";
  return "";
}

bool JobLifecycle::set_phase(JobRecord& record, JobPhase phase, std::string reason) {
  const JobRecord before = record;
  record.phase = phase;
  record.reason = std::move(reason);
  record.updated_at = now_seconds();
  // The job's word that it is let go, on the disk before it is: its phase
  // file (one synced byte) when it has one, else its record, synced.
  const bool marked = phase == JobPhase::releasing && before.phase != phase &&
                      journal_.mark_releasing(record.offer.job_id);
  try {
    // Before the printing system is asked, the record must survive anything:
    // after a crash it says the job is to be looked for there first.
    const bool must_last =
        (phase == JobPhase::submitting || phase == JobPhase::releasing) && before.phase != phase;
    if (phase == JobPhase::submitting && must_last) {
      try {
        journal_.prepare_release_mark(record.offer.job_id);
      } catch (const std::exception& e) {
        // Its release is then recorded by a synced record.
        logger_.warning("Print job %s: no phase file: %s", record.offer.job_id, e.what());
      }
    }
    journal_.save(record, must_last && !marked ? Durability::synced : Durability::handed_over);
  } catch (const std::exception& e) {
    logger_.error("Print job %s cannot be recorded: %s", record.offer.job_id, e.what());
    if (!is_final(phase) &&
        (before.phase < JobPhase::submitting || (phase == JobPhase::releasing && !marked))) {
      // Without its record the job could print twice: it is not printed
      // (a held one is cancelled by the caller).
      record.phase = JobPhase::failed;
      record.reason = std::string("cannot record the job: ") + e.what();
      journal_.remove_document(record.offer.job_id);
      report(record);
      return false;
    }
  }
  if (before.phase != record.phase) {
    logger_.info("Print job %s: %s", record.offer.job_id, printing::name(record.phase));
  }
  report(record);
  return true;
}

void JobLifecycle::set_reason(JobRecord& record, std::string reason) {
  if (record.reason == reason) return;
  record.reason = std::move(reason);
  record.updated_at = now_seconds();
  report(record);
}

void JobLifecycle::finish(JobRecord& record, JobPhase phase, std::string reason) {
  Run& run = runs_[record.offer.job_id];
  if (system_.worker && run.watch != Run::Watch::none) worker().unfollow(record.offer.job_id);
  run.watch = Run::Watch::none;
  if (!reason.empty()) {
    logger_.info("Print job %s ends %s: %s", record.offer.job_id, printing::name(phase), reason);
  }
  // The events are ended only once the end is recorded: a crash in between
  // must find them again.
  const std::int64_t subscription = std::exchange(record.subscription, 0);
  set_phase(record, phase, std::move(reason));
  if (system_.worker && subscription) worker().unsubscribe(subscription);
  if (!settings_.retain_documents && !run.downloading) {
    journal_.remove_document(record.offer.job_id);
  }
  prune();
}

void JobLifecycle::prune() {
  const std::size_t before = jobs_.size();
  journal_.prune(jobs_);
  if (jobs_.size() == before) return;
  std::erase_if(order_, [&](const std::string& id) { return !jobs_.contains(id); });
  std::erase_if(runs_, [&](const auto& entry) {
    return !jobs_.contains(entry.first) && !entry.second.thread.joinable();
  });
}

void JobLifecycle::report(const JobRecord& record) {
  Run& run = runs_[record.offer.job_id];
  nlohmann::json status = record.status_payload();
  if (!host_.link_ready()) {
    run.reported = false;
    return;
  }
  if (run.reported && run.last_sent == status) return;
  host_.send_status(status);
  run.last_sent = std::move(status);
  run.reported = true;
}

}  // namespace quillpost::printing
