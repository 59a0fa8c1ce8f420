#include "quillpost/host/runtime/printing/job.h"

#include <array>
#include <stdexcept>
#include <utility>

#include "quillpost/host/runtime/printing/clean_text.h"

namespace quillpost::printing {
namespace {

constexpr std::array<std::pair<JobPhase, std::string_view>, 10> kPhases{{
    {JobPhase::received, "received"},
    {JobPhase::downloading, "downloading"},
    {JobPhase::downloaded, "downloaded"},
    {JobPhase::submitting, "submitting"},
    {JobPhase::releasing, "releasing"},
    {JobPhase::printing, "printing"},
    {JobPhase::completed, "completed"},
    {JobPhase::failed, "failed"},
    {JobPhase::cancelled, "cancelled"},
    {JobPhase::unknown, "unknown"},
}};

// Reasons are for people and may quote the printing system: bounded.
constexpr std::size_t kMaxReasonChars = 1024;

}  // namespace

std::string_view name(JobPhase phase) {
  for (const auto& [p, text] : kPhases) {
    if (p == phase) return text;
  }
  return "failed";
}

std::optional<JobPhase> phase_named(std::string_view text) {
  for (const auto& [p, name] : kPhases) {
    if (name == text) return p;
  }
  return std::nullopt;
}

bool is_final(JobPhase phase) {
  return phase == JobPhase::completed || phase == JobPhase::failed ||
         phase == JobPhase::cancelled || phase == JobPhase::unknown;
}

std::string_view wire_state(JobPhase phase, std::optional<std::int64_t> printer_job_id) {
  switch (phase) {
    case JobPhase::received:
      return "received";
    case JobPhase::downloading:
    case JobPhase::downloaded:
      return "downloading";
    case JobPhase::submitting:
      // The printing system has the job once it has given it an id.
      return printer_job_id ? "printing" : "downloading";
    case JobPhase::releasing:
      return "printing";
    default:
      return name(phase);
  }
}

nlohmann::json JobRecord::status_payload() const {
  return {{"jobId", offer.job_id},
          {"state", wire_state(phase, printer_job_id)},
          {"printerJobId", printer_job_id ? nlohmann::json(*printer_job_id) : nullptr},
          {"reason", clean_text(reason, kMaxReasonChars)}};
}

nlohmann::json record_json(const JobRecord& record) {
  return {
      {"offer", offer_json(record.offer)},
      {"phase", name(record.phase)},
      {"printerJobId", record.printer_job_id ? nlohmann::json(*record.printer_job_id) : nullptr},
      {"printerJobUuid", record.printer_job_uuid},
      {"subscription", record.subscription},
      {"withdrawn", record.withdrawn},
      {"reason", record.reason},
      {"cancelRequested", record.cancel_requested},
      {"receivedAt", record.received_at},
      {"updatedAt", record.updated_at}};
}

JobRecord record_from_json(const nlohmann::json& json) {
  if (!json.is_object()) throw std::runtime_error("not an object");
  JobRecord record;
  auto offer = parse_offer(json.at("offer"));
  if (auto* error = std::get_if<OfferError>(&offer)) throw std::runtime_error(error->reason);
  record.offer = std::get<JobOffer>(std::move(offer));
  const auto phase = phase_named(json.at("phase").get<std::string>());
  if (!phase) throw std::runtime_error("unknown phase");
  record.phase = *phase;
  if (const auto& id = json.at("printerJobId"); !id.is_null()) {
    record.printer_job_id = id.get<std::int64_t>();
  }
  // (Absent from records of earlier versions.)
  record.printer_job_uuid = clean_text(json.value("printerJobUuid", std::string()), 128);
  record.subscription = json.value("subscription", std::int64_t{0});
  if (json.contains("withdrawn")) {
    const nlohmann::json& withdrawn = json.at("withdrawn");
    if (!withdrawn.is_array() || withdrawn.size() > JobRecord::MAX_WITHDRAWN) {
      throw std::runtime_error("withdrawn is not a list of at most 32 job ids");
    }
    for (const auto& id : withdrawn) {
      if (!id.is_number_integer() || id.get<std::int64_t>() <= 0) {
        throw std::runtime_error("withdrawn holds something other than a job id");
      }
      record.withdrawn.push_back(id.get<std::int64_t>());
    }
  }
  record.reason = clean_text(json.at("reason").get<std::string>(), kMaxReasonChars);
  record.cancel_requested = json.at("cancelRequested").get<bool>();
  record.received_at = json.at("receivedAt").get<std::int64_t>();
  record.updated_at = json.at("updatedAt").get<std::int64_t>();
  return record;
}

std::string printer_job_name(std::string_view job_id) {
  return "qp-" + std::string(job_id);
}

}  // namespace quillpost::printing
