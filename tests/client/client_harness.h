// A Client wired to a recording system and fake workers: no threads, no
// network. Tests deliver messages as the runtime would and read what the agent
// sent, scheduled, started and logged.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "quillpost/client/client.h"
#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/comms/wire.h"
#include "support/recording_system.h"

namespace quillpost::client::testing {

// A socket that only records what the client does with it.
class FakeSocket : public comms::Socket {
 public:
  explicit FakeSocket(comms::Address local = {"192.0.2.10", 50123}) : local_(std::move(local)) {}

  void close() noexcept override { closed_ = true; }
  bool is_closed() const override { return closed_; }
  comms::Address getsockname() const override {
    if (fail_getsockname) {
      throw comms::SocketFailure(comms::SocketFailure::Kind::closed, "socket closed by peer");
    }
    return local_;
  }
  comms::Address getpeername() const override { return {"198.51.100.1", 9000}; }
  std::size_t read_some(std::span<char>, std::optional<double>) override { return 0; }
  void write_all(std::string_view) override {}

  bool fail_getsockname = false;

 private:
  comms::Address local_;
  bool closed_ = false;
};

struct DiscoveryCall {
  comms::ServiceDiscoveryWorker engine;
  std::string url;
  comms::RequestHeaders headers;
  std::string connection_id;
  std::string mailbox;
  HttpConfig http_config;
  std::filesystem::path logs_dir;
};

struct SocketCall {
  std::string connection_id;
  std::string address;
  std::int64_t port;
  std::optional<Proxy> proxy;
  std::string mailbox;
  comms::ConnectOptions options;
};

struct ListenCall {
  std::shared_ptr<comms::Socket> sock;
  std::string connection_id;
  std::optional<double> timeout;
  std::string mailbox;
};

struct WriterCall {
  std::shared_ptr<comms::Socket> sock;
  std::shared_ptr<Event> closed_event;
  std::shared_ptr<comms::ServerSendQueue> write_queue;
  std::string connection_id;
  std::string mailbox;
};

// Records every worker the client would start.
class FakeWorkers : public comms::Workers {
 public:
  // Makes every start fail as a thread start fails when the system is out of
  // resources.
  bool fail = false;
  void check() const {
    if (fail)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }

  void service_discovery(comms::ServiceDiscoveryWorker engine, std::string url,
                         comms::RequestHeaders headers, std::string connection_id,
                         agent::Mailbox mailbox, HttpConfig http_config,
                         std::filesystem::path logs_dir) override {
    check();
    discoveries.push_back({engine, std::move(url), std::move(headers), std::move(connection_id),
                           mailbox.name(), std::move(http_config), std::move(logs_dir)});
  }
  void create_socket(std::string connection_id, std::string address, std::int64_t port,
                     std::optional<Proxy> proxy, agent::Mailbox mailbox,
                     comms::ConnectOptions options) override {
    check();
    sockets.push_back({std::move(connection_id), std::move(address), port, std::move(proxy),
                       mailbox.name(), options});
  }
  void listen(std::shared_ptr<comms::Socket> sock, std::string connection_id,
              std::optional<double> timeout, agent::Mailbox mailbox,
              std::shared_ptr<comms::ProtocolLog>) override {
    check();
    listeners.push_back({std::move(sock), std::move(connection_id), timeout, mailbox.name()});
  }
  void writer(std::shared_ptr<comms::Socket> sock, std::shared_ptr<Event> closed_event,
              std::shared_ptr<comms::ServerSendQueue> write_queue, std::string connection_id,
              agent::Mailbox mailbox, std::shared_ptr<comms::ProtocolLog>) override {
    check();
    writers.push_back({std::move(sock), std::move(closed_event), std::move(write_queue),
                       std::move(connection_id), mailbox.name()});
  }

  std::vector<DiscoveryCall> discoveries;
  std::vector<SocketCall> sockets;
  std::vector<ListenCall> listeners;
  std::vector<WriterCall> writers;
};

struct HarnessOptions {
  std::optional<Account> account = Account{"user@example.com", "secret-client-key", 7};
  HttpConfig http_config;
  ServerAddress override_server_address;
  std::string server_protocol_logfile;
};

// The discovery answer the harness's server gives.
comms::ServiceDiscoveryPayload answer_for(const std::string& connection_id,
                                          std::optional<double> interval = 30.0);

class Harness {
 public:
  explicit Harness(HarnessOptions options = {});

  // Delivers one message as the runtime would.
  template <typename T>
  void deliver(std::string_view event, T&& payload) {
    client->receive(std::string(event), agent::to_payload(std::forward<T>(payload)));
  }
  void deliver(std::string_view event) { client->receive(std::string(event), agent::Payload{}); }

  // The last scheduled WAIT_OVER, delivered with the payload it was scheduled with.
  void fire_wait_over();

  // Drives the client from Disconnected to the named state; each returns the
  // attempt's connection id.
  std::string to_service_discovery();
  std::string to_connecting(std::optional<double> interval = 30.0);
  std::string to_connected(std::optional<double> interval = 30.0);
  std::string to_handshaked();

  // Everything sent on channels and scheduled so far is forgotten; the log
  // capture and the worker records too.
  void forget();

  // Published connection statuses, GUI lines and the client's log lines.
  std::vector<comms::Connection> statuses() const;
  std::vector<GuiLog> gui_lines() const;
  std::vector<std::string> lines(logs::Level level) const;
  std::vector<std::string> all_lines() const { return capture.texts("client"); }
  // The WAIT_OVER and other self-sent messages with their delays.
  std::vector<agent::testing::Delayed> self_sent(std::string_view event) const;
  // The records put on the main-loop queue, as their reasons.
  std::vector<Reason> main_loop_reasons();

  template <typename S>
  const S& state() const {
    return std::get<S>(client->state());
  }

  std::shared_ptr<FakeSocket> socket = std::make_shared<FakeSocket>();
  logs::Capture capture;
  agent::testing::RecordingSystem system;
  std::shared_ptr<agent::MainLoopQueue> queue = std::make_shared<agent::MainLoopQueue>();
  std::shared_ptr<FakeWorkers> workers = std::make_shared<FakeWorkers>();
  std::unique_ptr<Client> client;
};

}  // namespace quillpost::client::testing
