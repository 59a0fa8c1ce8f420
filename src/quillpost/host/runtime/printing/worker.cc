#include "quillpost/host/runtime/printing/worker.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>

#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/module.h"
#include "quillpost/host/process/threads.h"

namespace quillpost::printing {
namespace {

using Clock = std::chrono::steady_clock;

bool same(const SystemError& a, const SystemError& b) {
  return a.kind == b.kind && a.text == b.text;
}

// The job `identity` names, read now; not_found when its id names another.
SystemError read_job(PrintSystem& system, const JobIdentity& identity, SystemJob& out) {
  SystemError error = system.job(identity.id, out);
  if (!error && !identity.matches(out)) {
    return {SystemError::Kind::not_found,
            "job " + std::to_string(identity.id) + " is another job now"};
  }
  return error;
}

}  // namespace

bool JobIdentity::matches(const SystemJob& job) const {
  return job.name == name && (uuid.empty() || job.uuid.empty() || job.uuid == uuid);
}

PrintWorker::PrintWorker(agent::Mailbox mailbox, PrintSystemSettings settings,
                         WorkerTimings timings, Maker maker)
    : mailbox_(std::move(mailbox)),
      settings_(std::move(settings)),
      timings_(timings),
      maker_(maker ? std::move(maker) : Maker(&PrintWorker::open_module)) {
  thread_ = start_thread([this] { run(); });
}

PrintWorker::~PrintWorker() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    stop_submit_.store(true);
  }
  wake_.notify_all();
  thread_.join();
  if (upload_thread_.joinable()) upload_thread_.join();
}

std::unique_ptr<PrintSystem> PrintWorker::open_module(const PrintSystemSettings& settings,
                                                      std::string& error) {
  try {
    const auto make = module_entry<MakePrintSystem>(kPrintSystemModule, kPrintSystemEntry);
    return std::unique_ptr<PrintSystem>(make(&settings, &error));
  } catch (const ModuleError& e) {
    error = e.what();
    return nullptr;
  }
}

void PrintWorker::enqueue(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_all();
}

void PrintWorker::submit(std::string job_id, SubmitRequest request) {
  Task task = [this, job_id, request = std::move(request)](PrintSystem& system) {
    const agent::Mailbox mailbox = mailbox_;
    std::int64_t printer_job_id = 0;
    const SystemError error = system.submit(
        request,
        [&](const CreatedJob& created) {
          mailbox.send(JOB_CREATED, JobCreated{job_id, created});
        },
        stop_submit_, printer_job_id);
    mailbox.send(JOB_SUBMITTED, JobSubmitted{job_id, printer_job_id, error});
  };
  {
    std::lock_guard lock(mutex_);
    uploads_.emplace_back(std::move(job_id), std::move(task));
    if (!upload_thread_.joinable()) upload_thread_ = start_thread([this] { run_uploads(); });
  }
  wake_.notify_all();
}

void PrintWorker::stop_submission(const std::string& job_id) {
  std::lock_guard lock(mutex_);
  if (submitting_ == job_id) stop_submit_.store(true);
  for (auto it = uploads_.begin(); it != uploads_.end();) {
    if (it->first == job_id) {
      // Never started: reported as stopped with no job made.
      mailbox_.send(JOB_SUBMITTED,
                    JobSubmitted{job_id, 0, {SystemError::Kind::stopped, "stopped"}});
      it = uploads_.erase(it);
    } else {
      ++it;
    }
  }
}

void PrintWorker::release(std::string job_id, JobIdentity identity) {
  enqueue([this, job_id, identity](PrintSystem& system) {
    SystemJob job;
    SystemError error = read_job(system, identity, job);
    if (!error && job.state == SystemJob::State::held) error = system.release(identity.id);
    mailbox_.send(JOB_RELEASED, JobReleased{job_id, identity.id, error});
  });
}

void PrintWorker::read_outcome(std::string job_id, std::int64_t subscription,
                               std::int64_t printer_job_id) {
  enqueue([this, job_id, subscription, printer_job_id](PrintSystem& system) {
    JobOutcomeRead read{job_id, {}, {}};
    read.error = system.outcome(subscription, printer_job_id, read.outcome);
    mailbox_.send(JOB_OUTCOME, std::move(read));
  });
}

void PrintWorker::unsubscribe(std::int64_t subscription) {
  enqueue([subscription](PrintSystem& system) { system.unsubscribe(subscription); });
}

void PrintWorker::follow(std::string job_id, JobIdentity identity) {
  enqueue([this, job_id, identity](PrintSystem& /*system*/) {
    followed_[job_id] = new_followed(identity);
  });
}

void PrintWorker::unfollow(std::string job_id) {
  enqueue([this, job_id](PrintSystem& /*system*/) { followed_.erase(job_id); });
}

void PrintWorker::cancel(std::string job_id, JobIdentity identity, bool follow) {
  enqueue([this, job_id, identity, follow](PrintSystem& system) {
    SystemJob job;
    SystemError error = read_job(system, identity, job);
    if (!error && !is_final(job.state)) error = system.cancel(identity.id);
    if (error && error.kind != SystemError::Kind::not_found) {
      logs::logger("printing")
          .warning("Cancelling printer job %d of %s: %s", identity.id, job_id, error.text);
    }
    if (!follow) return;
    auto& followed = followed_[job_id] = new_followed(identity);
    poll_job(system, job_id, followed, true);
  });
}

void PrintWorker::find(std::string job_id, std::string job_name) {
  enqueue([this, job_id, job_name](PrintSystem& system) {
    JobsFound found{job_id, {}, {}};
    found.error = system.find_jobs(job_name, found.jobs);
    mailbox_.send(JOBS_FOUND, std::move(found));
  });
}

void PrintWorker::poll_printers() {
  {
    std::lock_guard lock(mutex_);
    printers_asked_ = true;
  }
  wake_.notify_all();
}

PrintWorker::Followed PrintWorker::new_followed(JobIdentity identity) const {
  Followed followed;
  followed.identity = std::move(identity);
  followed.wait = timings_.first_job_poll;
  followed.next_poll = Clock::now() + followed.wait;
  return followed;
}

void PrintWorker::poll_job(PrintSystem& system, const std::string& job_id, Followed& followed,
                           bool always) {
  JobPolled polled{job_id, followed.identity.id, {}, {}};
  polled.error = read_job(system, followed.identity, polled.job);
  take_poll(followed, std::move(polled), always);
}

void PrintWorker::take_poll(Followed& followed, JobPolled polled, bool always) {
  const bool changed = !followed.last || !same(followed.last->error, polled.error) ||
                       followed.last->job != polled.job;
  if (changed || always) mailbox_.send(JOB_POLLED, polled);
  followed.last = std::move(polled);
  followed.wait =
      changed ? timings_.first_job_poll
              : std::min(followed.wait + std::max(followed.wait / 4, WorkerTimings::Duration{1}),
                         timings_.job_poll);
  followed.next_poll = Clock::now() + followed.wait;
}

void PrintWorker::poll_jobs(PrintSystem& system, Clock::time_point now) {
  bool due = false;
  for (const auto& [id, followed] : followed_) due = due || now >= followed.next_poll;
  if (!due) return;
  // One list of this user's unfinished jobs serves every followed job, however
  // many wait; one missing from it has ended (or vanished) and is read alone.
  std::vector<SystemJob> active;
  const SystemError error = system.active_jobs(active);
  std::map<std::int64_t, const SystemJob*> listed;
  for (const SystemJob& job : active) listed[job.id] = &job;
  for (auto& [job_id, followed] : followed_) {
    const auto it = listed.find(followed.identity.id);
    if (error) {
      if (now >= followed.next_poll)
        take_poll(followed, {job_id, followed.identity.id, error, {}}, false);
    } else if (it != listed.end() && followed.identity.matches(*it->second)) {
      take_poll(followed, {job_id, followed.identity.id, {}, *it->second}, false);
    } else {
      poll_job(system, job_id, followed, false);
    }
  }
}

namespace {

// libcups writes to the scheduler's socket without asking the system to spare
// the process a SIGPIPE; a scheduler that goes away in the middle of a request
// would otherwise end the whole program. Blocked on the calling thread, the
// signal stays pending there and the write fails with EPIPE instead.
void block_sigpipe() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

}  // namespace

void PrintWorker::run_uploads() {
  block_sigpipe();
  std::string error;
  std::unique_ptr<PrintSystem> system = maker_(settings_, error);
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    wake_.wait(lock, [&] { return stopping_ || !uploads_.empty(); });
    if (stopping_) break;
    auto [job_id, task] = std::move(uploads_.front());
    uploads_.pop_front();
    submitting_ = job_id;
    stop_submit_.store(false);
    lock.unlock();
    if (system) {
      task(*system);
    } else {
      mailbox_.send(JOB_SUBMITTED,
                    JobSubmitted{job_id, 0, {SystemError::Kind::unreachable, error}});
    }
    lock.lock();
    submitting_.clear();
  }
  lock.unlock();
  // Destroyed on this thread, where libcups keeps its state.
  system.reset();
}

void PrintWorker::run() {
  block_sigpipe();
  std::string error;
  std::unique_ptr<PrintSystem> system = maker_(settings_, error);
  if (!system) {
    mailbox_.send(SYSTEM_UNUSABLE, error);
    return;
  }
  std::optional<PrintersReport> last_printers;
  auto next_printers = Clock::now();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    auto wake_at = next_printers;
    for (const auto& [id, followed] : followed_) wake_at = std::min(wake_at, followed.next_poll);
    wake_.wait_until(lock, wake_at,
                     [&] { return stopping_ || !tasks_.empty() || printers_asked_; });
    if (stopping_) break;
    while (!tasks_.empty() && !stopping_) {
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task(*system);
      lock.lock();
    }
    if (stopping_) break;
    const bool asked = printers_asked_;
    printers_asked_ = false;
    lock.unlock();
    const auto now = Clock::now();
    if (asked || now >= next_printers) {
      PrintersReport report;
      report.error = system->printers(report.printers);
      const bool changed = !last_printers || !same(last_printers->error, report.error) ||
                           last_printers->printers != report.printers;
      if (changed || asked) mailbox_.send(PRINTERS_POLLED, report);
      last_printers = std::move(report);
      next_printers = Clock::now() + timings_.printer_poll;
    }
    poll_jobs(*system, now);
    for (auto it = followed_.begin(); it != followed_.end();) {
      const auto& last = it->second.last;
      const bool done = last && !last->error && is_final(last->job.state);
      it = done ? followed_.erase(it) : std::next(it);
    }
    lock.lock();
  }
  lock.unlock();
  // Destroyed on this thread, where libcups keeps its state.
  system.reset();
}

}  // namespace quillpost::printing
