// Throughput of the agent runtime and of the socket listener.
//
//   MailboxIntoAgent      messages per second posted through a mailbox into an agent
//   ListenIntoAgent       frames per second read by `listen` from a loopback peer and
//                         delivered into an agent as SERVER_MESSAGE
//   PlainLoopbackRead     the same bytes read with plain recv() and counted: the limit
//   ServiceListenIntoAgent / ServicePlainRead
//                         the same two, with quillpost-service pushing the frames to an
//                         authenticated connection (built with the tests only)
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "quillpost/host/runtime/agent/runtime.h"
#include "quillpost/host/runtime/comms/wire.h"
#ifdef QP_BENCH_WITH_SERVICE
#include "support/service_process.h"
#endif

namespace {

using namespace quillpost;

// Counts messages and wakes a waiter at a target.
class Counter : public agent::SimpleAgent {
 public:
  static constexpr std::string_view name = "counter";
  void receive(const std::string&, const agent::Payload&) override {
    std::lock_guard lock(mutex_);
    if (++count_ >= target_) done_.notify_all();
  }
  void expect(std::int64_t target) {
    std::lock_guard lock(mutex_);
    count_ = 0;
    target_ = target;
  }
  void wait() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return count_ >= target_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  std::int64_t count_ = 0;
  std::int64_t target_ = 0;
};

void MailboxIntoAgent(benchmark::State& state) {
  agent::Runtime runtime;
  auto counter = std::make_shared<Counter>();
  const auto ref = runtime.spawn(counter);
  runtime.start();
  auto mailbox = runtime.get_mailbox(ref, "bench");
  const std::int64_t batch = state.range(0);
  for (auto _ : state) {
    counter->expect(batch);
    for (std::int64_t i = 0; i < batch; ++i) mailbox.send("tick", i);
    counter->wait();
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(MailboxIntoAgent)->Arg(10000)->UseRealTime();

// A loopback server that writes `frames` frames to each connection, then closes.
class FrameServer {
 public:
  explicit FrameServer(std::int64_t frames) {
    const std::string frame = R"({"event":"job","payload":{"id":12345,"printer":"Office laser",)"
                              R"("copies":1,"url":"https://example.invalid/job/12345"}})"
                              "\n";
    for (std::int64_t i = 0; i < frames; ++i) data_ += frame;
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 16);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        const int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0 || stop_) {
          if (c >= 0) ::close(c);
          return;
        }
        std::size_t done = 0;
        while (done < data_.size()) {
          const ssize_t n = ::send(c, data_.data() + done, data_.size() - done, MSG_NOSIGNAL);
          if (n <= 0) break;
          done += static_cast<std::size_t>(n);
        }
        ::close(c);
      }
    });
  }
  ~FrameServer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  int port() const { return port_; }
  std::size_t bytes() const { return data_.size(); }

 private:
  std::string data_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void ListenIntoAgent(benchmark::State& state) {
  const std::int64_t frames = state.range(0);
  FrameServer server(frames);
  agent::Runtime runtime;
  auto counter = std::make_shared<Counter>();
  const auto ref = runtime.spawn(counter);
  runtime.start();
  for (auto _ : state) {
    auto sock = comms::open_socket("127.0.0.1", server.port(), std::nullopt);
    // Every frame, plus the SOCKET_ERROR when the server closes.
    counter->expect(frames + 1);
    comms::listen(sock, "bench", std::nullopt, runtime.get_mailbox(ref, "listener"),
                  comms::noop_protocol_log_writer());
    counter->wait();
  }
  state.SetItemsProcessed(state.iterations() * frames);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(server.bytes()));
}
BENCHMARK(ListenIntoAgent)->Arg(20000)->UseRealTime()->Unit(benchmark::kMillisecond);

void PlainLoopbackRead(benchmark::State& state) {
  const std::int64_t frames = state.range(0);
  FrameServer server(frames);
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(server.port()));
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    char buf[64 * 1024];
    std::int64_t lines = 0;
    for (;;) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) lines += buf[i] == '\n';
    }
    ::close(fd);
    benchmark::DoNotOptimize(lines);
  }
  state.SetItemsProcessed(state.iterations() * frames);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(server.bytes()));
}
BENCHMARK(PlainLoopbackRead)->Arg(20000)->UseRealTime()->Unit(benchmark::kMillisecond);

#ifdef QP_BENCH_WITH_SERVICE

constexpr std::int64_t kServiceFrames = 20000;

std::vector<std::string> service_args() {
  return {"--push-count",         std::to_string(kServiceFrames),
          "--push-event",         "job",
          "--push-interval-ms",   "0",
          "--heartbeat-interval", "0"};
}

std::string authenticate_line() {
  nlohmann::json payload = {{"email", "demo@quillpost.test"},
                            {"computerName", "bench"},
                            {"clientKey", "demo-client-key"},
                            {"inet", "127.0.0.1"},
                            {"worldUuid", "w"},
                            {"instanceUuid", "i"},
                            {"connectionId", "bench"},
                            {"hostname", "bench"},
                            {"username", "bench"},
                            {"version", "0.1.0"},
                            {"edition", "community"},
                            {"clientSessionId", "s"}};
  return comms::encode_frame("authenticate", payload) + "\n";
}

void ServiceListenIntoAgent(benchmark::State& state) {
  quillpost::testing::ServiceProcess service(service_args());
  agent::Runtime runtime;
  auto counter = std::make_shared<Counter>();
  const auto ref = runtime.spawn(counter);
  runtime.start();
  for (auto _ : state) {
    auto sock = comms::open_socket("127.0.0.1", service.socket_port(), std::nullopt);
    // "authentication", "authenticate.response" and the pushed frames.
    counter->expect(kServiceFrames + 2);
    std::thread listener([&] {
      comms::listen(sock, "bench", std::nullopt, runtime.get_mailbox(ref, "listener"),
                    comms::noop_protocol_log_writer());
    });
    sock->write_all(authenticate_line());
    counter->wait();
    sock->close();
    listener.join();
  }
  state.SetItemsProcessed(state.iterations() * kServiceFrames);
}
BENCHMARK(ServiceListenIntoAgent)->UseRealTime()->Unit(benchmark::kMillisecond);

void ServicePlainRead(benchmark::State& state) {
  quillpost::testing::ServiceProcess service(service_args());
  const std::string auth = authenticate_line();
  for (auto _ : state) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(service.socket_port()));
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::send(fd, auth.data(), auth.size(), MSG_NOSIGNAL);
    char buf[64 * 1024];
    std::int64_t lines = 0;
    while (lines < kServiceFrames + 2) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; ++i) lines += buf[i] == '\n';
    }
    ::close(fd);
    benchmark::DoNotOptimize(lines);
  }
  state.SetItemsProcessed(state.iterations() * kServiceFrames);
}
BENCHMARK(ServicePlainRead)->UseRealTime()->Unit(benchmark::kMillisecond);

#endif

}  // namespace

BENCHMARK_MAIN();
