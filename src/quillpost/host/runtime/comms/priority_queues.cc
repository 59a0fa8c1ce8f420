#include "quillpost/host/runtime/comms/priority_queues.h"

namespace quillpost::comms {

bool is_urgent_message(const std::string& msg) {
  return msg == HEARTBEAT || msg == "authenticate";
}

ServerSendQueue::AddResult ServerSendQueue::add(ServerMessagePayload message) {
  {
    std::lock_guard lock(mutex_);
    if (shutdown_reason_) return AddResult::shut_down;
    if (urgent_.size() + normal_.size() >= capacity_) return AddResult::full;
    (is_urgent_message(message.msg) ? urgent_ : normal_).push_back(std::move(message));
  }
  ready_.notify_one();
  return AddResult::queued;
}

void ServerSendQueue::shutdown(const std::string& reason) {
  {
    std::lock_guard lock(mutex_);
    if (!shutdown_reason_) shutdown_reason_ = reason;
    urgent_.clear();
    normal_.clear();
  }
  ready_.notify_all();
}

std::optional<ServerMessagePayload> ServerSendQueue::get(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, timeout,
                  [this] { return shutdown_reason_ || !urgent_.empty() || !normal_.empty(); });
  if (shutdown_reason_) return std::nullopt;
  auto& queue = urgent_.empty() ? normal_ : urgent_;
  if (queue.empty()) return std::nullopt;
  ServerMessagePayload message = std::move(queue.front());
  queue.pop_front();
  return message;
}

bool ServerSendQueue::is_shutdown() const {
  std::lock_guard lock(mutex_);
  return shutdown_reason_.has_value();
}

std::optional<std::string> ServerSendQueue::shutdown_reason() const {
  std::lock_guard lock(mutex_);
  return shutdown_reason_;
}

std::size_t ServerSendQueue::size() const {
  std::lock_guard lock(mutex_);
  return urgent_.size() + normal_.size();
}

std::shared_ptr<ServerSendQueue> make_server_send_queue() {
  return std::make_shared<ServerSendQueue>();
}

}  // namespace quillpost::comms
