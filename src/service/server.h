// The service itself: discovery and login over HTTP(S), the client socket
// over TCP or TLS, and the control endpoint, all on one io_context.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "service/accounts.h"
#include "service/options.h"

namespace quillpost::service {

// The paths the client's URL factory appends to the service's base URL.
inline constexpr std::string_view discovery_path = "/v1/discover";
inline constexpr std::string_view login_path = "/v1/login";

// The ports in use once every listener is bound; -1 for a listener not opened.
struct BoundPorts {
  int http = -1;
  int https = -1;
  int socket = -1;
  int control = -1;
};

// Receives each log line (no line feed). Lines never hold passwords or client keys.
using LogSink = std::function<void(const std::string&)>;

class Service {
 public:
  // Loads the TLS material and binds every listener. Throws
  // std::runtime_error saying what failed (a port in use, an unreadable key).
  Service(ServiceOptions options, AccountStore accounts, LogSink log);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  const BoundPorts& ports() const;
  // "quillpost-service listening http=HOST:PORT https=HOST:PORT|- socket=HOST:PORT
  // control=HOST:PORT tls=true|false"
  std::string listening_line() const;

  // Serves on the calling thread until stop() is called or, with
  // `handle_signals`, until SIGINT or SIGTERM arrives.
  void run(bool handle_signals);
  // Makes run() return soon. Callable from any thread.
  void stop();

  // Defined and used only inside server.cc.
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillpost::service
