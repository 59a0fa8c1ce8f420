// A print job as the client keeps it: the offer, where the job is, and what
// the service was told.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillpost/host/runtime/printing/offer.h"

namespace quillpost::printing {

// Where a job is. The order is the order a job goes through.
enum class JobPhase {
  received,     // recorded; waits to be downloaded
  downloading,  // the document is being fetched
  downloaded,   // the document is on disk, checked; waits for the printing system
  submitting,   // handed to the printing system, held there (recorded before it is asked)
  releasing,    // the held job has the whole document and is let go (recorded
                // before it is): from here on it is never submitted again
  printing,     // the printing system prints the job
  completed,
  failed,
  cancelled,
  unknown,  // released, and the printing system kept no record of its end
};
std::string_view name(JobPhase phase);
std::optional<JobPhase> phase_named(std::string_view text);
bool is_final(JobPhase phase);

// The states of `print.status`.
std::string_view wire_state(JobPhase phase, std::optional<std::int64_t> printer_job_id);

struct JobRecord {
  JobOffer offer;
  JobPhase phase = JobPhase::received;
  std::optional<std::int64_t> printer_job_id;
  std::string printer_job_uuid;   // the printing system's job-uuid, when it gave one
  std::int64_t subscription = 0;  // the job's event subscription; 0: none
  // Printing system jobs of earlier tries that this client cancelled while
  // they were held, never released: never taken for the job itself. The
  // newest MAX_WITHDRAWN are kept.
  std::vector<std::int64_t> withdrawn;
  static constexpr std::size_t MAX_WITHDRAWN = 32;
  std::string reason;  // for people; empty when there is nothing to say
  bool cancel_requested = false;
  std::int64_t received_at = 0;  // seconds since the epoch
  std::int64_t updated_at = 0;

  // What `print.status` says of the job now.
  nlohmann::json status_payload() const;
  bool operator==(const JobRecord&) const = default;
};

// The record as the journal keeps it, and back. `record_from_json` throws a
// std::exception for anything that is not a record.
nlohmann::json record_json(const JobRecord& record);
JobRecord record_from_json(const nlohmann::json& json);

// The name the printing system knows the job by: "qp-<job id>". After a crash
// the client finds the job again by this name.
std::string printer_job_name(std::string_view job_id);

}  // namespace quillpost::printing
