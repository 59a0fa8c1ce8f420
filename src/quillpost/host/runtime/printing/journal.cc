#include "quillpost/host/runtime/printing/journal.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/private_files.h"

namespace quillpost::printing {
namespace {

// A record is a few hundred bytes; the URL may take 8 KiB.
constexpr std::size_t kMaxRecordBytes = 64 * 1024;
constexpr std::string_view kRecordSuffix = ".json";

}  // namespace

Journal::Journal(std::filesystem::path dir)
    : jobs_(dir / "jobs"), documents_(std::move(dir) / "documents") {}

Journal::Loaded Journal::load() {
  make_private_directories(jobs_);
  make_private_directories(documents_);
  auto log = logs::logger("printing");
  Loaded loaded;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(jobs_)) {
    files.push_back(entry.path());
  }
  for (const auto& path : files) {
    const std::string file = path.filename().string();
    // A temporary file left by a crash in the middle of a save.
    if (file.find(".json.tmp-") != std::string::npos) {
      ::unlink(path.c_str());
      continue;
    }
    if (!file.ends_with(kRecordSuffix)) continue;
    const std::string job_id = file.substr(0, file.size() - kRecordSuffix.size());
    if (!is_job_id(job_id)) continue;
    std::string why;
    try {
      const std::optional<std::string> content = read_private_file(path, kMaxRecordBytes);
      if (!content) continue;
      if (content->size() > kMaxRecordBytes) throw std::runtime_error("too large");
      JobRecord record = record_from_json(nlohmann::json::parse(*content));
      if (record.offer.job_id != job_id) throw std::runtime_error("another job's record");
      loaded.jobs.emplace(job_id, std::move(record));
      continue;
    } catch (const std::exception& e) {
      why = e.what();
    }
    loaded.unreadable.insert(job_id);
    try {
      const auto aside = move_aside(path);
      log.error("Cannot read the print job record %s (%s); moved it to %s", path.string(), why,
                aside.string());
    } catch (const OsError& e) {
      log.error("Cannot read the print job record %s (%s) and cannot move it aside: %s",
                path.string(), why, e.what());
    }
  }
  return loaded;
}

void Journal::save(const JobRecord& record, Durability durability) {
  write_file_atomically(record_path(record.offer.job_id), record_json(record).dump() + "\n",
                        durability);
}

void Journal::remove(const std::string& job_id) {
  ::unlink(record_path(job_id).c_str());
  remove_document(job_id);
}

void Journal::prune(std::map<std::string, JobRecord>& jobs) {
  std::vector<std::pair<std::int64_t, std::string>> finished;
  for (const auto& [id, record] : jobs) {
    if (is_final(record.phase)) finished.emplace_back(record.updated_at, id);
  }
  if (finished.size() <= MAX_FINISHED_RECORDS) return;
  std::sort(finished.begin(), finished.end());
  const std::size_t excess = finished.size() - MAX_FINISHED_RECORDS;
  for (std::size_t i = 0; i < excess; ++i) {
    remove(finished[i].second);
    jobs.erase(finished[i].second);
  }
}

std::filesystem::path Journal::document_path(const std::string& job_id) const {
  // With a suffix, a job id of dots never names a directory.
  return documents_ / (job_id + ".document");
}

void Journal::remove_document(const std::string& job_id) {
  ::unlink(document_path(job_id).c_str());
}

std::filesystem::path Journal::record_path(const std::string& job_id) const {
  return jobs_ / (job_id + std::string(kRecordSuffix));
}

}  // namespace quillpost::printing
