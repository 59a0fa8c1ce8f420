// The send queue between the client and the connection's writer thread.
//
// `add` never blocks. Heartbeats and the authenticate message are served ahead
// of ordinary messages; within one priority the order of `add` holds.
// `shutdown(reason)` ends the queue: later adds are dropped and the writer's
// `get` returns nullopt once the queue is shut down. The queue holds at most
// its capacity: a server that stops reading would otherwise make it grow
// without end, and `add` refuses with `full` instead.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "quillpost/host/comms/defs.h"

namespace quillpost::comms {

// Messages waiting to be written, at most: at one heartbeat a second about a
// quarter of an hour of a server that reads nothing, and far more than a
// reading server ever lets pile up.
inline constexpr std::size_t MAX_QUEUED_MESSAGES = 1000;

class ServerSendQueue {
 public:
  enum class AddResult { queued, shut_down, full };

  explicit ServerSendQueue(std::size_t capacity = MAX_QUEUED_MESSAGES) : capacity_(capacity) {}

  // Queues `message`, unless the queue is shut down or holds its capacity.
  AddResult add(ServerMessagePayload message);
  // Ends the queue; the first reason is kept. Wakes a waiting `get`.
  void shutdown(const std::string& reason);

  // The next message to send, waiting at most `timeout` for one. nullopt on
  // time-out and, at once, after shutdown (queued messages are then dropped).
  std::optional<ServerMessagePayload> get(std::chrono::milliseconds timeout);

  bool is_shutdown() const;
  std::optional<std::string> shutdown_reason() const;
  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<ServerMessagePayload> urgent_;
  std::deque<ServerMessagePayload> normal_;
  std::optional<std::string> shutdown_reason_;
  const std::size_t capacity_;
};

// Whether `msg` is served ahead of ordinary messages.
bool is_urgent_message(const std::string& msg);

std::shared_ptr<ServerSendQueue> make_server_send_queue();

}  // namespace quillpost::comms
