// Runs a program of the build as a child process, for end-to-end tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/files.h"

namespace quillpost::testing {

constexpr auto kDeadline = std::chrono::seconds(20);

// A child process running `program` (a path under the build's bin/) with
// `args`, extra environment entries "NAME=value" and its standard output on a
// pipe. Killed when the object goes, if still running.
class Driver {
 public:
  Driver(const std::string& program_name, std::vector<std::string> args,
         std::vector<std::string> env = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
      const std::string program = std::string(QP_BINARY_DIR) + "/bin/" + program_name;
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_fd_ = fds[0];
  }
  ~Driver() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_fd_);
  }

  // Reads standard output until it holds `text` or the output ends.
  bool wait_for_output(const std::string& text) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (out_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > end || !read_some(100)) return false;
    }
    return true;
  }

  // The exit status, reading the rest of the output; -1 on time-out.
  int wait_exit() {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < end) {
      read_some(50);
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        while (read_some(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }

  bool running() {
    int status = 0;
    return ::waitpid(pid_, &status, WNOHANG) == 0;
  }
  void signal(int sig) { ::kill(pid_, sig); }
  // Whether the process ignores `sig`, from the kernel's view of it.
  bool ignores(int sig) const {
    std::istringstream status(testing::read_file("/proc/" + std::to_string(pid_) + "/status"));
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigIgn:", 0) == 0) {
        return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
      }
    }
    return false;
  }
  const std::string& out() const { return out_; }

 private:
  bool read_some(int timeout_ms) {
    pollfd p{out_fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return timeout_ms > 0;
    char buffer[4096];
    const auto n = ::read(out_fd_, buffer, sizeof buffer);
    if (n <= 0) return false;
    out_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  bool exited_ = false;
  std::string out_;
};

}  // namespace quillpost::testing
