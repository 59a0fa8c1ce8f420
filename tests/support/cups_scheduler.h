// A private print scheduler for a test: cupsd run in the foreground from a
// temporary directory, reached through its own socket, with raw queues whose
// jobs a capture backend writes to files. Nothing of the system's printing
// setup is touched or needed.
//
//   CupsScheduler cups;                            // queues Desk (default) and Lab
//   env CUPS_SERVER=cups.socket() ...              // or PrintSystemSettings::server
//   cups.admin("cupsdisable Desk");                // any CUPS command on it
//   cups.captured("Desk")                          // the documents printed, by job id
//
// cupsd runs backends as user lp and refuses to work otherwise as anyone but
// root: available() says whether this machine can run one (the tests skip
// otherwise).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace quillpost::testing {

class CupsScheduler {
 public:
  struct Options {
    std::vector<std::string> queues{"Desk", "Lab"};  // the first is the default
    std::vector<std::string> extra_conf;             // more cupsd.conf lines
  };

  // cupsd is installed and this process runs as root.
  static bool available();

  // Starts the scheduler and makes the queues; throws std::runtime_error
  // with the scheduler's log when it does not come up within 10 s.
  CupsScheduler();
  explicit CupsScheduler(Options options);
  // Stops the scheduler and removes the directory.
  ~CupsScheduler();
  CupsScheduler(const CupsScheduler&) = delete;
  CupsScheduler& operator=(const CupsScheduler&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  std::string socket() const { return (dir_ / "run/cups.sock").string(); }

  // Runs a shell command (lpadmin, cupsdisable, lp...) against this scheduler;
  // its exit status and its output.
  struct Result {
    int status = -1;
    std::string output;
  };
  Result admin(const std::string& command) const;

  // The documents the queue's backend received, by the scheduler's job id.
  std::map<std::int64_t, std::string> captured(const std::string& queue) const;
  // Backend arguments 1-5 of a job (job id, user, title, copies, options).
  std::vector<std::string> captured_args(const std::string& queue, std::int64_t job_id) const;

  // Stops it (SIGTERM, SIGKILL after 10 s) and starts it again on the same
  // directory: queues and jobs survive, as across a real restart.
  void stop();
  void start();
  // SIGKILL, as a crash.
  void kill();
  bool running() const { return pid_ > 0; }

 private:
  void write_config() const;
  void wait_ready();

  Options options_;
  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

}  // namespace quillpost::testing
