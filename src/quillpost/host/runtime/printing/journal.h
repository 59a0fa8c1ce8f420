// The journal of print jobs in the settings directory: one small file per
// job ("printing/jobs/<job id>.json"), each replaced atomically, and the
// documents beside them ("printing/documents/<job id>.document").
//
// The journal is what makes a job print once: a job is recorded before
// anything is done for it, and recorded as `submitting` before the printing
// system is asked to take it, so that after a crash the client knows which
// jobs it must look for in the printing system instead of printing them again.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "quillpost/host/runtime/printing/job.h"
#include "quillpost/host/process/private_files.h"

namespace quillpost::printing {

class Journal {
 public:
  // How many finished jobs are kept for re-reporting; the oldest go first.
  static constexpr std::size_t MAX_FINISHED_RECORDS = 1000;

  // `dir`: the journal's own directory (the settings directory's "printing").
  explicit Journal(std::filesystem::path dir);

  struct Loaded {
    std::map<std::string, JobRecord> jobs;
    // Jobs whose record could not be read (moved aside and logged): what was
    // done for them is unknown.
    std::set<std::string> unreadable;
  };
  // Creates the directories (private to this user) and reads every record.
  // Throws OsError when the directories cannot be made or read.
  Loaded load();

  // Records `record` (an atomic replace). Only a record that must survive a
  // power cut is synced to the disk (a sync costs about 10 ms here): the one
  // written before the printing system is asked to take the job. Any other
  // lost to a power cut puts the job a step back, which is safe. Throws
  // OsError.
  void save(const JobRecord& record, Durability durability);
  // Forgets the job and its document.
  void remove(const std::string& job_id);
  // Drops the oldest finished records beyond MAX_FINISHED_RECORDS from
  // `jobs` and from the disk.
  void prune(std::map<std::string, JobRecord>& jobs);

  // Where the job's document is downloaded to.
  std::filesystem::path document_path(const std::string& job_id) const;
  const std::filesystem::path& documents_dir() const { return documents_; }
  void remove_document(const std::string& job_id);

 private:
  std::filesystem::path record_path(const std::string& job_id) const;

  std::filesystem::path jobs_;
  std::filesystem::path documents_;
};

}  // namespace quillpost::printing
