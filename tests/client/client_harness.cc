#include "client_harness.h"

namespace quillpost::client::testing {

comms::ServiceDiscoveryPayload answer_for(const std::string& connection_id,
                                          std::optional<double> interval) {
  comms::ServiceDiscoveryPayload answer;
  answer.address = "server.test";
  answer.port = 9000;
  answer.remote_address = "203.0.113.7";
  answer.connection_id = connection_id;
  answer.version = "2";
  answer.heartbeat = comms::Heartbeat{interval, 90.0};
  return answer;
}

Harness::Harness(HarnessOptions options) {
  World world;
  world.configuration.account = options.account;
  world.configuration.computer.name = "office-pc";
  world.configuration.world_id = "world-1";
  world.state.instance_id = "instance-1";
  SystemInfo system_info;
  system_info.hostname = "office-pc.lan";
  system_info.username = "alice";
  client = std::make_unique<Client>(
      world, system_info, queue, options.http_config,
      comms::UrlFactory("http://discovery.test:8080/api", comms::UrlContext{}),
      comms::RequestHeaders{{"User-Agent", "QuillPost/test"}}, ParamMap{{{"region", "eu"}}},
      "/var/log/quillpost", options.override_server_address, options.server_protocol_logfile,
      workers);
  system.attach(*client, "client");
  client->before();
}

void Harness::fire_wait_over() {
  const auto waits = self_sent(Client::WAIT_OVER);
  ASSERT_FALSE(waits.empty()) << "no WAIT_OVER scheduled";
  client->receive(std::string(Client::WAIT_OVER), waits.back().message.payload);
}

std::string Harness::to_service_discovery() {
  fire_wait_over();
  EXPECT_FALSE(workers->discoveries.empty());
  return workers->discoveries.empty() ? "" : workers->discoveries.back().connection_id;
}

std::string Harness::to_connecting(std::optional<double> interval) {
  const auto id = to_service_discovery();
  deliver(comms::SERVICE_DISCOVERY_OK, answer_for(id, interval));
  return id;
}

std::string Harness::to_connected(std::optional<double> interval) {
  const auto id = to_connecting(interval);
  std::shared_ptr<comms::Socket> sock = socket;
  deliver(comms::CONNECTING_COMPLETE,
          comms::ConnectingCompletePayload{id, comms::monotonic(), "connected", true,
                                           std::make_pair(sock, comms::Address{"10.0.0.5", 9443})});
  return id;
}

std::string Harness::to_handshaked() {
  const auto id = to_connected();
  deliver(comms::SERVER_MESSAGE,
          comms::ServerMessage{
              "authenticate.response", {{"success", true}, {"accountId", 42}, {"id", 7}}, id});
  return id;
}

void Harness::forget() {
  system.clear();
  capture.clear();
  *workers = FakeWorkers{};
  while (queue->try_get()) {
  }
}

std::vector<comms::Connection> Harness::statuses() const {
  std::vector<comms::Connection> out;
  for (const auto& m : system.sent_to("pubsub")) {
    if (m.event != agent::PubSubAgent::PUBLISH) continue;
    const auto& inner = agent::payload_as<agent::Message>(m.payload);
    if (inner.event == comms::UPDATE_CONNECTION) {
      out.push_back(agent::payload_as<comms::Connection>(inner.payload));
    }
  }
  return out;
}

std::vector<GuiLog> Harness::gui_lines() const {
  std::vector<GuiLog> out;
  for (const auto& m : system.sent_to("core")) {
    if (m.event == core::LOG_TO_GUI) out.push_back(agent::payload_as<GuiLog>(m.payload));
  }
  return out;
}

std::vector<std::string> Harness::lines(logs::Level level) const {
  std::vector<std::string> out;
  for (const auto& r : capture.records()) {
    if (r.logger == "client" && r.level == level) out.push_back(r.text);
  }
  return out;
}

std::vector<agent::testing::Delayed> Harness::self_sent(std::string_view event) const {
  std::vector<agent::testing::Delayed> out;
  for (const auto& d : system.delayed) {
    if (d.message.event == event) out.push_back(d);
  }
  return out;
}

std::vector<Reason> Harness::main_loop_reasons() {
  std::vector<Reason> out;
  while (auto record = queue->try_get()) {
    out.push_back(agent::payload_as<comms::Disconnected>(*record).reason);
  }
  return out;
}

}  // namespace quillpost::client::testing
