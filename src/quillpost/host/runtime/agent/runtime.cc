#include "quillpost/host/runtime/agent/runtime.h"

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "quillpost/host/process/threads.h"
#include "quillpost/host/process/timer_duration.h"

namespace quillpost::agent {

namespace asio = boost::asio;

namespace {

// One registered agent: its object and the strand its messages run on.
struct Slot {
  Slot(AgentRef r, std::shared_ptr<SimpleAgent> a, asio::io_context& io)
      : ref(std::move(r)), agent(std::move(a)), strand(asio::make_strand(io)) {}
  AgentRef ref;
  std::shared_ptr<SimpleAgent> agent;
  asio::strand<asio::io_context::executor_type> strand;
  std::atomic<bool> live{true};
};

std::string describe(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace

struct Runtime::Impl : std::enable_shared_from_this<Runtime::Impl> {
  enum class Phase { idle, running, stopped };

  explicit Impl(Options o) : options(o), logger(create_logger("agent")) {}

  ~Impl() {
    // Timers and slots go before the io_context they belong to.
    timers.clear();
    by_name.clear();
    by_serial.clear();
  }

  // Queues `message` for the agent `serial`; dropped once stopped or unknown.
  void post(std::uint64_t serial, Message message) {
    std::lock_guard lock(mutex);
    if (phase == Phase::stopped) return;
    auto it = by_serial.find(serial);
    if (it == by_serial.end()) return;
    dispatch(it->second, std::move(message));
  }

  void post_to_name(const std::string& name, Message message) {
    std::lock_guard lock(mutex);
    if (phase == Phase::stopped) return;
    auto it = by_name.find(name);
    if (it == by_name.end()) {
      logger.warning("no agent named '%s'; dropping '%s'", name, message.event);
      return;
    }
    dispatch(it->second, std::move(message));
  }

  // Requires `mutex`.
  void dispatch(const std::shared_ptr<Slot>& slot, Message message) {
    queued.fetch_add(1, std::memory_order_relaxed);
    asio::post(slot->strand, [this, slot, m = std::move(message)]() {
      run(*slot, m);
      // The lock only for the last one: a waiter checks `queued` under it,
      // so the notification cannot fall between its check and its wait.
      if (queued.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::lock_guard lock(mutex);
        drained.notify_all();
      }
    });
  }

  void run(Slot& slot, const Message& message) {
    if (!slot.live.load(std::memory_order_acquire)) return;
    try {
      slot.agent->deliver(message);
    } catch (...) {
      logger.exception("agent %s: handling '%s' failed: %s", slot.ref.name, message.event,
                       describe(std::current_exception()));
    }
  }

  void start_before(const std::shared_ptr<Slot>& slot) {
    asio::post(slot->strand, [this, slot]() {
      if (!slot->live.load(std::memory_order_acquire)) return;
      try {
        slot->agent->before();
      } catch (...) {
        logger.exception("agent %s: before() failed: %s", slot->ref.name,
                         describe(std::current_exception()));
      }
    });
  }

  void send_after(const AgentRef& to, Message message, double delay_seconds) {
    if (!(delay_seconds > 0.0)) {
      post(to.serial, std::move(message));
      return;
    }
    std::lock_guard lock(mutex);
    if (phase == Phase::stopped) return;
    const std::uint64_t id = ++next_timer;
    auto timer = std::make_unique<asio::steady_timer>(io);
    timer->expires_after(timer_duration(delay_seconds));
    timer->async_wait(
        [this, id, serial = to.serial, m = std::move(message)](boost::system::error_code ec) {
          {
            std::lock_guard timers_lock(mutex);
            timers.erase(id);
          }
          if (!ec) post(serial, m);
        });
    timers.emplace(id, std::move(timer));
  }

  Options options;
  logs::Logger logger;
  asio::io_context io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::vector<std::thread> threads;

  std::mutex mutex;  // guards what follows
  Phase phase = Phase::idle;
  std::uint64_t next_serial = 0;
  std::uint64_t next_timer = 0;
  std::atomic<std::size_t> queued{0};  // messages posted and not yet handled
  std::condition_variable drained;     // notified when `queued` falls to 0
  std::map<std::string, std::shared_ptr<Slot>, std::less<>> by_name;
  std::unordered_map<std::uint64_t, std::shared_ptr<Slot>> by_serial;
  std::unordered_map<std::uint64_t, std::unique_ptr<asio::steady_timer>> timers;
};

namespace {

// Sends to whichever agent holds a name at the moment of sending.
class NameSink final : public MessageSink {
 public:
  NameSink(std::weak_ptr<Runtime::Impl> impl, std::string name)
      : impl_(std::move(impl)), name_(std::move(name)) {}
  void post(Message message) override;

 private:
  std::weak_ptr<Runtime::Impl> impl_;
  std::string name_;
};

// Sends to one agent, whatever later holds its name.
class AgentSink final : public MessageSink {
 public:
  AgentSink(std::weak_ptr<Runtime::Impl> impl, std::uint64_t serial)
      : impl_(std::move(impl)), serial_(serial) {}
  void post(Message message) override;

 private:
  std::weak_ptr<Runtime::Impl> impl_;
  std::uint64_t serial_;
};

}  // namespace

void NameSink::post(Message message) {
  if (auto impl = impl_.lock()) impl->post_to_name(name_, std::move(message));
}

void AgentSink::post(Message message) {
  if (auto impl = impl_.lock()) impl->post(serial_, std::move(message));
}

Runtime::Runtime() : Runtime(Options{}) {}

Runtime::Runtime(Options options) : impl_(std::make_shared<Impl>(options)) {
  if (impl_->options.threads == 0) impl_->options.threads = 1;
}

Runtime::~Runtime() {
  stop();
}

AgentRef Runtime::spawn(std::shared_ptr<SimpleAgent> agent, const std::string& name) {
  std::lock_guard lock(impl_->mutex);
  AgentRef ref{name, ++impl_->next_serial};
  if (impl_->phase == Impl::Phase::stopped) return ref;
  agent->attach(Context{ref, this});
  auto slot = std::make_shared<Slot>(ref, std::move(agent), impl_->io);
  if (auto old = impl_->by_name.find(name); old != impl_->by_name.end()) {
    old->second->live.store(false, std::memory_order_release);
    impl_->by_serial.erase(old->second->ref.serial);
  }
  impl_->by_name[name] = slot;
  impl_->by_serial[ref.serial] = slot;
  impl_->start_before(slot);
  return ref;
}

bool Runtime::stop_agent(const std::string& name) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->by_name.find(name);
  if (it == impl_->by_name.end()) return false;
  it->second->live.store(false, std::memory_order_release);
  impl_->by_serial.erase(it->second->ref.serial);
  impl_->by_name.erase(it);
  return true;
}

void Runtime::start() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->phase != Impl::Phase::idle) return;
  impl_->phase = Impl::Phase::running;
  impl_->work.emplace(asio::make_work_guard(impl_->io));
  for (std::size_t i = 0; i < impl_->options.threads; ++i) {
    impl_->threads.push_back(start_thread([impl = impl_.get()] {
      // Handlers catch their own exceptions; this only guards the loop itself.
      for (;;) {
        try {
          impl->io.run();
          return;
        } catch (...) {
          impl->logger.exception("agent runtime loop: %s", describe(std::current_exception()));
        }
      }
    }));
  }
}

bool Runtime::drain(std::chrono::milliseconds limit) {
  std::unique_lock lock(impl_->mutex);
  if (impl_->phase != Impl::Phase::running) return impl_->queued == 0;
  return impl_->drained.wait_for(lock, limit, [this] { return impl_->queued == 0; });
}

void Runtime::stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->phase == Impl::Phase::stopped) return;
    impl_->phase = Impl::Phase::stopped;
    for (auto& [name, slot] : impl_->by_name) slot->live.store(false, std::memory_order_release);
    impl_->work.reset();
    impl_->io.stop();
    threads.swap(impl_->threads);
  }
  for (auto& t : threads) t.join();
  // No handler runs any more: release the agents and the timers now, on this
  // thread, rather than whenever a worker drops its last mailbox.
  std::unordered_map<std::uint64_t, std::unique_ptr<asio::steady_timer>> timers;
  std::map<std::string, std::shared_ptr<Slot>, std::less<>> by_name;
  std::unordered_map<std::uint64_t, std::shared_ptr<Slot>> by_serial;
  {
    std::lock_guard lock(impl_->mutex);
    timers.swap(impl_->timers);
    by_name.swap(impl_->by_name);
    by_serial.swap(impl_->by_serial);
  }
}

bool Runtime::running() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->phase == Impl::Phase::running;
}

Channel Runtime::channel(const std::string& name, const std::optional<AgentRef>& from) {
  return Channel(std::make_shared<NameSink>(impl_, name), from);
}

Mailbox Runtime::get_mailbox(const AgentRef& agent_ref, const std::string& name) {
  return Mailbox(name, std::make_shared<AgentSink>(impl_, agent_ref.serial));
}

void Runtime::send_after(const AgentRef& to, Message message, double delay_seconds) {
  impl_->send_after(to, std::move(message), delay_seconds);
}

}  // namespace quillpost::agent
