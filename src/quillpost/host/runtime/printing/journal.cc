#include "quillpost/host/runtime/printing/journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/os_error.h"
#include "quillpost/host/process/private_files.h"

namespace quillpost::printing {
namespace {

// A record is a few hundred bytes; the URL may take 8 KiB.
constexpr std::size_t kMaxRecordBytes = 64 * 1024;
constexpr std::string_view kRecordSuffix = ".json";
constexpr std::string_view kMarkerSuffix = ".look-first";
constexpr std::string_view kDocumentSuffix = ".document";
constexpr std::string_view kPhaseSuffix = ".phase";
// The phase file's byte: made with the `submitting` record, then `releasing`.
constexpr char kMarkSubmitting = 'S';
constexpr char kMarkReleasing = 'R';

// Whether a phase file's content says the job may have been let go: it says
// so, or it holds what this version never writes (a damaged file is taken
// for the worst). Empty or a zero byte: the first byte never reached the
// disk, and the release is sent only once its byte is synced.
bool says_releasing(std::string_view content) {
  if (content.empty()) return false;
  const char c = content.front();
  return c != kMarkSubmitting && c != '\0';
}

// The job id `file` names with `suffix`, when it ends so exactly.
std::optional<std::string> id_before(std::string_view file, std::string_view suffix) {
  if (!file.ends_with(suffix)) return std::nullopt;
  std::string id(file.substr(0, file.size() - suffix.size()));
  if (!is_job_id(id)) return std::nullopt;
  return id;
}

// "<job id>.json.tmp-XXXXXX": what write_file_atomically leaves when a save
// is cut off. The six characters are letters or digits, so the name never
// ends like a record or a marker.
bool is_temporary(std::string_view file) {
  constexpr std::string_view kTmp = ".tmp-";
  if (file.size() < kTmp.size() + 6) return false;
  const std::string_view tail = file.substr(file.size() - 6);
  const std::string_view record = file.substr(0, file.size() - 6 - kTmp.size());
  if (file.substr(record.size(), kTmp.size()) != kTmp) return false;
  for (const char c : tail) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  }
  return id_before(record, kRecordSuffix).has_value();
}

}  // namespace

Journal::Journal(std::filesystem::path dir)
    : jobs_(dir / "jobs"), documents_(std::move(dir) / "documents") {}

Journal::Loaded Journal::load() {
  make_private_directories(jobs_);
  make_private_directories(documents_);
  auto log = logs::logger("printing");
  Loaded loaded;
  std::vector<std::filesystem::path> files;
  std::vector<std::pair<std::string, std::filesystem::path>> phases;
  for (const auto& entry : std::filesystem::directory_iterator(jobs_)) {
    files.push_back(entry.path());
  }
  for (const auto& path : files) {
    const std::string file = path.filename().string();
    // A temporary file left by a crash in the middle of a save.
    if (is_temporary(file)) {
      ::unlink(path.c_str());
      continue;
    }
    if (const auto marked = id_before(file, kMarkerSuffix)) {
      loaded.unreadable.insert(*marked);
      continue;
    }
    if (auto phased = id_before(file, kPhaseSuffix)) {
      phases.emplace_back(std::move(*phased), path);
      continue;
    }
    const std::optional<std::string> id = id_before(file, kRecordSuffix);
    if (!id) continue;
    const std::string& job_id = *id;
    std::string why;
    try {
      const std::optional<std::string> content = read_private_file(path, kMaxRecordBytes);
      if (!content) continue;
      if (content->size() > kMaxRecordBytes) throw std::runtime_error("too large");
      JobRecord record = record_from_json(nlohmann::json::parse(*content));
      if (record.offer.job_id != job_id) throw std::runtime_error("another job's record");
      loaded.jobs.emplace(job_id, std::move(record));
      continue;
    } catch (const OsError& e) {
      // The system's trouble, not the record's: reported, left alone, read
      // again at the next start.
      log.error("Cannot read the print job record %s: %s", path.string(), e.what());
      loaded.inaccessible.emplace(job_id, e.what());
      continue;
    } catch (const std::exception& e) {
      why = e.what();
    }
    loaded.unreadable.insert(job_id);
    try {
      // The marker first: the record's word that the job may have reached
      // the printing system must outlive the record.
      write_file_atomically(jobs_ / (job_id + std::string(kMarkerSuffix)), "", Durability::synced);
    } catch (const OsError& e) {
      log.error("Cannot mark print job %s to be looked for first: %s", job_id, e.what());
      continue;  // the record stays where it is, to be read again
    }
    try {
      const auto aside = move_aside(path);
      log.error("Cannot read the print job record %s (%s); moved it to %s", path.string(), why,
                aside.string());
    } catch (const OsError& e) {
      log.error("Cannot read the print job record %s (%s) and cannot move it aside: %s",
                path.string(), why, e.what());
    }
  }
  // A marker whose job has a record again: the record takes over, looking in
  // the printing system first unless it went that far itself (the marker
  // then goes).
  for (auto it = loaded.unreadable.begin(); it != loaded.unreadable.end();) {
    const auto job = loaded.jobs.find(*it);
    if (job == loaded.jobs.end()) {
      ++it;
      continue;
    }
    if (job->second.phase >= JobPhase::submitting) {
      clear_look_first(*it);
    } else {
      job->second.phase = JobPhase::submitting;
    }
    it = loaded.unreadable.erase(it);
  }
  // A job whose phase file says `releasing` is, whatever its record says:
  // the record of that step is not synced.
  for (const auto& [job_id, path] : phases) {
    const auto job = loaded.jobs.find(job_id);
    if (job == loaded.jobs.end()) {
      // Left by a removal cut short; kept while the job's record is in doubt.
      if (!loaded.unreadable.contains(job_id) && !loaded.inaccessible.contains(job_id)) {
        ::unlink(path.c_str());
      }
      continue;
    }
    // Only a `submitting` record can be behind its phase file: the record is
    // synced as `submitting` before the file says anything else.
    if (job->second.phase != JobPhase::submitting) continue;
    try {
      const std::optional<std::string> content = read_private_file(path, 16);
      if (content && says_releasing(*content)) job->second.phase = JobPhase::releasing;
    } catch (const OsError& e) {
      log.error("Cannot read the print job phase file %s: %s", path.string(), e.what());
      loaded.inaccessible.emplace(job_id, e.what());
      loaded.jobs.erase(job);
    }
  }
  return loaded;
}

void Journal::save(const JobRecord& record, Durability durability) {
  write_file_atomically(record_path(record.offer.job_id), record_json(record).dump() + "\n",
                        durability);
}

void Journal::prepare_release_mark(const std::string& job_id) {
  const auto path = phase_path(job_id);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    const std::error_code code(errno, std::generic_category());
    throw_os_error(code, os_error_text(code, path));
  }
  const ssize_t n = ::pwrite(fd, &kMarkSubmitting, 1, 0);
  const std::error_code code(errno, std::generic_category());
  ::close(fd);
  if (n != 1) throw_os_error(code, os_error_text(code, path));
}

bool Journal::mark_releasing(const std::string& job_id) {
  // No O_CREAT: a file made now would have no durable name.
  const int fd = ::open(phase_path(job_id).c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::pwrite(fd, &kMarkReleasing, 1, 0) == 1 && ::fdatasync(fd) == 0;
  ::close(fd);
  return ok;
}

void Journal::remove(const std::string& job_id) {
  ::unlink(record_path(job_id).c_str());
  ::unlink(phase_path(job_id).c_str());
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
  return documents_ / (job_id + std::string(kDocumentSuffix));
}

std::optional<std::string> Journal::document_job_id(const std::filesystem::path& file) {
  return id_before(file.string(), kDocumentSuffix);
}

void Journal::clear_look_first(const std::string& job_id) {
  ::unlink((jobs_ / (job_id + std::string(kMarkerSuffix))).c_str());
}

void Journal::remove_document(const std::string& job_id) {
  ::unlink(document_path(job_id).c_str());
}

std::filesystem::path Journal::record_path(const std::string& job_id) const {
  return jobs_ / (job_id + std::string(kRecordSuffix));
}

std::filesystem::path Journal::phase_path(const std::string& job_id) const {
  return jobs_ / (job_id + std::string(kPhaseSuffix));
}

}  // namespace quillpost::printing
