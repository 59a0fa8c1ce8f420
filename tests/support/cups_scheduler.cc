#include "support/cups_scheduler.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quillpost::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kCupsd = "/usr/sbin/cupsd";

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

bool CupsScheduler::available() {
  return ::geteuid() == 0 && ::access(kCupsd, X_OK) == 0;
}

CupsScheduler::CupsScheduler() : CupsScheduler(Options{}) {}

CupsScheduler::CupsScheduler(Options options) : options_(std::move(options)) {
  std::string pattern = (std::filesystem::temp_directory_path() / "qp-cups-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a directory for cupsd");
  dir_ = pattern;
  write_config();
  start();
  for (const std::string& queue : options_.queues) {
    const Result made =
        admin("lpadmin -p " + queue + " -E -v capture:" + (dir_ / "out" / lower(queue)).string() +
              ".prn -m raw -D '" + queue + " queue' -L 'Room " + queue + "'");
    if (made.status != 0) throw std::runtime_error("lpadmin " + queue + ": " + made.output);
  }
  if (!options_.queues.empty()) admin("lpadmin -d " + options_.queues.front());
}

CupsScheduler::~CupsScheduler() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

// The configuration is the demo's (scripts/cups-scheduler): one copy of it.
void CupsScheduler::write_config() const {
  std::string extra;
  for (const auto& line : options_.extra_conf) extra += line + "\n";
  const std::string command = "EXTRA_CONF='" + extra + "' '" QP_CUPS_SCHEDULER_SCRIPT "' '" +
                              dir_.string() + "' configure 2>&1";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot configure cupsd");
}

void CupsScheduler::start() {
  if (pid_ > 0) return;
  const std::string conf = (dir_ / "cupsd.conf").string();
  const std::string files = (dir_ / "cups-files.conf").string();
  const std::string log = (dir_ / "log/cupsd.out").string();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot fork cupsd");
  if (pid_ == 0) {
    ::setsid();
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::FILE* out = std::freopen(log.c_str(), "a", stdout);
    if (out) ::dup2(::fileno(stdout), 2);
    ::execl(kCupsd, kCupsd, "-f", "-c", conf.c_str(), "-s", files.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  wait_ready();
}

void CupsScheduler::wait_ready() {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("cupsd exited: " + read_all(dir_ / "log/cupsd.out") +
                               read_all(dir_ / "log/error_log"));
    }
    if (admin("lpstat -r").output.find("scheduler is running") != std::string::npos) return;
    std::this_thread::sleep_for(20ms);
  }
  kill();
  throw std::runtime_error("cupsd not ready after 10 s: " + read_all(dir_ / "log/error_log"));
}

void CupsScheduler::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  pid_ = -1;
}

void CupsScheduler::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

CupsScheduler::Result CupsScheduler::admin(const std::string& command) const {
  const std::string line = "export CUPS_SERVER='" + socket() + "'; (" + command + ") 2>&1";
  Result result;
  std::FILE* pipe = ::popen(line.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::map<std::int64_t, std::string> CupsScheduler::captured(const std::string& queue) const {
  std::map<std::int64_t, std::string> out;
  const std::string prefix = lower(queue) + ".prn.";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "out", ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(prefix)) continue;
    const std::string id = name.substr(prefix.size());
    if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) continue;
    out[std::stoll(id)] = read_all(entry.path());
  }
  return out;
}

std::vector<std::string> CupsScheduler::captured_args(const std::string& queue,
                                                      std::int64_t job_id) const {
  std::ifstream in(dir_ / "out" / (lower(queue) + ".prn." + std::to_string(job_id) + ".args"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace quillpost::testing
