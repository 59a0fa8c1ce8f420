#include "quillpost/host/runtime/comms/workers.h"

#include <thread>

#include "quillpost/host/process/threads.h"

namespace quillpost::comms {

namespace {

class ThreadWorkers final : public Workers {
 public:
  void service_discovery(ServiceDiscoveryWorker engine, std::string url, RequestHeaders headers,
                         std::string connection_id, agent::Mailbox mailbox, HttpConfig http_config,
                         std::filesystem::path logs_dir) override {
    start_thread([=] {
      engine(url, headers, connection_id, mailbox, http_config, logs_dir);
    }).detach();
  }
  void create_socket(std::string connection_id, std::string address, std::int64_t port,
                     std::optional<Proxy> proxy, agent::Mailbox mailbox,
                     ConnectOptions options) override {
    start_thread([=] {
      create_socket_thread(connection_id, address, port, proxy, mailbox, options);
    }).detach();
  }
  void listen(std::shared_ptr<Socket> sock, std::string connection_id,
              std::optional<double> timeout, agent::Mailbox mailbox,
              std::shared_ptr<ProtocolLog> protocol_logwriter) override {
    start_thread([=] {
      comms::listen(sock, connection_id, timeout, mailbox, protocol_logwriter);
    }).detach();
  }
  void writer(std::shared_ptr<Socket> sock, std::shared_ptr<Event> closed_event,
              std::shared_ptr<ServerSendQueue> write_queue, std::string connection_id,
              agent::Mailbox mailbox, std::shared_ptr<ProtocolLog> protocol_logwriter) override {
    start_thread([=] {
      comms::writer(sock, closed_event, write_queue, connection_id, mailbox, protocol_logwriter);
    }).detach();
  }
};

}  // namespace

std::shared_ptr<Workers> thread_workers() {
  static const auto workers = std::make_shared<ThreadWorkers>();
  return workers;
}

}  // namespace quillpost::comms
