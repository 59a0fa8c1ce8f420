#include "quillpost/host/runtime/web/web_interface.h"

#include <string>
#include <utility>

#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/web/agent.h"

namespace quillpost::web {

std::optional<WebServerOptions> web_server_options(const RuntimeConfig& config) {
  if (!config.web_interface.value_or(false)) return std::nullopt;
  const std::int64_t port = config.web_interface_port.value_or(DEFAULT_PORT);
  if (port < 1 || port > 65535) {
    throw WebInterfaceError("web interface port " + std::to_string(port) +
                            " is outside 1 to 65535");
  }
  WebServerOptions options;
  options.listen = config.web_interface_listen.value_or(std::string(DEFAULT_LISTEN));
  options.port = static_cast<std::uint16_t>(port);
  options.allow_shutdown = config.web_interface_shutdown.value_or(false);
  return options;
}

namespace {

std::optional<std::int64_t> computer_id_of(const RuntimeConfig& config, const World& world) {
  const auto& account = world.configuration.account;
  if (account && account->computer_id) return account->computer_id;
  return config.computer_id;
}

}  // namespace

WebInterface::WebInterface(const RuntimeConfig& config, const World& world,
                           WebServerOptions options, WebServer::ExitFunction exit)
    : board_(std::make_shared<StatusBoard>(world.configuration.computer.name,
                                           computer_id_of(config, world),
                                           secrets_of(config, world.configuration.account))),
      server_(std::move(options), board_, std::move(exit)) {}

WebInterface::~WebInterface() {
  stop();
}

void WebInterface::start(agent::Runtime& runtime) {
  const auto agent = std::make_shared<WebInterfaceAgent>(board_);
  runtime.spawn(agent);
  {
    std::lock_guard lock(mutex_);
    agent_ = runtime.channel(std::string(WebInterfaceAgent::name));
  }
  server_.start();
}

void WebInterface::report_gui_log(const GuiLog& gui_log) {
  std::unique_lock lock(mutex_);
  if (agent_) {
    const agent::Channel channel = agent_;
    lock.unlock();
    channel.send(core::LOG_TO_GUI, gui_log);
    return;
  }
  lock.unlock();
  board_->add_gui_log(gui_log);
}

void WebInterface::stop() {
  server_.stop();
}

std::unique_ptr<WebInterface> start_web_interface(const RuntimeConfig& config, const World& world,
                                                  agent::Runtime& runtime,
                                                  WebServer::ExitFunction exit) {
  auto options = web_server_options(config);
  if (!options) return nullptr;
  auto web = std::make_unique<WebInterface>(config, world, std::move(*options), std::move(exit));
  web->start(runtime);
  return web;
}

}  // namespace quillpost::web
