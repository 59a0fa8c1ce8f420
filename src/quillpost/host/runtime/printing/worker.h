// The printing system's threads: the control thread opens the libcups module,
// owns a PrintSystem (libcups keeps its state per thread), runs what the
// printing agent asks of it one request at a time, and polls the printers and
// the jobs it follows. Documents go to the printing system on an upload
// thread of their own, with a PrintSystem (and so a connection) of its own,
// started at the first submission: a 2 GiB upload holds up neither the polls
// nor another job's cancel. What they learn goes to the agent's mailbox:
//
//   PRINTERS_POLLED  PrintersReport  on a change, on an outage and when asked
//   JOB_CREATED      JobCreated      the printing system made a job (held)
//   JOB_SUBMITTED    JobSubmitted    a submission ended, well or not
//   JOB_RELEASED     JobReleased     a held job was let go (or is gone)
//   JOB_OUTCOME      JobOutcomeRead  what a vanished job's events say of its end
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
inline constexpr std::string_view JOB_RELEASED = "printing_job_released";
inline constexpr std::string_view JOB_OUTCOME = "printing_job_outcome";
inline constexpr std::string_view SYSTEM_UNUSABLE = "printing_system_unusable";

struct PrintersReport {
  SystemError error;  // set: the list could not be read (it is then empty)
  std::vector<Printer> printers;
};
struct JobCreated {
  std::string job_id;
  CreatedJob created;
};
// Which job of the printing system is ours: its id, and the name and
// job-uuid it was made with (a scheduler reset reuses ids).
struct JobIdentity {
  std::int64_t id = 0;
  std::string name;
  std::string uuid;  // empty: not known (checked by name only)
  bool matches(const SystemJob& job) const;
};
struct JobReleased {
  std::string job_id;
  std::int64_t printer_job_id = 0;
  SystemError error;  // Kind::not_found: the job is gone (or its id names another job)
};
struct JobOutcomeRead {
  std::string job_id;
  SystemError error;
  JobOutcome outcome;
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
  using Duration = std::chrono::milliseconds;
  Duration printer_poll{2000};  // between printer list polls
  // A followed job is polled soon after it changed (first_job_poll), then
  // less and less often, each wait a quarter longer than the one before, up
  // to job_poll. A job is seen to end within about a fifth of its time: a
  // small raw job ends 10-25 ms after its release, and with waits that
  // doubled it was seen only at 18 or 34 ms. A long job costs little more (its
  // waits reach job_poll after about 30 polls, 5 s), and one Get-Jobs serves
  // every followed job, so jobs that wait still cost one request a job_poll.
  Duration first_job_poll{2};
  Duration job_poll{1000};
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
  // Releases the held job after checking that its id still names it.
  void release(std::string job_id, JobIdentity identity);
  // Reads the end of a job that the printing system no longer lists from
  // its subscription's events.
  void read_outcome(std::string job_id, std::int64_t subscription, std::int64_t printer_job_id);
  void unsubscribe(std::int64_t subscription);
  // Polls the job until it is final; reports every change. A job whose id
  // names another job now is reported as not found.
  void follow(std::string job_id, JobIdentity identity);
  void unfollow(std::string job_id);
  // Cancels the job in the printing system (when its id still names it);
  // with `follow`, follows it as `job_id` and polls it at once.
  void cancel(std::string job_id, JobIdentity identity, bool follow = true);
  void find(std::string job_id, std::string job_name);
  // A printer poll now, reported even when nothing changed.
  void poll_printers();

  // The module that opens the printing system through libcups.
  static std::unique_ptr<PrintSystem> open_module(const PrintSystemSettings& settings,
                                                  std::string& error);

 private:
  using Task = std::function<void(PrintSystem&)>;
  struct Followed {
    JobIdentity identity;
    std::optional<JobPolled> last;
    std::chrono::steady_clock::time_point next_poll;
    WorkerTimings::Duration wait{0};  // to the next poll
  };

  void run();
  // The upload thread: submissions, one at a time.
  void run_uploads();
  void enqueue(Task task);
  using Clock = std::chrono::steady_clock;
  void poll_job(PrintSystem& system, const std::string& job_id, Followed& followed, bool always);
  // Polls the followed jobs when one is due.
  void poll_jobs(PrintSystem& system, Clock::time_point now);
  // Reports `polled` when it differs from the last poll (or `always`), and
  // sets the next poll.
  void take_poll(Followed& followed, JobPolled polled, bool always);
  Followed new_followed(JobIdentity identity) const;

  agent::Mailbox mailbox_;
  PrintSystemSettings settings_;
  WorkerTimings timings_;
  Maker maker_;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool printers_asked_ = false;
  std::deque<Task> tasks_;                            // the control thread's
  std::deque<std::pair<std::string, Task>> uploads_;  // (job id, submission)
  std::string submitting_;                            // the job being submitted
  std::atomic<bool> stop_submit_{false};
  std::map<std::string, Followed> followed_;  // the control thread's own

  std::thread thread_;
  std::thread upload_thread_;  // started at the first submission
};

}  // namespace quillpost::printing
