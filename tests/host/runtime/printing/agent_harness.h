// The printing agent in a real agent runtime, with a stand-in for the
// connection client: the test hands it the link's state and the service's
// messages, and reads what it sends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quillpost/host/comms/defs.h"
#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/agent/runtime.h"
#include "quillpost/host/runtime/printing/agent.h"

namespace quillpost::printing::test {

struct Frame {
  std::string event;
  nlohmann::json payload;
};

// Takes what the printing agent sends to the service.
class Link : public agent::SimpleAgent {
 public:
  static constexpr std::string_view name = "link";

  static constexpr std::string_view READY = "harness_ready";

  void before() override {
    const auto pubsub = channel(std::string(agent::PubSubAgent::name));
    pubsub.send(agent::PubSubAgent::SUBSCRIBE, core::SEND_SERVER);
    pubsub.send(agent::PubSubAgent::SUBSCRIBE, READY);
  }
  void receive(const std::string& event, const agent::Payload& payload) override {
    if (event == READY) {
      {
        std::lock_guard lock(mutex_);
        ready_ = true;
      }
      changed_.notify_all();
      return;
    }
    if (event != core::SEND_SERVER) return;
    const auto& message = agent::payload_as<agent::Message>(payload);
    {
      std::lock_guard lock(mutex_);
      frames_.push_back({message.event, agent::payload_as<nlohmann::json>(message.payload)});
    }
    changed_.notify_all();
  }

  // The first frame from `from` on that satisfies `match`; nullopt after `limit`.
  std::optional<Frame> wait(const std::function<bool(const Frame&)>& match,
                            std::chrono::milliseconds limit, std::size_t from = 0) {
    std::unique_lock lock(mutex_);
    std::optional<Frame> found;
    changed_.wait_for(lock, limit, [&] {
      for (std::size_t i = from; i < frames_.size(); ++i) {
        if (match(frames_[i])) {
          found = frames_[i];
          return true;
        }
      }
      return false;
    });
    return found;
  }
  std::vector<Frame> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  bool wait_ready(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return ready_; });
  }

 private:
  bool ready_ = false;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Frame> frames_;
};

class AgentHarness {
 public:
  explicit AgentHarness(PrintingSettings settings) : link_(std::make_shared<Link>()) {
    runtime_.spawn(std::make_shared<agent::PubSubAgent>());
    runtime_.spawn(std::make_shared<PrintingAgent>(std::move(settings)));
    runtime_.spawn(link_);
    runtime_.start();
    // The agents' subscriptions are in before anything is published: the
    // link subscribes last, and pubsub takes messages in order.
    do {
      publish(Link::READY, 0);
    } while (!link_->wait_ready(std::chrono::milliseconds(20)));
  }
  ~AgentHarness() { runtime_.stop(); }

  void set_link(comms::ClientStatus status) {
    publish(comms::UPDATE_CONNECTION, comms::Connection{status, std::nullopt, {}});
  }
  void handshake() { set_link(comms::ClientStatus::handshaked); }
  void disconnect() { set_link(comms::ClientStatus::disconnected); }
  void message(const std::string& event, nlohmann::json payload) {
    publish(comms::SERVER_MESSAGE, comms::ServerMessage{event, std::move(payload), "c-1"});
  }

  // The first status of `job_id` in `state`.
  std::optional<nlohmann::json> status(const std::string& job_id, const std::string& state,
                                       std::chrono::milliseconds limit = std::chrono::seconds(20),
                                       std::size_t from = 0) {
    const auto frame = link_->wait(
        [&](const Frame& f) {
          return f.event == "print.status" && f.payload.value("jobId", "") == job_id &&
                 f.payload.value("state", "") == state;
        },
        limit, from);
    return frame ? std::optional(frame->payload) : std::nullopt;
  }
  // The first status of `job_id` whose reason holds `text`.
  std::optional<nlohmann::json> reason(const std::string& job_id, const std::string& text,
                                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto frame = link_->wait(
        [&](const Frame& f) {
          return f.event == "print.status" && f.payload.value("jobId", "") == job_id &&
                 f.payload.value("reason", "").find(text) != std::string::npos;
        },
        limit);
    return frame ? std::optional(frame->payload) : std::nullopt;
  }
  // The printer list as the service keeps it (each whole list, then the
  // state changes applied in order), the first time from frame `from` on
  // that it satisfies `match`.
  std::optional<nlohmann::json> printers(const std::function<bool(const nlohmann::json&)>& match,
                                         std::chrono::milliseconds limit, std::size_t from = 0) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
      nlohmann::json list;
      const std::vector<Frame> all = link_->frames();
      for (std::size_t i = 0; i < all.size(); ++i) {
        const Frame& f = all[i];
        if (f.event == "printers") {
          list = f.payload["printers"];
        } else if (f.event == "printers.state" && list.is_array()) {
          for (const auto& change : f.payload["printers"]) {
            for (auto& printer : list) {
              if (printer["name"] != change["name"]) continue;
              for (const char* key : {"state", "stateReasons", "acceptingJobs"}) {
                printer[key] = change[key];
              }
            }
          }
        } else {
          continue;
        }
        if (i >= from && list.is_array() && match(list)) return list;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
  }
  std::vector<Frame> frames() const { return link_->frames(); }

 private:
  template <typename T>
  void publish(std::string_view topic, T payload) {
    runtime_.channel(std::string(agent::PubSubAgent::name))
        .send(agent::PubSubAgent::PUBLISH, agent::publication(topic, std::move(payload)));
  }

  agent::Runtime runtime_;
  std::shared_ptr<Link> link_;
};

}  // namespace quillpost::printing::test
