// The printing system as the printing agent's worker uses it. The one
// implementation talks to the system's scheduler through libcups and lives in
// its own module (libquillpost_cups.so, folder cups/), which the worker opens
// only once a scheduler is there to talk to: a computer without a printing
// system never loads libcups and the thirty libraries it brings.
//
// libcups keeps its state per thread: a PrintSystem is made, used and
// destroyed on one thread. Every call is bounded by the settings' time-outs.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillpost/host/process/environment.h"
#include "quillpost/host/runtime/printing/offer.h"
#include "quillpost/host/runtime/printing/printer.h"

namespace quillpost::printing {

// Why a call did not do what was asked.
struct SystemError {
  enum class Kind {
    none,
    unreachable,    // no scheduler answers (not running, hung): try again later
    no_printer,     // the printer does not exist
    not_accepting,  // the printer refuses new jobs
    refused,        // the scheduler refused the request (an attribute, the format)
    document,       // the document could not be read
    stopped,        // the caller asked to stop (cancel or shutdown)
    not_found,      // the job does not exist (any more)
  };
  Kind kind = Kind::none;
  std::string text;  // the scheduler's or the system's words
  explicit operator bool() const { return kind != Kind::none; }
};

// A job in the printing system.
struct SystemJob {
  enum class State { pending, held, processing, stopped, canceled, aborted, completed };
  std::int64_t id = 0;
  std::string name;  // job-name
  std::string uuid;  // job-uuid; empty when the scheduler gives none
  State state = State::pending;
  std::vector<std::string> reasons;  // job-state-reasons, "none" left out
  std::string message;               // job-state-message
  // Documents the scheduler holds for the job. Not a sign of anything: the
  // scheduler drops a job's files when it is done with them.
  std::int64_t documents = 0;
  // When the printer started on the job (time-at-processing); 0: never.
  std::int64_t processing_at = 0;
  bool has_reason(std::string_view reason) const {
    return std::find(reasons.begin(), reasons.end(), reason) != reasons.end();
  }
  bool operator==(const SystemJob&) const = default;
};
// Inline, as everything of this header the module uses: the module is opened
// without the runtime's symbols in reach and links nothing of it.
inline bool is_final(SystemJob::State state) {
  return state == SystemJob::State::canceled || state == SystemJob::State::aborted ||
         state == SystemJob::State::completed;
}

// A job as the printing system made it: its id, its job-uuid and the
// subscription made with it, whose events tell the job's end after the
// scheduler has forgotten the job itself.
struct CreatedJob {
  std::int64_t id = 0;
  std::string uuid;
  std::int64_t subscription = 0;  // 0: none could be made
};

// What the job's notifications say of its end.
struct JobOutcome {
  bool known = false;  // an event gave a final state
  SystemJob::State state = SystemJob::State::completed;
  std::string message;
};

struct SubmitRequest {
  std::string printer;
  std::string job_name;  // printer_job_name(job id)
  std::string title;     // the document's name for people
  std::string document_format;
  std::filesystem::path document;
  std::int64_t copies = 1;
  PrintOptions options;
};

class PrintSystem {
 public:
  virtual ~PrintSystem() = default;

  // Every printer with its state and capabilities.
  virtual SystemError printers(std::vector<Printer>& out) = 0;
  // Creates the job held (it cannot print before `release`) with a
  // subscription to its events, calls `created`, streams the document and
  // closes it. `stop` is read between chunks; once it is set the submission
  // ends with Kind::stopped, leaving the job for the caller (see cancel). A
  // failure after the job was made cancels it when the scheduler answers.
  virtual SystemError submit(const SubmitRequest& request,
                             const std::function<void(const CreatedJob&)>& created,
                             const std::atomic<bool>& stop, std::int64_t& job_id) = 0;
  // Lets a held job print. A job that is no longer held is left as it is.
  virtual SystemError release(std::int64_t job_id) = 0;
  virtual SystemError job(std::int64_t job_id, SystemJob& out) = 0;
  // This user's jobs that are not finished (one request for all of them).
  virtual SystemError active_jobs(std::vector<SystemJob>& out) = 0;
  // This user's jobs called `job_name`, newest first, finished ones included.
  virtual SystemError find_jobs(const std::string& job_name, std::vector<SystemJob>& out) = 0;
  // The end of job `job_id` as subscription `subscription` reported it;
  // Kind::not_found when the subscription is gone. Reading does not end the
  // subscription: the caller does, once the end is recorded.
  virtual SystemError outcome(std::int64_t subscription, std::int64_t job_id, JobOutcome& out) = 0;
  // Ends a subscription that is no longer needed (the scheduler keeps few).
  virtual void unsubscribe(std::int64_t subscription) = 0;
  virtual SystemError cancel(std::int64_t job_id) = 0;
};

struct PrintSystemSettings {
  std::string server;  // a socket path or host[:port]; empty: libcups' default
  std::chrono::milliseconds connect_timeout{2000};
  std::chrono::milliseconds io_timeout{10000};  // the longest wait for an answer or a write
};

inline constexpr const char* kPrintSystemModule = "libquillpost_cups.so";
inline constexpr const char* kPrintSystemEntry = "quillpost_make_print_system";
// The module's entry: a new PrintSystem owned by the caller, or null with the
// reason in `*error`.
using MakePrintSystem = PrintSystem* (*)(const PrintSystemSettings* settings, std::string* error);

// The scheduler to talk to, when there is one: CUPS_SERVER when it names a
// socket that exists or a host, else the system's socket when it exists.
// nullopt: no printing system on this computer (nothing to load).
std::optional<std::string> find_print_server(const Getenv& getenv);

}  // namespace quillpost::printing
