#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "support/unprivileged.h"

namespace quillpost::faults {

bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!predicate()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

int count_of(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (auto at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++n;
  }
  return n;
}

std::string last_line_with(const std::string& text, const std::string& needle) {
  const auto at = text.rfind(needle);
  if (at == std::string::npos) return "";
  const auto begin = text.rfind('\n', at);
  const auto end = text.find('\n', at);
  const auto from = begin == std::string::npos ? 0 : begin + 1;
  return text.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

Child::Child(const Options& options) {
  const std::string out = options.out.empty() ? "/dev/null" : options.out.string();
  const std::string err = options.err.empty() ? "/dev/null" : options.err.string();
  std::vector<char*> argv;
  std::vector<std::string> args = options.argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = options.env;
  int pipes[2][2] = {{-1, -1}, {-1, -1}};
  if (options.file_size_limit) {
    for (auto& p : pipes) {
      if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    }
  }
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int o =
        pipes[0][1] >= 0 ? pipes[0][1] : ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int e =
        pipes[1][1] >= 0 ? pipes[1][1] : ::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (o < 0 || e < 0) ::_exit(126);
    ::dup2(o, STDOUT_FILENO);
    ::dup2(e, STDERR_FILENO);
    const int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, STDIN_FILENO);
    if (options.file_size_limit) {
      // A write past the limit then fails with EFBIG, as on a full disk,
      // instead of killing the process with SIGXFSZ.
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{*options.file_size_limit, *options.file_size_limit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.umask) ::umask(*options.umask);
    if (options.uid && *options.uid != ::geteuid()) {
      if (!testing::switch_to_user(*options.uid)) ::_exit(125);
    }
    for (auto& e_ : env) ::putenv(e_.data());
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (options.file_size_limit) {
    const std::string files[2] = {out, err};
    for (int i = 0; i < 2; ++i) {
      ::close(pipes[i][1]);
      copiers_.emplace_back([fd = pipes[i][0], file = files[i]] {
        std::ofstream to(file, std::ios::binary | std::ios::app);
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
          to.write(buffer, n);
          to.flush();
        }
        ::close(fd);
      });
    }
  }
}

Child::~Child() {
  if (running()) {
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (auto& copier : copiers_) copier.join();
}

bool Child::running() {
  if (status_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return false;
}

void Child::signal(int sig) const {
  if (!status_) ::kill(pid_, sig);
}

std::optional<int> Child::wait_exit(std::chrono::milliseconds timeout) {
  eventually([this] { return !running(); }, timeout);
  return status_;
}

int thread_count(pid_t pid) {
  std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  }
  return -1;
}

int fd_count(pid_t pid) {
  std::error_code ec;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return ec ? -1 : n;
}

bool port_open(int port, std::chrono::milliseconds timeout) {
  return eventually(
      [port] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
      },
      timeout);
}

const std::string& http_library() {
  static const std::string library = [] {
    const char* value = std::getenv("QP_FAULTS_HTTP_LIBRARY");
    return std::string(value ? value : "");
  }();
  return library;
}

LaunchRun::LaunchRun(Options options) {
  std::vector<std::string> argv = {QP_BINARY_DIR "/bin/launch", "--headless",
                                   "--shutdown-on-sigint"};
  if (options.add_settings_dir) {
    argv.push_back("--settings-dir=" + settings_dir().string());
    argv.push_back("--settings-dir-create");
  }
  std::ofstream(dir_ / "client.conf") << options.config_text;
  if (options.uid) {
    // The other user reaches the settings directory below and reads the
    // configuration, nothing else of ours.
    ::chmod(dir_.path().c_str(), 0711);
    ::chmod((dir_ / "client.conf").c_str(), 0644);
  }
  argv.push_back("--config-file=" + (dir_ / "client.conf").string());
  const bool credentials = std::any_of(options.args.begin(), options.args.end(), [](const auto& a) {
    return a.rfind("--client-key", 0) == 0 || a.rfind("--email", 0) == 0 ||
           a == "--use-enviroment-variables";
  });
  if (!credentials && options.add_client_key)
    options.args.push_back(std::string("--client-key=") + kDemoClientKey);
  const bool library = std::any_of(options.args.begin(), options.args.end(),
                                   [](const auto& a) { return a.rfind("--http-library", 0) == 0; });
  if (!library && !http_library().empty())
    options.args.push_back("--http-library=" + http_library());
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  Child::Options child;
  child.argv = argv;
  if (!options.service_url.empty()) child.env = {"QUILLPOST_SERVICE_URL=" + options.service_url};
  child.out = dir_ / "stdout";
  child.err = dir_ / "stderr";
  child.file_size_limit = options.file_size_limit;
  child.uid = options.uid;
  child.umask = options.umask;
  child_ = std::make_unique<Child>(child);
}

bool LaunchRun::wait_out(const std::string& text, int times,
                         std::chrono::milliseconds timeout) const {
  return eventually([&] { return count_of(out(), text) >= times; }, timeout);
}

bool LaunchRun::wait_log(const std::string& text, int times,
                         std::chrono::milliseconds timeout) const {
  return eventually([&] { return count_of(log(), text) >= times; }, timeout);
}

std::string LaunchRun::wait_disconnect(int n, std::chrono::milliseconds timeout) const {
  if (!wait_out(kDisconnected, n, timeout)) return "";
  std::string text = out();
  std::size_t at = 0;
  for (int i = 0; i < n; ++i) at = text.find(kDisconnected, i == 0 ? 0 : at + 1);
  const auto end = text.find('\n', at);
  std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
  const auto semi = line.find("; ");
  return semi == std::string::npos ? line : line.substr(semi + 2);
}

std::vector<int> LaunchRun::reconnect_waits_ms() const {
  std::vector<int> waits;
  const std::string text = log();
  const std::string marker = "reconnecting in ";
  for (auto at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
    waits.push_back(std::atoi(text.c_str() + at + marker.size()));
  }
  return waits;
}

std::unique_ptr<LaunchRun> start_connected(const testing::ServiceProcess& service,
                                           std::vector<std::string> args, int handshakes) {
  LaunchRun::Options options;
  options.args = std::move(args);
  options.service_url = service.base_url();
  auto run = std::make_unique<LaunchRun>(options);
  if (!run->wait_out(kHandshaked, handshakes)) {
    ADD_FAILURE() << "launch did not connect; stdout:\n"
                  << run->out() << "\nstderr:\n"
                  << run->err();
    return nullptr;
  }
  return run;
}

ProxyDaemon::ProxyDaemon(std::string kind, std::string user, std::string password, int port)
    : kind_(std::move(kind)),
      user_(std::move(user)),
      password_(std::move(password)),
      port_(port == 0 ? free_port() : port) {
  if (!available(kind_)) return;
  Child::Options options;
  if (kind_ == "http") {
    std::string conf = "Port " + std::to_string(port_) +
                       "\nListen 127.0.0.1\nTimeout 600\nMaxClients 20\nAllow 127.0.0.1\n"
                       "DisableViaHeader Yes\n";
    if (!user_.empty()) conf += "BasicAuth " + user_ + " " + password_ + "\n";
    std::ofstream(dir_ / "tinyproxy.conf") << conf;
    options.argv = {"/usr/bin/tinyproxy", "-d", "-c", (dir_ / "tinyproxy.conf").string()};
  } else {
    options.argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(port_)};
    if (!user_.empty()) options.argv.insert(options.argv.end(), {"-u", user_, "-P", password_});
  }
  options.out = dir_ / "proxy.out";
  options.err = dir_ / "proxy.err";
  child_ = std::make_unique<Child>(options);
  started_ = port_open(port_, 5s);
}

bool ProxyDaemon::available(const std::string& kind) {
  return ::access(kind == "http" ? "/usr/bin/tinyproxy" : "/usr/bin/microsocks", X_OK) == 0;
}

void ProxyDaemon::kill() {
  child_.reset();
}
void ProxyDaemon::stop_responding() const {
  if (child_) child_->signal(SIGSTOP);
}
void ProxyDaemon::resume() const {
  if (child_) child_->signal(SIGCONT);
}

std::vector<std::string> ProxyDaemon::launch_args() const {
  std::vector<std::string> args = {kind_ == "http" ? "--proxy-http" : "--proxy-socks5",
                                   "--proxy-host=127.0.0.1",
                                   "--proxy-port=" + std::to_string(port_)};
  if (!user_.empty()) {
    args.push_back("--proxy-username=" + user_);
    args.push_back("--proxy-password=" + password_);
  }
  return args;
}

namespace {

std::mutex rows_mutex;
std::vector<std::vector<std::string>>& process_rows() {
  static std::vector<std::vector<std::string>> rows;
  return rows;
}

std::string one_line(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\t', ' ');
  return text;
}

// Prints this process's rows when the test program ends.
class TableEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    std::lock_guard lock(rows_mutex);
    if (!process_rows().empty()) print_table(process_rows());
  }
};

[[maybe_unused]] const auto* const table_environment =
    ::testing::AddGlobalTestEnvironment(new TableEnvironment);

}  // namespace

Row::Row(std::string scenario, std::string expected)
    : scenario_(std::move(scenario) + (http_library().empty() ? "" : " [" + http_library() + "]")),
      expected_(std::move(expected)) {}

Row::~Row() {
  const bool failed = ::testing::Test::HasFailure();
  std::string observed = observed_.empty() ? "(nothing)" : observed_;
  if (failed) observed = "FAILED: " + observed;
  std::vector<std::string> row = {one_line(scenario_), one_line(expected_), one_line(observed)};
  std::lock_guard lock(rows_mutex);
  process_rows().push_back(row);
#ifdef QP_FAULTS_TABLE
  // One write per row with O_APPEND: rows of test programs that run at the
  // same time do not mix.
  const int fd = ::open(QP_FAULTS_TABLE, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    const std::string line = row[0] + "\t" + row[1] + "\t" + row[2] + "\n";
    [[maybe_unused]] const auto n = ::write(fd, line.data(), line.size());
    ::close(fd);
  }
#endif
}

void Row::observe(const std::string& text) {
  if (!observed_.empty()) observed_ += "; ";
  observed_ += text;
}

}  // namespace quillpost::faults
