// A printing system in memory for the printing agent's tests: one printer
// ("Desk"), jobs that a test moves from state to state, a scheduler that can
// forget finished jobs, stop answering or reuse job ids, and a count of what
// was asked of it. The agent reaches it through its worker's maker, so the
// whole job lifecycle runs on any machine, without a scheduler.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "quillpost/host/runtime/printing/print_system.h"

namespace quillpost::printing::test {

struct FakeJob {
  SystemJob job;
  bool held = false;            // held for release (the client's own hold)
  bool document_whole = false;  // the document arrived whole
  std::int64_t subscription = 0;
};

// The state shared by the test and the worker thread's FakePrintSystem.
class FakeScheduler {
 public:
  using Lock = std::unique_lock<std::mutex>;

  // Every job ever made, by id (the printing system's own view).
  std::map<std::int64_t, FakeJob> jobs;
  // Ids of jobs the scheduler has forgotten (no longer listed or found).
  std::map<std::int64_t, bool> forgotten;
  // Final states the job subscriptions recorded, by subscription; a
  // subscription missing here (or dropped) knows nothing.
  std::map<std::int64_t, JobOutcome> events;
  std::int64_t next_id = 1;
  std::int64_t next_subscription = 100;
  bool reachable = true;
  // Released jobs complete at once (and are forgotten with `forget_finished`).
  bool complete_on_release = true;
  bool forget_finished = false;
  // Called (under the lock) once the document is whole, before `submit`
  // returns: a test's moment to break the submission.
  std::function<SystemError(FakeJob&)> after_document;
  // Called without the lock while the document goes: a test's slow upload.
  std::function<void()> uploading;
  // Called (under the lock) when a held job is released.
  std::function<void(FakeJob&)> on_release;
  // Counts of requests.
  int submits = 0, releases = 0, polls = 0, lists = 0, finds = 0, cancels = 0, unsubscribes = 0,
      printer_lists = 0;
  std::vector<std::int64_t> printed;  // jobs that reached the printer, in order

  Lock lock() { return Lock(mutex_); }
  void changed() { changed_.notify_all(); }
  // Waits until `ready` holds (called under the lock); false after `limit`.
  bool wait(const std::function<bool()>& ready,
            std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    Lock l(mutex_);
    return changed_.wait_for(l, limit, ready);
  }

  // A job in the given state as an earlier run left it, named for `job_id`.
  std::int64_t add_job(const std::string& job_name, SystemJob::State state,
                       std::vector<std::string> reasons = {}, std::int64_t processing_at = 0) {
    Lock l(mutex_);
    FakeJob fake;
    fake.job.id = next_id++;
    fake.job.name = job_name;
    fake.job.uuid = "urn:uuid:fake-" + std::to_string(fake.job.id);
    fake.job.state = state;
    fake.job.reasons = std::move(reasons);
    fake.job.processing_at = processing_at;
    fake.held = state == SystemJob::State::held;
    fake.document_whole = true;
    jobs[fake.job.id] = fake;
    return fake.job.id;
  }
  // Ends a job as the printer or a person would, recording its event.
  void finish(std::int64_t id, SystemJob::State state) {
    Lock l(mutex_);
    finish_locked(jobs.at(id), state);
  }
  void finish_locked(FakeJob& fake, SystemJob::State state) {
    fake.job.state = state;
    fake.held = false;
    if (state == SystemJob::State::completed) printed.push_back(fake.job.id);
    if (fake.subscription) events[fake.subscription] = JobOutcome{true, state, ""};
    if (forget_finished) forgotten[fake.job.id] = true;
    changed_.notify_all();
  }
  bool listed(std::int64_t id) const { return jobs.contains(id) && !forgotten.contains(id); }
  int printed_count(const std::string& job_name) const {
    int n = 0;
    for (const std::int64_t id : printed) n += jobs.at(id).job.name == job_name;
    return n;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
};

class FakePrintSystem final : public PrintSystem {
 public:
  explicit FakePrintSystem(std::shared_ptr<FakeScheduler> scheduler)
      : scheduler_(std::move(scheduler)) {}

  SystemError printers(std::vector<Printer>& out) override {
    auto l = scheduler_->lock();
    ++scheduler_->printer_lists;
    if (!scheduler_->reachable) return down();
    Printer desk;
    desk.name = "Desk";
    desk.accepting_jobs = true;
    out = {desk};
    return {};
  }

  SystemError submit(const SubmitRequest& request,
                     const std::function<void(const CreatedJob&)>& created,
                     const std::atomic<bool>& /*stop*/, std::int64_t& job_id) override {
    auto l = scheduler_->lock();
    ++scheduler_->submits;
    if (!scheduler_->reachable) return down();
    if (request.printer != "Desk") return {SystemError::Kind::no_printer, "no such printer"};
    FakeJob fake;
    fake.job.id = job_id = scheduler_->next_id++;
    fake.job.name = request.job_name;
    fake.job.uuid = "urn:uuid:fake-" + std::to_string(fake.job.id);
    fake.job.state = SystemJob::State::held;
    fake.job.reasons = {"job-incoming"};
    fake.held = true;
    fake.subscription = scheduler_->next_subscription++;
    auto& stored = scheduler_->jobs[fake.job.id] = fake;
    const CreatedJob made{fake.job.id, fake.job.uuid, fake.subscription};
    const auto uploading = scheduler_->uploading;
    l.unlock();
    created(made);
    if (uploading) uploading();
    l.lock();
    stored.document_whole = true;
    stored.job.reasons = {"job-hold-until-specified"};
    SystemError error;
    if (scheduler_->after_document) error = scheduler_->after_document(stored);
    scheduler_->changed();
    return error;
  }

  SystemError release(std::int64_t job_id) override {
    auto l = scheduler_->lock();
    ++scheduler_->releases;
    if (!scheduler_->reachable) return down();
    if (!scheduler_->listed(job_id)) return {SystemError::Kind::not_found, "no such job"};
    FakeJob& fake = scheduler_->jobs.at(job_id);
    if (!fake.held) return {};
    if (scheduler_->on_release) scheduler_->on_release(fake);
    fake.held = false;
    fake.job.state = SystemJob::State::pending;
    fake.job.reasons.clear();
    if (scheduler_->complete_on_release) {
      scheduler_->finish_locked(fake, SystemJob::State::completed);
    }
    scheduler_->changed();
    return {};
  }

  SystemError job(std::int64_t job_id, SystemJob& out) override {
    auto l = scheduler_->lock();
    ++scheduler_->polls;
    if (!scheduler_->reachable) return down();
    if (!scheduler_->listed(job_id)) return {SystemError::Kind::not_found, "no such job"};
    out = scheduler_->jobs.at(job_id).job;
    return {};
  }

  SystemError active_jobs(std::vector<SystemJob>& out) override {
    auto l = scheduler_->lock();
    ++scheduler_->lists;
    if (!scheduler_->reachable) return down();
    out.clear();
    for (const auto& [id, fake] : scheduler_->jobs) {
      if (scheduler_->listed(id) && !is_final(fake.job.state)) out.push_back(fake.job);
    }
    return {};
  }

  SystemError find_jobs(const std::string& job_name, std::vector<SystemJob>& out) override {
    auto l = scheduler_->lock();
    ++scheduler_->finds;
    if (!scheduler_->reachable) return down();
    out.clear();
    for (auto it = scheduler_->jobs.rbegin(); it != scheduler_->jobs.rend(); ++it) {
      if (scheduler_->listed(it->first) && it->second.job.name == job_name) {
        out.push_back(it->second.job);
      }
    }
    return {};
  }

  SystemError outcome(std::int64_t subscription, std::int64_t /*job_id*/,
                      JobOutcome& out) override {
    auto l = scheduler_->lock();
    if (!scheduler_->reachable) return down();
    const auto it = scheduler_->events.find(subscription);
    if (it == scheduler_->events.end()) return {SystemError::Kind::not_found, "no subscription"};
    out = it->second;
    return {};
  }

  void unsubscribe(std::int64_t subscription) override {
    auto l = scheduler_->lock();
    scheduler_->events.erase(subscription);
    ++scheduler_->unsubscribes;
  }

  SystemError cancel(std::int64_t job_id) override {
    auto l = scheduler_->lock();
    ++scheduler_->cancels;
    if (!scheduler_->reachable) return down();
    if (!scheduler_->listed(job_id)) return {SystemError::Kind::not_found, "no such job"};
    FakeJob& fake = scheduler_->jobs.at(job_id);
    // A held job, once cancelled, may report a time at processing: the
    // scheduler moves it through processing to cancel it.
    if (fake.held) fake.job.processing_at = 1700000001;
    if (!is_final(fake.job.state)) scheduler_->finish_locked(fake, SystemJob::State::canceled);
    return {};
  }

 private:
  static SystemError down() { return {SystemError::Kind::unreachable, "the fake is down"}; }

  std::shared_ptr<FakeScheduler> scheduler_;
};

}  // namespace quillpost::printing::test
