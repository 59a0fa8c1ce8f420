#include "e2e/launch_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace quillpost::testing {
namespace {

// This process's environment with `extra` entries added or replacing theirs.
std::vector<std::string> merged_environment(const std::vector<std::string>& extra) {
  std::vector<std::string> out;
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    bool replaced = false;
    for (const auto& x : extra) replaced = replaced || name_of(x) == name_of(entry);
    if (!replaced) out.push_back(entry);
  }
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

}  // namespace

LaunchProcess::LaunchProcess(const std::string& program, std::vector<std::string> args,
                             std::vector<std::string> env, bool journal) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe: " + std::string(strerror(errno)));
  if (struct stat pipe_info{}; journal && ::fstat(fds[1], &pipe_info) == 0) {
    env.push_back("JOURNAL_STREAM=" + std::to_string(pipe_info.st_dev) + ":" +
                  std::to_string(pipe_info.st_ino));
  }
  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls until exec.
  std::vector<std::string> environment = merged_environment(env);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  started_ = Clock::now();
  pid_ = ::fork();
  if (pid_ < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::runtime_error("fork: " + std::string(strerror(errno)));
  }
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  reader_ = std::thread([this, fd = fds[0]] { read_output(fd); });
}

LaunchProcess::~LaunchProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  if (reader_.joinable()) reader_.join();
}

void LaunchProcess::read_output(int fd) {
  std::string partial;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const auto now = Clock::now();
    partial.append(buffer, static_cast<std::size_t>(n));
    std::lock_guard lock(mutex_);
    for (auto nl = partial.find('\n'); nl != std::string::npos; nl = partial.find('\n')) {
      lines_.push_back(Line{now, partial.substr(0, nl)});
      partial.erase(0, nl + 1);
    }
    changed_.notify_all();
  }
  ::close(fd);
  std::lock_guard lock(mutex_);
  if (!partial.empty()) lines_.push_back(Line{Clock::now(), partial});
  ended_ = true;
  changed_.notify_all();
}

std::optional<LaunchProcess::Clock::time_point> LaunchProcess::wait_for_line(
    std::string_view text, std::size_t nth, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  std::optional<Clock::time_point> found;
  changed_.wait_for(lock, timeout, [&] {
    std::size_t seen = 0;
    for (const auto& line : lines_) {
      if (line.text.find(text) != std::string::npos && ++seen == nth) {
        found = line.at;
        return true;
      }
    }
    return ended_;
  });
  return found;
}

std::size_t LaunchProcess::count(std::string_view text) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& line : lines_) n += line.text.find(text) != std::string::npos;
  return n;
}

std::string LaunchProcess::output() const {
  std::lock_guard lock(mutex_);
  std::string out;
  for (const auto& line : lines_) out += line.text + "\n";
  return out;
}

std::vector<LaunchProcess::Line> LaunchProcess::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void LaunchProcess::signal(int sig) const {
  if (!status_) ::kill(pid_, sig);
}

bool LaunchProcess::reap(bool block) {
  if (status_) return true;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != pid_) return false;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool LaunchProcess::running() {
  return !reap(false);
}

std::optional<int> LaunchProcess::wait_exit(std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!reap(false)) {
    if (Clock::now() >= end) return std::nullopt;
    ::usleep(2000);
  }
  // The pipe ends with the process: the rest of the output follows shortly.
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(5), [&] { return ended_; });
  return status_;
}

std::vector<std::string> threads_taking(pid_t pid, int sig) {
  std::vector<std::string> taking;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    if (task.path().filename() == std::to_string(pid)) continue;
    std::ifstream status(task.path() / "status");
    std::string name;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Name:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 5));
      if (line.rfind("SigBlk:", 0) == 0 &&
          !((std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1)) {
        taking.push_back(name);
      }
    }
  }
  return taking;
}

}  // namespace quillpost::testing
