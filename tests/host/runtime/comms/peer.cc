#include "peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace quillpost::comms::test {

namespace {

std::filesystem::path temp_dir() {
  static const std::filesystem::path dir = [] {
    char templ[] = "/tmp/qp-comms-test-XXXXXX";
    const char* made = mkdtemp(templ);
    if (!made) throw std::runtime_error("mkdtemp failed");
    return std::filesystem::path(made);
  }();
  return dir;
}

void run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
    throw std::runtime_error("failed: " + command);
  }
}

void set_timeout(int fd) {
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

const TestCerts& TestCerts::get() {
  static const TestCerts certs = [] {
    TestCerts c;
    c.dir = temp_dir() / "certs";
    std::filesystem::create_directories(c.dir);
    c.ca_cert = c.dir / "ca.pem";
    c.server_cert = c.dir / "server.pem";
    c.server_key = c.dir / "server.key";
    const std::string d = c.dir.string();
    run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=QuillPost-Test-CA -keyout " +
        d + "/ca.key -out " + d + "/ca.pem");
    std::ofstream(c.dir / "ext.cnf") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
    run("openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout " + d +
        "/server.key -out " + d + "/server.csr");
    run("openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.pem -CAkey " + d +
        "/ca.key -CAcreateserial -days 2 -extfile " + d + "/ext.cnf -out " + d + "/server.pem");
    return c;
  }();
  return certs;
}

Conn::~Conn() {
  close();
}

void Conn::close() {
  if (ssl_) {
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (fd_ >= 0) {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
  }
}

int Conn::read_raw(char* buf, int n) {
  if (fd_ < 0) return -1;
  return ssl_ ? SSL_read(ssl_, buf, n) : static_cast<int>(::recv(fd_, buf, n, 0));
}

std::optional<std::string> Conn::read_line() {
  for (;;) {
    if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    char buf[4096];
    const int n = read_raw(buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    buffer_.append(buf, n);
  }
}

std::string Conn::read_head() {
  for (;;) {
    if (auto end = buffer_.find("\r\n\r\n"); end != std::string::npos) {
      std::string head = buffer_.substr(0, end + 4);
      buffer_.erase(0, end + 4);
      return head;
    }
    char buf[4096];
    const int n = read_raw(buf, sizeof buf);
    if (n <= 0) return std::exchange(buffer_, {});
    buffer_.append(buf, n);
  }
}

std::string Conn::read_bytes(std::size_t n) {
  while (buffer_.size() < n) {
    char buf[4096];
    const int got = read_raw(buf, sizeof buf);
    if (got <= 0) break;
    buffer_.append(buf, got);
  }
  std::string out = buffer_.substr(0, n);
  buffer_.erase(0, out.size());
  return out;
}

void Conn::write(const std::string& data) {
  std::size_t done = 0;
  while (done < data.size() && fd_ >= 0) {
    const int n =
        ssl_ ? SSL_write(ssl_, data.data() + done, static_cast<int>(data.size() - done))
             : static_cast<int>(::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL));
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

Peer::Peer(Handler handler, bool tls) : handler_(std::move(handler)) {
  if (tls) {
    const auto& certs = TestCerts::get();
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx_, certs.server_cert.c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, certs.server_key.c_str(), SSL_FILETYPE_PEM);
  }
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 64) != 0) {
    throw std::runtime_error("peer: cannot listen");
  }
  socklen_t len = sizeof addr;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { serve(); });
}

void Peer::serve() {
  for (;;) {
    pollfd p{listen_fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, 50);
    if (stopping_) return;
    if (ready <= 0) continue;
    const int fd = ::accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    accepted_++;
    set_timeout(fd);
    std::lock_guard lock(mutex_);
    fds_.push_back(fd);
    workers_.emplace_back([this, fd] {
      // OpenSSL writes to the descriptor with write(2): a client that hangs up before the
      // peer's last record or close_notify would end the whole test program with SIGPIPE.
      // Blocked here, the write fails with EPIPE like the plain path's MSG_NOSIGNAL send.
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
      SSL* ssl = nullptr;
      if (ctx_) {
        ssl = SSL_new(ctx_);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
          SSL_free(ssl);
          ERR_clear_error();
          return;  // the client refused us, as some tests intend
        }
      }
      Conn conn(::dup(fd), ssl);
      if (ssl) SSL_set_fd(ssl, conn.fd());
      handler_(conn);
    });
  }
}

Peer::~Peer() {
  stopping_ = true;
  acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    // Wakes handlers blocked in reads.
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& t : workers_) t.join();
  for (int fd : fds_) ::close(fd);
  ::close(listen_fd_);
  if (ctx_) SSL_CTX_free(ctx_);
}

bool wait_for_port(int port, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

Daemon::Daemon(std::vector<std::string> argv) {
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setpgid(0, 0);  // its own group, so that its children end with it
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const int null = ::open("/dev/null", 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
}

Daemon::~Daemon() {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(-pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
}

std::filesystem::path write_temp_file(const std::string& name, const std::string& text) {
  const auto path = temp_dir() / name;
  std::ofstream(path) << text;
  return path;
}

namespace {

// Copies bytes both ways until either side ends.
void relay(int a, int b) {
  char buf[16384];
  for (;;) {
    pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (::poll(p, 2, 5000) <= 0) return;
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      if (::send(i == 0 ? b : a, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) return;
    }
  }
}

}  // namespace

Socks4aProxy::Socks4aProxy() {
  peer_ = std::make_unique<Peer>([this](Conn& conn) {
    const std::string head = conn.read_bytes(8);
    if (head.size() != 8 || head[0] != 4 || head[1] != 1) return;
    const int port =
        (static_cast<unsigned char>(head[2]) << 8) | static_cast<unsigned char>(head[3]);
    std::string user, host;
    for (std::string c; (c = conn.read_bytes(1)) != std::string(1, '\0') && !c.empty();) user += c;
    // 0.0.0.x (x non-zero) means "the host name follows"; otherwise the address is given.
    const bool named = head[4] == 0 && head[5] == 0 && head[6] == 0 && head[7] != 0;
    if (named) {
      for (std::string c; (c = conn.read_bytes(1)) != std::string(1, '\0') && !c.empty();) {
        host += c;
      }
    } else {
      host = std::to_string(static_cast<unsigned char>(head[4])) + "." +
             std::to_string(static_cast<unsigned char>(head[5])) + "." +
             std::to_string(static_cast<unsigned char>(head[6])) + "." +
             std::to_string(static_cast<unsigned char>(head[7]));
    }
    {
      std::lock_guard lock(mutex_);
      last_host_ = host;
    }
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0) {
      conn.write(std::string("\0\x5b\0\0\0\0\0\0", 8));
      return;
    }
    const int up = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool ok = ::connect(up, res->ai_addr, res->ai_addrlen) == 0;
    freeaddrinfo(res);
    if (!ok) {
      ::close(up);
      conn.write(std::string("\0\x5b\0\0\0\0\0\0", 8));
      return;
    }
    conn.write(std::string("\0\x5a\0\0\0\0\0\0", 8));
    relay(conn.fd(), up);
    ::close(up);
  });
}

std::string Socks4aProxy::last_host() const {
  std::lock_guard lock(mutex_);
  return last_host_;
}

}  // namespace quillpost::comms::test
