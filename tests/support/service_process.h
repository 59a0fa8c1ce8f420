// Runs quillpost-service as a child process for a test: on free loopback
// ports, with chosen options, its output collected, its control endpoint at
// hand. The process is stopped by the destructor (and killed by the system
// should the test process die first, or the thread that started it end), so
// no test leaks one.
//
//   quillpost::testing::ServiceProcess service({"--heartbeat-interval", "1"});
//   std::string url = service.base_url() + std::string(discovery_path) + "?...";
//   service.set_fault("discovery", "500");
//   service.push("printjob", {{"id", 7}});
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/test_pki.h"

namespace quillpost::testing {

// The paths of discovery (GET) and login (POST) under the service's base URL.
inline constexpr std::string_view discovery_path = "/v1/discover";
inline constexpr std::string_view login_path = "/v1/login";

struct HttpReply {
  int status = 0;  // 0: no answer (refused, timed out, cut off)
  std::string body;
};

// One plain HTTP/1.1 request to 127.0.0.1:`port` ("Connection: close").
HttpReply http_request(int port, std::string_view method, std::string_view target,
                       std::string_view body = {},
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));

class ServiceProcess {
 public:
  // Starts the service with every port free (0) and then `args`, which may
  // override any option. Waits for its first line and reads the ports from it.
  // Throws std::runtime_error, with the output, when it does not start.
  explicit ServiceProcess(std::vector<std::string> args = {},
                          std::chrono::milliseconds start_timeout = std::chrono::seconds(10));
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Options that serve HTTPS and a TLS socket with the PKI's server
  // certificate (or its wrong-host certificate).
  static std::vector<std::string> tls_args(const TestPki& pki, bool wrong_host = false);

  // Options that put a new service on this one's ports, to restart it under
  // its clients: `stop()` or `kill()` this one, then start another with these.
  std::vector<std::string> same_ports_args() const;

  int http_port() const { return http_port_; }
  int https_port() const { return https_port_; }  // -1: no HTTPS
  int socket_port() const { return socket_port_; }
  int control_port() const { return control_port_; }
  bool socket_tls() const { return socket_tls_; }
  std::string base_url() const;        // "http://127.0.0.1:PORT"
  std::string https_base_url() const;  // "https://127.0.0.1:PORT"
  pid_t pid() const { return pid_; }

  // The control endpoint. Each throws std::runtime_error when the service
  // refuses the request or does not answer.
  nlohmann::json control(std::string_view method, std::string_view path,
                         const nlohmann::json& body = nullptr) const;
  nlohmann::json state() const;  // GET /control/state
  void set_fault(std::string_view knob, std::string_view value) const;
  // POST /control/push with the whole request; returns the connections reached.
  int push(const nlohmann::json& request) const;
  // One frame to every authenticated connection.
  int push(std::string_view event, const nlohmann::json& payload) const;
  int drop_connections() const;
  // Polls the state until `predicate` holds; false after `timeout`.
  bool wait_for_state(const std::function<bool(const nlohmann::json&)>& predicate,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

  // Every line written so far (standard output and error together).
  std::vector<std::string> output() const;
  // Waits until a line containing `text` has been written.
  bool wait_for_output(std::string_view text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

  // SIGTERM, then SIGKILL after `grace`; returns the exit status as a shell
  // reports it (128 + signal when killed). Later calls return the same.
  int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
  // SIGKILL at once, as when the service crashes.
  int kill();

 private:
  void read_output();
  int wait_exit(std::chrono::milliseconds timeout);

  pid_t pid_ = -1;
  int output_fd_ = -1;
  int exit_status_ = -1;
  int http_port_ = -1;
  int https_port_ = -1;
  int socket_port_ = -1;
  int control_port_ = -1;
  bool socket_tls_ = false;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool output_ended_ = false;
};

}  // namespace quillpost::testing
