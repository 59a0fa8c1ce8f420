// The printing system as the printing agent's worker uses it. The one
// implementation talks to the system's scheduler through libcups and lives in
// its own module (libquillpost_cups.so, folder cups/), which the worker opens
// only once a scheduler is there to talk to: a computer without a printing
// system never loads libcups and the thirty libraries it brings.
//
// libcups keeps its state per thread: a PrintSystem is made, used and
// destroyed on one thread. Every call is bounded by the settings' time-outs.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillpost/host/runtime/printing/offer.h"
#include "quillpost/host/runtime/printing/printer.h"
#include "quillpost/host/process/environment.h"

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
  State state = State::pending;
  std::vector<std::string> reasons;  // job-state-reasons, "none" left out
  std::string message;               // job-state-message
  // Documents the scheduler holds for the job: 0 while a document is still
  // being sent, or when it never arrived whole.
  std::int64_t documents = 0;
  bool operator==(const SystemJob&) const = default;
};
bool is_final(SystemJob::State state);

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
  // Creates the job, calls `created` with its id, streams the document and
  // closes it. `stop` is read between chunks; once it is set the submission
  // ends with Kind::stopped, leaving the job for the caller (see cancel). A
  // failure after the job was made cancels it when the scheduler answers.
  virtual SystemError submit(const SubmitRequest& request,
                             const std::function<void(std::int64_t)>& created,
                             const std::atomic<bool>& stop, std::int64_t& job_id) = 0;
  virtual SystemError job(std::int64_t job_id, SystemJob& out) = 0;
  // This user's jobs called `job_name`, newest first, finished ones included.
  virtual SystemError find_jobs(const std::string& job_name, std::vector<SystemJob>& out) = 0;
  virtual SystemError cancel(std::int64_t job_id) = 0;
};

struct PrintSystemSettings {
  std::string server;  // a socket path or host[:port]; empty: libcups' default
  int connect_timeout_ms = 2000;
  double io_timeout_s = 10.0;  // the longest wait for an answer or a write
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
