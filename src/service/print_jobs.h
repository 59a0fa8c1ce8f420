// Print jobs and printer lists per computer: what the control endpoint
// queues and lists, what the client socket offers and updates, and their
// form in the jobs file. Plain data and rules, no I/O but the clock.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "service/document_file.h"

namespace quillpost::service {

using ojson = nlohmann::ordered_json;

// A computer: its account and the name it authenticates with.
struct ComputerKey {
  std::int64_t account_id = 0;
  std::string computer;
  auto operator<=>(const ComputerKey&) const = default;
};

// What `POST /control/print` asks for, checked.
struct JobRequest {
  std::string account_email;  // empty: the demo account
  std::string computer;
  std::string printer;
  std::filesystem::path file;
  std::string title;  // empty: the file's name
  std::string content_type;
  int copies = 1;
  ojson options = ojson::object();
  // Announced in the offer instead of the measured values (tests of a
  // client's size limit and checksum check).
  std::optional<std::uint64_t> declared_size;
  std::optional<std::string> declared_sha256;
};
std::variant<JobRequest, std::string> parse_job_request(const ojson& body);

// A "print.status" payload, checked.
struct JobStatus {
  std::string job_id;
  std::string state;
  std::optional<std::int64_t> printer_job_id;
  std::string reason;
};
std::variant<JobStatus, std::string> parse_job_status(const ojson& payload);

// Whether a job id is 1 to 64 characters of A-Z a-z 0-9 . _ -
bool valid_job_id(std::string_view id);
// completed, failed and cancelled end a job.
bool is_final_state(std::string_view state);
// The text with the value of every "token=" replaced by "***": the document
// URLs carry the job's secret, and a client may quote one in a reason.
std::string redact_tokens(std::string text);
// "2024-05-01T12:00:00.123Z"
std::string utc_time_text(std::chrono::system_clock::time_point time);

struct PrintJob {
  std::string id;
  ComputerKey computer;
  std::string printer;
  std::string title;
  std::string content_type;
  std::string file;
  FileDigest digest;  // measured when the job was queued
  std::optional<std::uint64_t> declared_size;
  std::optional<std::string> declared_sha256;
  int copies = 1;
  ojson options = ojson::object();
  std::string token;  // secret: never logged, never shown
  // "queued" until the client reports, then the client's states.
  std::string state = "queued";
  std::optional<std::int64_t> printer_job_id;
  std::string reason;
  std::string cancel_requested_at;  // empty: no cancel asked for
  int offers = 0;                   // offers sent so far
  ojson history = ojson::array();   // [{"state", "at", "printerJobId", "reason"}]
  // The installation (worldUuid) the job is with: offered to it, and held by
  // it once its client has answered. Empty: with none yet.
  std::string world;
  bool held = false;
  // Installations that had the job before it moved on: each is told to drop
  // it after its handshakes, until it reports an end for it.
  std::vector<std::string> withdrawn;

  bool final() const { return is_final_state(state); }
};

// The "print" offer of `job`; its document at `document_base` (scheme, host
// and port) + /v1/documents/ID?token=TOKEN.
ojson offer_payload(const PrintJob& job, const std::string& document_base);

class PrintBook {
 public:
  // A new job for `computer`, with the document's measured size and digest;
  // makes its id and its token. References to jobs stay valid until the job
  // is removed.
  PrintJob& add(ComputerKey computer, const JobRequest& request, const FileDigest& digest);
  // Takes back the job just added (when it could not be saved).
  void remove(std::string_view id);
  PrintJob* find(std::string_view id);
  // The jobs of `computer` without a final state, oldest first.
  std::vector<PrintJob*> open_jobs(const ComputerKey& computer);
  // Every job of `computer`, oldest first.
  std::vector<PrintJob*> jobs_of(const ComputerKey& computer);

  // Hands `job` to installation `world`: the one it was with is to drop it,
  // and the document gets a new token, so that a download that installation
  // starts later is refused.
  void move(PrintJob& job, const std::string& world);

  enum class Update { changed, unchanged, unknown, ended, not_holder, released };
  // A status from installation `world` of `from`: a job of another computer
  // is unknown to it; a job that has ended keeps its final state. The first
  // status of the installation a job was offered to makes it the holder; a
  // status from any other installation is ignored (`not_holder`), except
  // that a final one from an installation told to drop the job ends that
  // (`released`).
  Update apply(const ComputerKey& from, const std::string& world, const JobStatus& status);

  enum class Cancel { requested, cancelled, ended, unknown };
  // Marks the job cancel-requested; a job never offered to its computer
  // ends as cancelled at once (`cancelled`).
  Cancel cancel(std::string_view id);

  // A whole printer list (`truncated`: the computer cut it to the bounds).
  void set_printers(const ComputerKey& computer, ojson printers, bool truncated);
  // Applies a checked `printers.state` list; false (nothing changed) when it
  // names a printer the computer has not listed, with `error` saying which.
  bool set_printer_states(const ComputerKey& computer, const ojson& states, std::string& error);
  // The bytes of a printer message from `computer`, counted per event for the
  // control endpoint.
  void count_printer_message(const ComputerKey& computer, std::string_view event,
                             std::size_t bytes);

  // The jobs file's form (tokens included) and back. load throws
  // std::invalid_argument saying what is wrong.
  ojson to_file() const;
  void load(const ojson& document);

  // For the control endpoint: jobs without their tokens (every job, or only
  // the one named job_id when one is named), the printer lists, and a summary.
  ojson jobs_view(const std::optional<std::string>& job_id = std::nullopt) const;
  ojson printers_view() const;
  ojson summary() const;

 private:
  void record(PrintJob& job);

  struct Printers {
    ojson list = ojson::array();
    std::string updated_at;
    bool truncated = false;
    // Messages and their bytes since the service started (not kept in the file).
    std::uint64_t lists = 0, state_changes = 0, bytes = 0;
  };
  std::list<PrintJob> jobs_;  // a list: a job stays where it is while others come and go
  std::map<ComputerKey, Printers> printers_;
  std::uint64_t next_job_ = 1;
};

}  // namespace quillpost::service
