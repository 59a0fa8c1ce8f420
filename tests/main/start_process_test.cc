// The launcher's start and close as a process: exit codes, standard output and
// the log, with real signals.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "host/services/stub_service.h"
#include "host/services/temp_dir.h"

namespace quillpost {
namespace {

using ::testing::HasSubstr;
using testing::TempDir;

constexpr auto kDeadline = std::chrono::seconds(20);

// One driver process with its standard output on a pipe.
class Driver {
 public:
  explicit Driver(std::vector<std::string> args, std::vector<std::string> env = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
      const std::string program = std::string(QP_BINARY_DIR) + "/bin/start_driver";
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

std::string log_of(const TempDir& dir) {
  return testing::read_file(dir / "settings/logs/quillpost.log");
}

TEST(StartProcess, SigintEndsARunningApplicationWithZero) {
  TempDir dir;
  Driver driver({(dir / "settings").string(), "1"});
  ASSERT_TRUE(driver.wait_for_output("started")) << driver.out();
  driver.signal(SIGINT);
  driver.signal(SIGINT);
  EXPECT_EQ(driver.wait_exit(), 0) << driver.out();
  EXPECT_THAT(driver.out(), HasSubstr("APP_STARTING: Application starting; "));
  EXPECT_THAT(driver.out(),
              ::testing::ContainsRegex("APP_CLOSE: Closing after .*\\. Exit code 0\\."));
  const std::string log = log_of(dir);
  EXPECT_THAT(log, HasSubstr("main: BUILD CONFIGURATION version:"));
  EXPECT_THAT(log, HasSubstr("signal_handler: Processing signal 2 (SIGINT, SIG_SETMASK)"));
  EXPECT_LT(log.find("BUILD CONFIGURATION"), log.find("user, hostname, cwd"));
}

TEST(StartProcess, WithoutShutdownOnSigintSigintIsIgnored) {
  TempDir dir;
  Driver driver({(dir / "settings").string(), "0"});
  ASSERT_TRUE(driver.wait_for_output("started")) << driver.out();
  // Until the handling is final a SIGINT would end the start: wait until the
  // process ignores SIGINT.
  for (int i = 0; i < 2000 && !driver.ignores(SIGINT); ++i) ::usleep(1000);
  ASSERT_TRUE(driver.ignores(SIGINT));
  driver.signal(SIGINT);
  ::usleep(100000);
  EXPECT_TRUE(driver.running());
  driver.signal(SIGTERM);
  EXPECT_EQ(driver.wait_exit(), 128 + SIGTERM);
}

TEST(StartProcess, ASecondInstanceExitsWithStartMutex) {
  TempDir dir;
  Driver first({(dir / "settings").string(), "1"});
  ASSERT_TRUE(first.wait_for_output("started")) << first.out();
  Driver second({(dir / "settings").string(), "1"});
  EXPECT_EQ(second.wait_exit(), 21) << second.out();
  EXPECT_THAT(second.out(), HasSubstr("APP_STARTING_ERROR: Another instance is already running"));
  EXPECT_THAT(second.out(), HasSubstr("Exit code 21."));
  first.signal(SIGINT);
  EXPECT_EQ(first.wait_exit(), 0);
}

TEST(StartProcess, WrongCredentialsExitWithNoRecoveryPossible) {
  testing::StubService service(testing::http_response(401, R"({"error": "Wrong password"})"));
  TempDir dir;
  const std::string url =
      "QUILLPOST_SERVICE_URL=" +
      service.url().substr(0, service.url().size() - std::string("/api/login").size());
  Driver driver({(dir / "settings").string(), "1", "a@example.com", "sekrit-pw"}, {url});
  EXPECT_EQ(driver.wait_exit(), 20) << driver.out();
  EXPECT_THAT(driver.out(),
              HasSubstr("COMMAND_LINE_CREDENTIALS_FAIL: Credentials passed on command line or in "
                        "config file are not valid. The program will exit. Error detail is "
                        "'Wrong password'."));
  EXPECT_THAT(driver.out(), HasSubstr("APP_CLOSE_WITH_ERROR: Closing after"));
  EXPECT_THAT(driver.out(), ::testing::Not(HasSubstr("started")));
  EXPECT_THAT(log_of(dir), ::testing::Not(HasSubstr("sekrit-pw")));
}

}  // namespace
}  // namespace quillpost
