// Loopback peers for the comms tests: a TCP/TLS server run by a handler, test
// certificates made with the openssl tool, and Debian's proxy daemons.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/ports.h"

namespace quillpost::comms::test {

// A CA and a server certificate for 127.0.0.1 and "localhost", made once per
// test binary in a temporary directory.
struct TestCerts {
  std::filesystem::path dir;
  std::filesystem::path ca_cert;
  std::filesystem::path server_cert;
  std::filesystem::path server_key;
  static const TestCerts& get();
};

// One accepted connection, plain or TLS. Reads time out after 5 s so that no
// handler can hang a test.
class Conn {
 public:
  Conn(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
  ~Conn();
  // One line without its line feed; empty optional at end of stream or error.
  std::optional<std::string> read_line();
  // Up to the first blank line (an HTTP request head).
  std::string read_head();
  void write(const std::string& data);
  // Raw bytes, up to n.
  std::string read_bytes(std::size_t n);
  void close();
  int fd() const { return fd_; }

 private:
  int read_raw(char* buf, int n);
  int fd_;
  SSL* ssl_;
  std::string buffer_;
};

// A loopback server on an OS-picked port; each connection runs `handler` on
// its own thread. The destructor stops accepting and joins every thread.
class Peer {
 public:
  using Handler = std::function<void(Conn&)>;
  explicit Peer(Handler handler, bool tls = false);
  ~Peer();
  int port() const { return port_; }
  int accepted() const { return accepted_.load(); }

 private:
  void serve();
  Handler handler_;
  SSL_CTX* ctx_ = nullptr;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> workers_;
  std::vector<int> fds_;
};

using quillpost::testing::free_port;

// Waits until something accepts on 127.0.0.1:port; false after `seconds`.
bool wait_for_port(int port, double seconds = 5.0);

// A daemon started for a test; killed and reaped by the destructor.
class Daemon {
 public:
  explicit Daemon(std::vector<std::string> argv);
  ~Daemon();
  bool running() const { return pid_ > 0; }

 private:
  int pid_ = -1;
};

// Writes `text` to a new file in the test's temporary directory.
std::filesystem::path write_temp_file(const std::string& name, const std::string& text);

// A minimal SOCKS4a proxy (no Debian daemon speaks it): records the host
// name it was asked for and relays to it.
class Socks4aProxy {
 public:
  Socks4aProxy();
  int port() const { return peer_->port(); }
  std::string last_host() const;

 private:
  mutable std::mutex mutex_;
  std::string last_host_;
  std::unique_ptr<Peer> peer_;
};

}  // namespace quillpost::comms::test
