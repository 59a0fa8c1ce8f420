// Starting the connection's workers, behind an interface so that the client can
// be tested with fakes that record what would have been started.
//
// The real implementation runs each comms function on a new detached thread.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/comms/defs.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/process/event.h"
#include "quillpost/host/runtime/comms/priority_queues.h"
#include "quillpost/host/runtime/comms/protocol_log_writer.h"
#include "quillpost/host/runtime/comms/service_discovery.h"
#include "quillpost/host/runtime/comms/wire.h"

namespace quillpost::comms {

class Workers {
 public:
  virtual ~Workers() = default;

  // Runs `engine` (requests_service_discovery or pycurl_service_discovery).
  virtual void service_discovery(ServiceDiscoveryWorker engine, std::string url,
                                 RequestHeaders headers, std::string connection_id,
                                 agent::Mailbox mailbox, HttpConfig http_config,
                                 std::filesystem::path logs_dir) = 0;
  // Runs create_socket_thread.
  virtual void create_socket(std::string connection_id, std::string address, std::int64_t port,
                             std::optional<Proxy> proxy, agent::Mailbox mailbox,
                             ConnectOptions options) = 0;
  // Runs listen.
  virtual void listen(std::shared_ptr<Socket> sock, std::string connection_id,
                      std::optional<double> timeout, agent::Mailbox mailbox,
                      std::shared_ptr<ProtocolLog> protocol_logwriter) = 0;
  // Runs writer.
  virtual void writer(std::shared_ptr<Socket> sock, std::shared_ptr<Event> closed_event,
                      std::shared_ptr<ServerSendQueue> write_queue, std::string connection_id,
                      agent::Mailbox mailbox, std::shared_ptr<ProtocolLog> protocol_logwriter) = 0;
};

// Each call starts a detached thread running the comms function.
std::shared_ptr<Workers> thread_workers();

}  // namespace quillpost::comms
