// The journal of print jobs in the settings directory: one small file per
// job ("printing/jobs/<job id>.json"), each replaced atomically, and the
// documents beside them ("printing/documents/<job id>.document"). A record
// that could not be read leaves a marker ("printing/jobs/<job id>.look-first")
// until the job has a record again: the job is looked for in the printing
// system before it is printed, even after another restart.
//
// The word that a job is let go in the printing system is one byte in a
// file of its own ("printing/jobs/<job id>.phase"), made when the job is
// recorded as `submitting` (so the sync of that record makes its name
// durable) and overwritten in place when the job reaches `releasing`: one
// byte and a data sync, instead of a new record and a sync of the directory.
//
// Names are told apart by their exact ends: a record ends in ".json", a
// marker in ".look-first", a phase file in ".phase", and the temporary file of
// a save in ".tmp-" and six letters or digits, which no other name does,
// whatever its job id.
//
// The journal is what makes a job print once: a job is recorded before
// anything is done for it, and recorded as `submitting` before the printing
// system is asked to take it, so that after a crash the client knows which
// jobs it must look for in the printing system instead of printing them again.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "quillpost/host/process/private_files.h"
#include "quillpost/host/runtime/printing/job.h"

namespace quillpost::printing {

class Journal {
 public:
  // How many finished jobs are kept for re-reporting; the oldest go first.
  static constexpr std::size_t MAX_FINISHED_RECORDS = 1000;

  // `dir`: the journal's own directory (the settings directory's "printing").
  explicit Journal(std::filesystem::path dir);

  struct Loaded {
    std::map<std::string, JobRecord> jobs;
    // Jobs whose record could not be read (moved aside and logged, with a
    // marker left on the disk): what was done for them is unknown.
    std::set<std::string> unreadable;
    // Jobs whose record the system could not read (no permission, an I/O
    // error), by the error: the file is left as it is, and logged.
    std::map<std::string, std::string> inaccessible;
  };
  // Creates the directories (private to this user) and reads every record.
  // Throws OsError when the directories cannot be made or read.
  Loaded load();
  // The job has a record again: its marker goes.
  void clear_look_first(const std::string& job_id);

  // Records `record` (an atomic replace). Only a record that must survive a
  // power cut is synced to the disk (a sync costs about 10 ms here): the one
  // written before the printing system is asked to take the job. Any other
  // lost to a power cut puts the job a step back, which is safe. Throws
  // OsError.
  void save(const JobRecord& record, Durability durability);
  // Makes (or resets) the job's phase file, not synced: called before the
  // synced save of its `submitting` record, whose sync of the directory then
  // makes the file's name durable. Throws OsError.
  void prepare_release_mark(const std::string& job_id);
  // Marks the job `releasing` on the disk (one byte, data synced) in its
  // phase file; false when there is none or it cannot be written (the caller
  // then saves the record synced). Once this returned true, the job loads as
  // `releasing` whatever its record says.
  bool mark_releasing(const std::string& job_id);
  // Forgets the job, its phase file and its document.
  void remove(const std::string& job_id);
  // Drops the oldest finished records beyond MAX_FINISHED_RECORDS from
  // `jobs` and from the disk.
  void prune(std::map<std::string, JobRecord>& jobs);

  // Where the job's document is downloaded to.
  std::filesystem::path document_path(const std::string& job_id) const;
  const std::filesystem::path& documents_dir() const { return documents_; }
  // The job whose document `file` (a name in documents_dir()) is; nullopt
  // for any other name.
  static std::optional<std::string> document_job_id(const std::filesystem::path& file);
  void remove_document(const std::string& job_id);

 private:
  std::filesystem::path record_path(const std::string& job_id) const;
  std::filesystem::path phase_path(const std::string& job_id) const;

  std::filesystem::path jobs_;
  std::filesystem::path documents_;
};

}  // namespace quillpost::printing
