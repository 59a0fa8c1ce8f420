// The web interface's HTTP server: a small local server that shows the status
// board and, when allowed, takes a shutdown request.
//
//   GET  /          the status page (HTML; its script polls /status every second)
//   GET  /status    the status board as JSON
//   POST /shutdown  asks the application to exit with code 0 when allowed, else 403
//
// Only requests whose Host header names this machine are served, others get
// 403 (see host_check.h). Any other path is 404, another method on these
// paths 405. Requests are
// bounded: headers over `max_header_bytes` get 431, bodies over
// `max_body_bytes` 413, and a request not complete within `request_timeout`
// closes the connection. Every socket operation runs on one strand of one
// io_context, served by one thread of the server's own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "quillpost/host/runtime/web/status.h"

namespace quillpost::web {

struct WebServerOptions {
  // An IP address or host name; empty listens on all interfaces.
  std::string listen = "127.0.0.1";
  std::uint16_t port = 8888;  // 0: the system picks one (see WebServer::port)
  bool allow_shutdown = false;
  // Enough for any browser's request headers; nothing here takes a body.
  std::size_t max_header_bytes = 8 * 1024;
  std::size_t max_body_bytes = 1024;
  // Time for a whole request to arrive, and for an answer to be taken.
  std::chrono::milliseconds request_timeout{10'000};
  // Connections served at once; more are closed as soon as they are accepted.
  std::size_t max_connections = 64;
  // Lines about single connections and requests (refusals, bad requests) are
  // logged at most once per interval, so that a flood cannot fill the disk.
  std::chrono::milliseconds line_interval{10'000};
};

// The server could not listen (address not resolved, port taken, no permission).
class WebInterfaceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class WebServer {
 public:
  // The application's exit(reason, exit_code).
  using ExitFunction = std::function<void(const std::string& reason, int exit_code)>;

  WebServer(WebServerOptions options, std::shared_ptr<const StatusBoard> board, ExitFunction exit);
  ~WebServer();  // stops
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds, listens and starts serving on the server's thread. Throws
  // WebInterfaceError when it cannot listen.
  void start();
  // The port listened on (the system's pick when the options said 0).
  std::uint16_t port() const;
  // The address listened on, as text ("127.0.0.1", "::").
  std::string address() const;
  // Closes every connection and joins the server's thread. Idempotent.
  // REQUIRES: not called from the exit function (which runs on that thread).
  void stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillpost::web
