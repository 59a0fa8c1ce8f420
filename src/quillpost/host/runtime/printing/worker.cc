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

Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

bool same(const SystemError& a, const SystemError& b) {
  return a.kind == b.kind && a.text == b.text;
}

}  // namespace

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

void PrintWorker::enqueue(std::string job_id, Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.emplace_back(std::move(job_id), std::move(task));
  }
  wake_.notify_all();
}

void PrintWorker::submit(std::string job_id, SubmitRequest request) {
  enqueue(job_id, [this, job_id, request = std::move(request)](PrintSystem& system) {
    const agent::Mailbox mailbox = mailbox_;
    std::int64_t printer_job_id = 0;
    const SystemError error = system.submit(
        request,
        [&](std::int64_t id) {
          mailbox.send(JOB_CREATED, JobCreated{job_id, id});
        },
        stop_submit_, printer_job_id);
    mailbox.send(JOB_SUBMITTED, JobSubmitted{job_id, printer_job_id, error});
  });
}

void PrintWorker::stop_submission(const std::string& job_id) {
  std::lock_guard lock(mutex_);
  if (submitting_ == job_id) stop_submit_.store(true);
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    if (it->first == job_id) {
      // Never started: reported as stopped with no job made.
      mailbox_.send(JOB_SUBMITTED,
                    JobSubmitted{job_id, 0, {SystemError::Kind::stopped, "stopped"}});
      it = tasks_.erase(it);
    } else {
      ++it;
    }
  }
}

void PrintWorker::follow(std::string job_id, std::int64_t printer_job_id) {
  enqueue("", [this, job_id, printer_job_id](PrintSystem& /*system*/) {
    followed_[job_id] = new_followed(printer_job_id);
  });
}

void PrintWorker::unfollow(std::string job_id) {
  enqueue("", [this, job_id](PrintSystem& /*system*/) { followed_.erase(job_id); });
}

void PrintWorker::cancel(std::string job_id, std::int64_t printer_job_id, bool follow) {
  enqueue("", [this, job_id, printer_job_id, follow](PrintSystem& system) {
    const SystemError error = system.cancel(printer_job_id);
    if (error && error.kind != SystemError::Kind::not_found) {
      logs::logger("printing")
          .warning("Cancelling printer job %d of %s: %s", printer_job_id, job_id, error.text);
    }
    if (!follow) return;
    auto& followed = followed_[job_id] = new_followed(printer_job_id);
    poll_job(system, job_id, followed, true);
  });
}

void PrintWorker::find(std::string job_id, std::string job_name) {
  enqueue("", [this, job_id, job_name](PrintSystem& system) {
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

PrintWorker::Followed PrintWorker::new_followed(std::int64_t printer_job_id) const {
  Followed followed;
  followed.printer_job_id = printer_job_id;
  followed.wait = timings_.first_job_poll;
  followed.next_poll = Clock::now() + seconds(followed.wait);
  return followed;
}

void PrintWorker::poll_job(PrintSystem& system, const std::string& job_id, Followed& followed,
                           bool always) {
  JobPolled polled{job_id, followed.printer_job_id, {}, {}};
  polled.error = system.job(followed.printer_job_id, polled.job);
  const bool changed = !followed.last || !same(followed.last->error, polled.error) ||
                       followed.last->job != polled.job;
  if (changed || always) mailbox_.send(JOB_POLLED, polled);
  followed.last = std::move(polled);
  followed.wait =
      changed ? timings_.first_job_poll : std::min(followed.wait * 2, timings_.job_poll);
  followed.next_poll = Clock::now() + seconds(followed.wait);
}

void PrintWorker::run() {
  // libcups writes to the scheduler's socket without asking the system to
  // spare the process a SIGPIPE; a scheduler that goes away in the middle of
  // a request would otherwise end the whole program. Blocked on this thread,
  // the signal stays pending here and the write fails with EPIPE instead.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
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
      auto [job_id, task] = std::move(tasks_.front());
      tasks_.pop_front();
      submitting_ = job_id;
      stop_submit_.store(false);
      lock.unlock();
      task(*system);
      lock.lock();
      submitting_.clear();
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
      next_printers = Clock::now() + seconds(timings_.printer_poll);
    }
    for (auto it = followed_.begin(); it != followed_.end();) {
      if (now >= it->second.next_poll) poll_job(*system, it->first, it->second, false);
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
