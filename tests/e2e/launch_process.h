// Runs the `launch` executable as a child process for end-to-end tests and
// benchmarks: standard output and error on one pipe, read by a thread into
// lines stamped with the time they arrived. The child is killed when the
// object goes (and by the kernel should the test process die first).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quillpost::testing {

class LaunchProcess {
 public:
  using Clock = std::chrono::steady_clock;

  struct Line {
    Clock::time_point at;
    std::string text;
  };

  // Starts `program` with `args`; `env` entries ("NAME=value") are added to
  // this process's environment, replacing variables of the same name. With
  // `journal`, $JOURNAL_STREAM names the output pipe, as a service manager
  // names its journal. Throws std::runtime_error when the process cannot be
  // started.
  LaunchProcess(const std::string& program, std::vector<std::string> args,
                std::vector<std::string> env = {}, bool journal = false);
  ~LaunchProcess();
  LaunchProcess(const LaunchProcess&) = delete;
  LaunchProcess& operator=(const LaunchProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Just before the process was started.
  Clock::time_point started() const { return started_; }

  // Waits until the `nth` line (from 1) containing `text` has arrived; its
  // arrival time, or nullopt when the output ended or `timeout` passed first.
  std::optional<Clock::time_point> wait_for_line(
      std::string_view text, std::size_t nth = 1,
      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  // How many lines so far contain `text`.
  std::size_t count(std::string_view text) const;
  // Every line so far, each ended by a line feed.
  std::string output() const;
  std::vector<Line> lines() const;

  void signal(int sig) const;
  bool running();
  // The exit status as a shell shows it (128 + signal when killed), after
  // reading the rest of the output; nullopt when it is still running at `timeout`.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  void read_output(int fd);
  bool reap(bool block);

  pid_t pid_ = -1;
  Clock::time_point started_;
  std::optional<int> status_;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Line> lines_;
  bool ended_ = false;
};

// The names of `pid`'s threads, the main one aside, that leave `sig`
// unblocked: the kernel may hand such a thread a signal meant for the process.
std::vector<std::string> threads_taking(pid_t pid, int sig);

}  // namespace quillpost::testing
