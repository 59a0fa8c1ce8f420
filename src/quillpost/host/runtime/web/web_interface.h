// The web interface as the application starts it: the status board, its agent
// on the agent runtime, and the HTTP server.
//
//   auto web = start_web_interface(config, world, runtime,
//                                  [&app](const std::string& reason, int code) {
//                                    app.exit(reason, code);
//                                  });
//   // web is null when --web-interface is off.
//   event_logger.report_gui_log(entry) ... web->report_gui_log(entry);
//   ...
//   web->stop();   // before the runtime stops
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/runtime/agent/runtime.h"
#include "quillpost/host/runtime/web/server.h"
#include "quillpost/host/runtime/web/status.h"
#include "quillpost/host/world/world.h"

namespace quillpost::web {

// The port when the configuration names none (the application's default is
// the same, so this matters only for a configuration built without defaults).
inline constexpr std::uint16_t DEFAULT_PORT = 8888;
// Where the server listens when the configuration does not say: this machine
// only. An empty listen text (given on purpose) means every interface.
inline constexpr std::string_view DEFAULT_LISTEN = "127.0.0.1";

// The server's options from the configuration, or nullopt when the web
// interface is off (web_interface unset or false). A port outside 1 to 65535
// is a configuration error: WebInterfaceError.
std::optional<WebServerOptions> web_server_options(const RuntimeConfig& config);

class WebInterface {
 public:
  WebInterface(const RuntimeConfig& config, const World& world, WebServerOptions options,
               WebServer::ExitFunction exit);
  ~WebInterface();  // stops

  // Registers the agent on `runtime` and starts the server. Throws
  // WebInterfaceError when the server cannot listen.
  void start(agent::Runtime& runtime);
  // Hands one GUI log entry to the agent (straight to the board before
  // `start`). Safe from any thread: the event logger calls it for every entry.
  void report_gui_log(const GuiLog& gui_log);
  // Stops the server. The agent stops with its runtime.
  void stop();

  std::uint16_t port() const { return server_.port(); }
  const std::shared_ptr<StatusBoard>& board() const { return board_; }

 private:
  std::shared_ptr<StatusBoard> board_;
  WebServer server_;
  std::mutex mutex_;
  agent::Channel agent_;  // guarded by mutex_
};

// Builds and starts the web interface when the configuration turns it on;
// null when it is off. Throws WebInterfaceError as WebInterface::start does.
std::unique_ptr<WebInterface> start_web_interface(const RuntimeConfig& config, const World& world,
                                                  agent::Runtime& runtime,
                                                  WebServer::ExitFunction exit);

}  // namespace quillpost::web
