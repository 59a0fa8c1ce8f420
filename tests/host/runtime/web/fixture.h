// A running web interface on loopback over a real agent runtime with its
// "pubsub" agent, and the exit requests it made.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "http_client.h"
#include "quillpost/host/comms/defs.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/agent/runtime.h"
#include "quillpost/host/runtime/web/web_interface.h"

namespace quillpost::web::testing {

// Secrets the configuration of every test holds; none may appear in a page.
inline const std::vector<std::string> test_secrets = {"pw-Hunter2!", "ck-0123456789abcdef",
                                                      "proxyuser7", "proxy-pass-9"};

inline RuntimeConfig test_config(bool allow_shutdown) {
  RuntimeConfig config;
  config.web_interface = true;
  config.web_interface_port = 8888;  // replaced by 0 below: the system picks
  config.web_interface_shutdown = allow_shutdown;
  config.email = "user@example.com";
  config.password = test_secrets[0];
  config.client_key = test_secrets[1];
  config.proxy =
      Proxy{"socks5", "proxy.example", "1080", std::make_pair(test_secrets[2], test_secrets[3])};
  return config;
}

inline World test_world() {
  World world;
  world.configuration.computer.name = "desk-01";
  world.configuration.account = Account{"user@example.com", test_secrets[1], std::nullopt};
  world.configuration.world_id = "world-1";
  world.state.instance_id = "instance-1";
  return world;
}

class WebInterfaceFixture {
 public:
  explicit WebInterfaceFixture(bool allow_shutdown,
                               std::function<void(WebServerOptions&)> adjust = {}) {
    runtime_.spawn(std::make_shared<agent::PubSubAgent>());
    runtime_.start();
    const RuntimeConfig config = test_config(allow_shutdown);
    auto options = *web_server_options(config);
    options.port = 0;
    if (adjust) adjust(options);
    web_ = std::make_unique<WebInterface>(config, test_world(), options,
                                          [this](const std::string& reason, int code) {
                                            std::lock_guard lock(mutex_);
                                            exits_.emplace_back(reason, code);
                                            changed_.notify_all();
                                          });
    web_->start(runtime_);
    // The agent subscribes from its own start hook: publish until the board
    // shows it, after which every later publication arrives in order.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    comms::Connection first{
        comms::ClientStatus::disconnected, std::nullopt, {{"reason", "just started"}}};
    while (std::chrono::steady_clock::now() < deadline) {
      publish(first);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (status()["connection"]["info"].value("reason", "") == "just started") return;
    }
    ADD_FAILURE() << "the web interface's agent never saw a published status";
  }
  ~WebInterfaceFixture() {
    web_->stop();
    runtime_.stop();
  }

  std::uint16_t port() const { return web_->port(); }
  WebInterface& web() { return *web_; }

  void publish(const comms::Connection& connection) {
    runtime_.channel(std::string(agent::PubSubAgent::name))
        .send(agent::PubSubAgent::PUBLISH,
              agent::publication(comms::UPDATE_CONNECTION, connection));
  }

  nlohmann::json status() {
    const HttpReply reply = request(port(), "GET", "/status");
    if (reply.status != 200) return nlohmann::json::object({{"connection", {{"info", {}}}}});
    return nlohmann::json::parse(reply.body);
  }

  // GET /status until `done` holds for it (or 5 s pass); returns the last one.
  nlohmann::json status_when(const std::function<bool(const nlohmann::json&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    nlohmann::json last = status();
    while (!done(last) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      last = status();
    }
    return last;
  }

  std::vector<std::pair<std::string, int>> exits_after(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [&] { return !exits_.empty(); });
    return exits_;
  }

 private:
  agent::Runtime runtime_;
  std::unique_ptr<WebInterface> web_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<std::string, int>> exits_;
};

}  // namespace quillpost::web::testing
