// What the fault scenarios share: the real `launch` run as a child process
// against a ServiceProcess, polling of its standard output and log file with
// deadlines, the process's thread and descriptor counts, Debian proxy daemons,
// and the table of scenario, expected and observed outcome that the suite
// prints.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/ports.h"
#include "support/service_process.h"
#include "support/temp_dir.h"
#include "table.h"

namespace quillpost::faults {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `predicate` every 20 ms until it holds; false once `timeout` passed.
bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

// How many times `needle` occurs in `haystack`.
int count_of(const std::string& haystack, const std::string& needle);
// The last line of `text` that contains `needle`, or an empty text.
std::string last_line_with(const std::string& text, const std::string& needle);

// A child process with standard output and error in files. Killed with
// SIGKILL and reaped by the destructor when still running; it also dies with
// the test process.
class Child {
 public:
  struct Options {
    std::vector<std::string> argv;          // argv[0] is the program's path
    std::vector<std::string> env;           // extra "NAME=value" entries
    std::filesystem::path out;              // standard output; /dev/null when empty
    std::filesystem::path err;              // standard error; /dev/null when empty
    std::optional<rlim_t> file_size_limit;  // RLIMIT_FSIZE, in bytes
    // Run as this user (and the group of the same number, no other groups)
    // when it is not the current one; needs root. A child that cannot switch
    // exits with 125.
    std::optional<uid_t> uid;
    std::optional<mode_t> umask;
  };
  explicit Child(const Options& options);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  void signal(int sig) const;
  // The exit code, or 128 + the signal that ended it; nullopt on time-out.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  // With a file size limit the child's output goes through pipes that these
  // threads copy to the files, so that the limit does not cut it off.
  std::vector<std::thread> copiers_;
};

// /proc/PID/status "Threads:" and the number of entries of /proc/PID/fd.
int thread_count(pid_t pid);
int fd_count(pid_t pid);

using testing::free_port;
using testing::read_file;
// True once something accepts on 127.0.0.1:`port`.
bool port_open(int port, std::chrono::milliseconds timeout);

// The demo account's secrets.
inline constexpr const char* kDemoEmail = "demo@quillpost.test";
inline constexpr const char* kDemoPassword = "demo";
inline constexpr const char* kDemoClientKey = "demo-client-key";

// The GUI lines on standard output that mark a finished handshake and a
// disconnect.
inline constexpr const char* kHandshaked = "CLIENT_HANDSHAKED: Computer name";
inline constexpr const char* kDisconnected = "CLIENT_DISCONNECTED: ";

// `launch` run headless against a service, with its settings directory in a
// TempDir, a configuration file that logs everything (debug lines included)
// and its output in files.
class LaunchRun {
 public:
  struct Options {
    // Any options; the client key of the demo account is added when they
    // name no credentials.
    std::vector<std::string> args;
    std::string service_url;  // QUILLPOST_SERVICE_URL
    std::string config_text = "log_all = true\n";
    std::optional<rlim_t> file_size_limit;
    bool add_settings_dir = true;
    bool add_client_key = true;  // when `args` name no credentials
    std::optional<uid_t> uid;    // see Child::Options
    std::optional<mode_t> umask;
  };
  explicit LaunchRun(Options options);

  Child& process() { return *child_; }
  const std::filesystem::path& dir() const { return dir_.path(); }
  std::filesystem::path settings_dir() const { return dir_ / "settings"; }
  std::filesystem::path log_file() const { return settings_dir() / "logs" / "quillpost.log"; }
  std::string out() const { return read_file(dir_ / "stdout"); }
  std::string err() const { return read_file(dir_ / "stderr"); }
  std::string log() const { return read_file(log_file()); }

  // Waits until standard output holds `text` at least `times` times.
  bool wait_out(const std::string& text, int times = 1,
                std::chrono::milliseconds timeout = 20s) const;
  // Waits until the log file holds `text` at least `times` times.
  bool wait_log(const std::string& text, int times = 1,
                std::chrono::milliseconds timeout = 20s) const;
  int handshakes() const { return count_of(out(), kHandshaked); }
  int disconnects() const { return count_of(out(), kDisconnected); }
  // Waits for one more handshake than `before`.
  bool wait_handshake_after(int before, std::chrono::milliseconds timeout = 20s) const {
    return wait_out(kHandshaked, before + 1, timeout);
  }
  // Waits for the disconnect number `n` (counted from 1) and returns its
  // text after "Disconnected after ...; ", or an empty text on time-out.
  std::string wait_disconnect(int n, std::chrono::milliseconds timeout = 20s) const;
  // Every reconnect wait the client logged, in ms, in order.
  std::vector<int> reconnect_waits_ms() const;

 private:
  testing::TempDir dir_;
  std::unique_ptr<Child> child_;
};

// Starts launch against `service` and waits for the first steady handshake:
// with a client key the first handshake renames the account's placeholder
// e-mail to "Id N", and that change of e-mail reconnects once (wait 0), so the
// second handshake is the steady one. With an e-mail and password the first
// handshake is the steady one: pass 1.
std::unique_ptr<LaunchRun> start_connected(const testing::ServiceProcess& service,
                                           std::vector<std::string> args = {}, int handshakes = 2);

// A Debian proxy daemon on a free loopback port. Label "http" (tinyproxy) or
// "socks5" (microsocks); with `user` set it asks for that user and password.
class ProxyDaemon {
 public:
  ProxyDaemon(std::string kind, std::string user = "", std::string password = "", int port = 0);
  static bool available(const std::string& kind);
  bool started() const { return started_; }
  int port() const { return port_; }
  void kill();
  void stop_responding() const;  // SIGSTOP: accepts (the kernel does) but never answers
  void resume() const;
  // The launch options that use this proxy.
  std::vector<std::string> launch_args() const;

 private:
  std::string kind_, user_, password_;
  int port_;
  testing::TempDir dir_;
  std::unique_ptr<Child> child_;
  bool started_ = false;
};

// The HTTP library every run is given (--http-library), from the environment
// variable QP_FAULTS_HTTP_LIBRARY; empty: the default. CTest runs the network
// and client suites once more with "pycurl".
const std::string& http_library();

// One row of the fault table. The observed outcome is filled in as the
// scenario goes; the row is recorded when the object goes, even when an
// assertion ended the test early.
class Row {
 public:
  Row(std::string scenario, std::string expected);
  ~Row();
  void observe(const std::string& text);  // appends, separated by "; "
  const std::string& observed() const { return observed_; }

 private:
  std::string scenario_, expected_, observed_;
};

}  // namespace quillpost::faults
