// The printing system's thread: it opens the libcups module, owns the one
// PrintSystem (libcups keeps its state per thread), runs what the printing
// agent asks of it one request at a time, and polls the printers and the jobs
// it follows. What it learns goes to the agent's mailbox:
//
//   PRINTERS_POLLED  PrintersReport  on a change, on an outage and when asked
//   JOB_CREATED      JobCreated      the printing system made a job
//   JOB_SUBMITTED    JobSubmitted    a submission ended, well or not
//   JOB_POLLED       JobPolled       a followed job changed (or cannot be read)
//   JOBS_FOUND       JobsFound       the jobs found by name
//   SYSTEM_UNUSABLE  std::string     the module cannot be opened (the thread ends)
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/runtime/printing/print_system.h"

namespace quillpost::printing {

inline constexpr std::string_view PRINTERS_POLLED = "printing_printers_polled";
inline constexpr std::string_view JOB_CREATED = "printing_job_created";
inline constexpr std::string_view JOB_SUBMITTED = "printing_job_submitted";
inline constexpr std::string_view JOB_POLLED = "printing_job_polled";
inline constexpr std::string_view JOBS_FOUND = "printing_jobs_found";
inline constexpr std::string_view SYSTEM_UNUSABLE = "printing_system_unusable";

struct PrintersReport {
  SystemError error;  // set: the list could not be read (it is then empty)
  std::vector<Printer> printers;
};
struct JobCreated {
  std::string job_id;
  std::int64_t printer_job_id = 0;
};
struct JobSubmitted {
  std::string job_id;
  std::int64_t printer_job_id = 0;  // 0: no job was made
  SystemError error;
};
struct JobPolled {
  std::string job_id;
  std::int64_t printer_job_id = 0;
  SystemError error;
  SystemJob job;
};
struct JobsFound {
  std::string job_id;
  SystemError error;
  std::vector<SystemJob> jobs;
};

struct WorkerTimings {
  double printer_poll = 2.0;  // seconds between printer list polls
  // A followed job is polled soon after it changed (first_job_poll), then
  // less and less often, twice the wait each time, up to job_poll: a job is
  // seen to end within a fraction of its time, and a long one costs little.
  double first_job_poll = 0.01;
  double job_poll = 1.0;
};

class PrintWorker {
 public:
  // Makes the PrintSystem on the new thread; tests hand in their own maker
  // (the default opens the libcups module).
  using Maker =
      std::function<std::unique_ptr<PrintSystem>(const PrintSystemSettings&, std::string& error)>;

  PrintWorker(agent::Mailbox mailbox, PrintSystemSettings settings, WorkerTimings timings,
              Maker maker = {});
  // Stops the thread: a submission under way is given up (its job stays in
  // the printing system, incomplete, to be found again at the next start).
  ~PrintWorker();
  PrintWorker(const PrintWorker&) = delete;
  PrintWorker& operator=(const PrintWorker&) = delete;

  void submit(std::string job_id, SubmitRequest request);
  // Ends the submission of `job_id`, whether it waits or runs; JOB_SUBMITTED
  // then reports Kind::stopped (or its real end when that came first).
  void stop_submission(const std::string& job_id);
  // Polls the job until it is final; reports every change.
  void follow(std::string job_id, std::int64_t printer_job_id);
  void unfollow(std::string job_id);
  // Cancels the job in the printing system; with `follow`, follows it as
  // `job_id` and polls it at once.
  void cancel(std::string job_id, std::int64_t printer_job_id, bool follow = true);
  void find(std::string job_id, std::string job_name);
  // A printer poll now, reported even when nothing changed.
  void poll_printers();

  // The module that opens the printing system through libcups.
  static std::unique_ptr<PrintSystem> open_module(const PrintSystemSettings& settings,
                                                  std::string& error);

 private:
  using Task = std::function<void(PrintSystem&)>;
  struct Followed {
    std::int64_t printer_job_id = 0;
    std::optional<JobPolled> last;
    std::chrono::steady_clock::time_point next_poll;
    double wait = 0;  // seconds to the next poll
  };

  void run();
  void enqueue(std::string job_id, Task task);
  void poll_job(PrintSystem& system, const std::string& job_id, Followed& followed, bool always);
  Followed new_followed(std::int64_t printer_job_id) const;

  agent::Mailbox mailbox_;
  PrintSystemSettings settings_;
  WorkerTimings timings_;
  Maker maker_;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool printers_asked_ = false;
  std::deque<std::pair<std::string, Task>> tasks_;  // (job id or "", task)
  std::string submitting_;                          // the job being submitted
  std::atomic<bool> stop_submit_{false};
  std::map<std::string, Followed> followed_;  // the worker thread's own

  std::thread thread_;
};

}  // namespace quillpost::printing
