#include "support/service_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace quillpost::testing {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int remaining_ms(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<long long>(left, 0));
}

// Waits until `fd` is ready for `events` or the deadline passes.
bool wait_ready(int fd, short events, Clock::time_point deadline) {
  pollfd p{fd, events, 0};
  for (;;) {
    int n = ::poll(&p, 1, remaining_ms(deadline));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

// The port of " NAME=HOST:PORT" in the first line; -1 for "NAME=-" or none.
int port_of(const std::string& line, const std::string& name) {
  auto start = line.find(" " + name + "=");
  if (start == std::string::npos) return -1;
  auto end = line.find(' ', start + 1);
  std::string value =
      line.substr(start, end == std::string::npos ? std::string::npos : end - start);
  auto colon = value.rfind(':');
  if (colon == std::string::npos) return -1;
  return std::atoi(value.c_str() + colon + 1);
}

}  // namespace

HttpReply http_request(int port, std::string_view method, std::string_view target,
                       std::string_view body, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  HttpReply reply;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return reply;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS) {
    ::close(fd);
    return reply;
  }
  std::string request = std::string(method) + " " + std::string(target) +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                        "Content-Type: application/json\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
  std::size_t sent = 0;
  while (sent < request.size()) {
    if (!wait_ready(fd, POLLOUT, deadline)) {
      ::close(fd);
      return reply;
    }
    ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      ::close(fd);
      return reply;
    }
    sent += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  std::string response;
  char buffer[16384];
  for (;;) {
    if (!wait_ready(fd, POLLIN, deadline)) {
      ::close(fd);
      return reply;  // timed out: no answer
    }
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      response.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    }
  }
  ::close(fd);
  auto header_end = response.find("\r\n\r\n");
  if (response.rfind("HTTP/1.", 0) != 0 || header_end == std::string::npos ||
      response.size() < 12) {
    return reply;
  }
  reply.status = std::atoi(response.c_str() + 9);
  reply.body = response.substr(header_end + 4);
  return reply;
}

ServiceProcess::ServiceProcess(std::vector<std::string> args,
                               std::chrono::milliseconds start_timeout) {
  std::vector<std::string> argv{
      QP_SERVICE_EXECUTABLE, "--http-port", "0", "--socket-port", "0", "--control-port", "0"};
  if (std::find(args.begin(), args.end(), "--cert") != args.end()) {
    argv.insert(argv.end(), {"--https-port", "0"});
  }
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  if (pid_ == 0) {
    // The child: only async-signal-safe calls until exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::dup2(pipe_fds[1], STDERR_FILENO);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  output_fd_ = pipe_fds[0];
  reader_ = std::thread([this] { read_output(); });

  std::string first;
  {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, start_timeout, [this] { return !lines_.empty() || output_ended_; });
    if (!lines_.empty()) first = lines_.front();
  }
  if (first.rfind("quillpost-service listening ", 0) != 0) {
    stop(1s);
    std::string text;
    for (const auto& line : output()) text += "\n  " + line;
    throw std::runtime_error("quillpost-service did not start:" +
                             (text.empty() ? " no output" : text));
  }
  http_port_ = port_of(first, "http");
  https_port_ = port_of(first, "https");
  socket_port_ = port_of(first, "socket");
  control_port_ = port_of(first, "control");
  socket_tls_ = first.find(" tls=true") != std::string::npos;
}

ServiceProcess::~ServiceProcess() {
  stop();
}

std::vector<std::string> ServiceProcess::tls_args(const TestPki& pki, bool wrong_host) {
  return {"--cert", (wrong_host ? pki.wrong_host_cert : pki.server_cert).string(), "--key",
          (wrong_host ? pki.wrong_host_key : pki.server_key).string(), "--socket-tls"};
}

std::vector<std::string> ServiceProcess::same_ports_args() const {
  std::vector<std::string> args{"--http-port",    std::to_string(http_port_),
                                "--socket-port",  std::to_string(socket_port_),
                                "--control-port", std::to_string(control_port_)};
  if (https_port_ > 0) args.insert(args.end(), {"--https-port", std::to_string(https_port_)});
  return args;
}

std::string ServiceProcess::base_url() const {
  return "http://127.0.0.1:" + std::to_string(http_port_);
}

std::string ServiceProcess::https_base_url() const {
  return "https://127.0.0.1:" + std::to_string(https_port_);
}

void ServiceProcess::read_output() {
  std::string partial;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(output_fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    partial.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    std::vector<std::string> complete;
    for (auto newline = partial.find('\n'); newline != std::string::npos;
         newline = partial.find('\n', start)) {
      complete.push_back(partial.substr(start, newline - start));
      start = newline + 1;
    }
    partial.erase(0, start);
    if (!complete.empty()) {
      std::lock_guard lock(mutex_);
      lines_.insert(lines_.end(), complete.begin(), complete.end());
      changed_.notify_all();
    }
  }
  std::lock_guard lock(mutex_);
  if (!partial.empty()) lines_.push_back(partial);
  output_ended_ = true;
  changed_.notify_all();
}

std::vector<std::string> ServiceProcess::output() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool ServiceProcess::wait_for_output(std::string_view text,
                                     std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  });
}

int ServiceProcess::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (r < 0 && errno != EINTR) return 255;
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(5ms);
  }
}

int ServiceProcess::stop(std::chrono::milliseconds grace) {
  if (pid_ > 0 && exit_status_ < 0) {
    ::kill(pid_, SIGTERM);
    exit_status_ = wait_exit(grace);
    if (exit_status_ < 0) {
      ::kill(pid_, SIGKILL);
      exit_status_ = wait_exit(5s);
    }
  }
  if (reader_.joinable()) reader_.join();
  if (output_fd_ >= 0) {
    ::close(output_fd_);
    output_fd_ = -1;
  }
  return exit_status_;
}

int ServiceProcess::kill() {
  if (pid_ > 0 && exit_status_ < 0) {
    ::kill(pid_, SIGKILL);
    exit_status_ = wait_exit(5s);
  }
  return stop();
}

nlohmann::json ServiceProcess::control(std::string_view method, std::string_view path,
                                       const nlohmann::json& body) const {
  HttpReply reply =
      http_request(control_port_, method, path, body.is_null() ? std::string() : body.dump());
  if (reply.status != 200) {
    throw std::runtime_error("control " + std::string(method) + " " + std::string(path) +
                             " answered " + std::to_string(reply.status) + ": " + reply.body);
  }
  return nlohmann::json::parse(reply.body);
}

nlohmann::json ServiceProcess::state() const {
  return control("GET", "/control/state");
}

void ServiceProcess::set_fault(std::string_view knob, std::string_view value) const {
  control("POST", "/control/faults", nlohmann::json{{std::string(knob), std::string(value)}});
}

int ServiceProcess::push(const nlohmann::json& request) const {
  return control("POST", "/control/push", request).at("connections").get<int>();
}

int ServiceProcess::push(std::string_view event, const nlohmann::json& payload) const {
  return push(nlohmann::json{{"event", std::string(event)}, {"payload", payload}});
}

int ServiceProcess::drop_connections() const {
  return control("POST", "/control/drop").at("dropped").get<int>();
}

bool ServiceProcess::wait_for_state(const std::function<bool(const nlohmann::json&)>& predicate,
                                    std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (predicate(state())) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

}  // namespace quillpost::testing
