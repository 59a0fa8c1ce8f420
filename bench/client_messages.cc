// Server messages from quillpost-service through the socket listener, the
// Client agent and pubsub to a subscribing agent, beside a plain loopback
// socket that reads the same frames from the same service (the limit).
//
//   throughput  the service pushes N frames at once (one control request);
//               time from the request to the Nth frame at the receiver
//   latency     one frame at a time to both connections at once, its payload
//               carrying the monotonic time of the push request; time from
//               that to each receiver, and the client's excess per frame
//
// Prints "key=value" lines; bench/run turns them into the table.
//
//   client_messages [--frames N] [--latency-samples N] [--rounds N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quillpost/client/client.h"
#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/agent/runtime.h"
#include "quillpost/host/runtime/agent/schedule.h"
#include "quillpost/host/runtime/comms/wire.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace {

using namespace quillpost;
using quillpost::testing::ServiceProcess;
using namespace std::chrono_literals;

// The monotonic clock in nanoseconds: the same clock in every process.
std::int64_t now_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// A typical print job notification.
nlohmann::json job_payload() {
  return {{"id", 12345},
          {"printer", "Office laser"},
          {"copies", 1},
          {"url", "https://example.invalid/job/12345"}};
}

// Receives the client's publications: counts "job" messages, keeps the
// latency of those stamped with "t", and waits for the connection status.
class Receiver : public agent::SimpleAgent {
 public:
  void before() override {
    auto pubsub = channel(std::string(agent::PubSubAgent::name));
    pubsub.send(agent::PubSubAgent::SUBSCRIBE, std::string(comms::SERVER_MESSAGE));
    pubsub.send(agent::PubSubAgent::SUBSCRIBE, std::string(comms::UPDATE_CONNECTION));
  }
  void receive(const std::string& event, const agent::Payload& payload) override {
    const std::int64_t at = now_ns();
    std::lock_guard lock(mutex_);
    if (event == comms::UPDATE_CONNECTION) {
      handshaked_ =
          agent::payload_as<comms::Connection>(payload).status == comms::ClientStatus::handshaked;
    } else if (event == comms::SERVER_MESSAGE) {
      const auto& message = agent::payload_as<comms::ServerMessage>(payload);
      if (message.event != "job") return;
      ++count_;
      if (const auto t = message.payload.find("t"); t != message.payload.end()) {
        last_latency_ns_ = at - t->get<std::int64_t>();
      }
    }
    changed_.notify_all();
  }

  bool wait_handshaked() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 20s, [&] { return handshaked_; });
  }
  // Waits until `n` job messages have arrived since the last reset.
  bool wait_count(std::int64_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 60s, [&] { return count_ >= n; });
  }
  void reset() {
    std::lock_guard lock(mutex_);
    count_ = 0;
  }
  std::int64_t last_latency_ns() {
    std::lock_guard lock(mutex_);
    return last_latency_ns_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool handshaked_ = false;
  std::int64_t count_ = 0;
  std::int64_t last_latency_ns_ = 0;
};

// Stands in for the core agent, which the client sends account updates to.
class Sink : public agent::SimpleAgent {
 public:
  void receive(const std::string&, const agent::Payload&) override {}
};

// The connection's path: the real Client on the real runtime.
class ClientPath {
 public:
  explicit ClientPath(const ServiceProcess& service) {
    runtime_.spawn(std::make_shared<agent::PubSubAgent>());
    runtime_.spawn(std::make_shared<agent::ScheduleAgent>());
    runtime_.spawn(std::make_shared<Sink>(), std::string(core::CoreAgent::name));
    runtime_.spawn(receiver_, "receiver");
    World world;
    world.configuration.account = Account{"demo@quillpost.test", "demo-client-key", std::nullopt};
    world.configuration.computer.name = "bench-pc";
    world.configuration.world_id = "world-1";
    world.state.instance_id = "instance-1";
    SystemInfo system_info;
    system_info.hostname = "bench-pc";
    system_info.username = "bench";
    comms::UrlContext context{"0.1.0", "community", "bench-pc", "world-1", "instance-1"};
    runtime_.spawn(std::make_shared<client::Client>(
        world, system_info, std::make_shared<agent::MainLoopQueue>(), HttpConfig{},
        comms::UrlFactory(service.base_url(), context),
        comms::RequestHeaders{{"User-Agent", "QuillPost/bench"}}, ParamMap{}, logs_.path(),
        ServerAddress{}, ""));
    runtime_.start();
    if (!receiver_->wait_handshaked()) throw std::runtime_error("the client did not handshake");
  }
  ~ClientPath() { runtime_.stop(); }

  void reset() { receiver_->reset(); }
  bool wait_count(std::int64_t n) { return receiver_->wait_count(n); }
  std::int64_t last_latency_ns() { return receiver_->last_latency_ns(); }

 private:
  quillpost::testing::TempDir logs_;
  agent::Runtime runtime_;
  std::shared_ptr<Receiver> receiver_ = std::make_shared<Receiver>();
};

std::string authenticate_line() {
  nlohmann::json payload = {{"email", "demo@quillpost.test"},
                            {"computerName", "bench-plain"},
                            {"clientKey", "demo-client-key"},
                            {"inet", "127.0.0.1"},
                            {"worldUuid", "w"},
                            {"instanceUuid", "i"},
                            {"connectionId", "bench-plain"},
                            {"hostname", "bench"},
                            {"username", "bench"},
                            {"version", "0.1.0"},
                            {"edition", "community"},
                            {"clientSessionId", "s"}};
  return comms::encode_frame("authenticate", payload) + "\n";
}

// The limit: an authenticated plain socket, read with recv() on a thread of
// its own, frames split at line feeds and "job" frames counted; nothing else.
class PlainPath {
 public:
  explicit PlainPath(const ServiceProcess& service) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(service.socket_port()));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      throw std::runtime_error("plain connect failed");
    }
    const std::string auth = authenticate_line();
    ::send(fd_, auth.data(), auth.size(), MSG_NOSIGNAL);
    reader_ = std::thread([this] { read(); });
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 10s, [&] { return answered_; })) {
      throw std::runtime_error("plain: no authentication answer");
    }
  }
  ~PlainPath() {
    ::shutdown(fd_, SHUT_RDWR);
    reader_.join();
    ::close(fd_);
  }

  void reset() {
    std::lock_guard lock(mutex_);
    count_ = 0;
  }
  // Waits until `n` job frames have arrived since the last reset.
  bool wait_count(std::int64_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 60s, [&] { return count_ >= n; });
  }
  std::int64_t last_latency_ns() {
    std::lock_guard lock(mutex_);
    return last_latency_ns_;
  }

 private:
  void read() {
    std::string partial;
    std::vector<char> buf(64 * 1024);
    for (;;) {
      const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
      if (n <= 0) return;
      const std::int64_t at = now_ns();
      partial.append(buf.data(), static_cast<std::size_t>(n));
      std::int64_t jobs = 0;
      std::int64_t latency = -1;
      bool answered = false;
      std::size_t start = 0;
      for (auto nl = partial.find('\n'); nl != std::string::npos; nl = partial.find('\n', start)) {
        const std::string_view line(partial.data() + start, nl - start);
        if (line.find("\"authenticate.response\"") != std::string_view::npos) answered = true;
        if (line.find("\"event\":\"job\"") != std::string_view::npos) {
          ++jobs;
          if (const auto t = line.find("\"t\":"); t != std::string_view::npos) {
            latency = at - std::atoll(line.data() + t + 4);
          }
        }
        start = nl + 1;
      }
      partial.erase(0, start);
      {
        std::lock_guard lock(mutex_);
        count_ += jobs;
        if (latency >= 0) last_latency_ns_ = latency;
        answered_ = answered_ || answered;
      }
      changed_.notify_all();
    }
  }

  int fd_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool answered_ = false;
  std::int64_t count_ = 0;
  std::int64_t last_latency_ns_ = 0;
};

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const auto at = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

// Frames per second through `path`, each of `rounds` pushing `frames` frames
// to the connection `connection_id` in one request: "<key>_msgs_per_s" (the
// best round) and "<key>_msgs_per_s_worst" lines.
template <typename Path>
void throughput(const std::string& key, const ServiceProcess& service, Path& path,
                const std::string& connection_id, std::int64_t frames, int rounds) {
  double best = 0;
  double worst = 0;
  for (int r = 0; r < rounds; ++r) {
    path.reset();
    const auto t0 = std::chrono::steady_clock::now();
    service.push({{"event", "job"},
                  {"payload", job_payload()},
                  {"count", frames},
                  {"connectionId", connection_id}});
    if (!path.wait_count(frames)) throw std::runtime_error("frames missing");
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double rate = static_cast<double>(frames) / s;
    best = std::max(best, rate);
    worst = r == 0 ? rate : std::min(worst, rate);
  }
  std::printf("%s_msgs_per_s=%.0f\n%s_msgs_per_s_worst=%.0f\n", key.c_str(), best, key.c_str(),
              worst);
}

// The client's connection id as the service saw it in "authenticate".
std::string client_connection_id(const ServiceProcess& service) {
  std::string found;
  service.wait_for_state([&](const nlohmann::json& state) {
    for (const auto& c : state["connections"]) {
      const std::string id = c.value("connectionId", "");
      if (c.value("authenticated", false) && id != "bench-plain") found = id;
    }
    return !found.empty();
  });
  if (found.empty())
    throw std::runtime_error("the client's connection is not in the service's state");
  return found;
}

void print_latency(const std::string& key, const std::vector<double>& us) {
  std::printf("%s_p50_us=%.0f\n%s_p99_us=%.0f\n", key.c_str(), percentile(us, 0.5), key.c_str(),
              percentile(us, 0.99));
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t frames = 20000;
  int samples = 2000;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--frames")
      frames = std::atoll(argv[i + 1]);
    else if (arg == "--latency-samples")
      samples = std::atoi(argv[i + 1]);
    else if (arg == "--rounds")
      rounds = std::atoi(argv[i + 1]);
  }
  try {
    // No heartbeats: only the pushed frames travel.
    ServiceProcess service({"--heartbeat-interval", "0"});
    PlainPath plain(service);
    ClientPath client(service);
    const std::string client_id = client_connection_id(service);
    throughput("plain", service, plain, "bench-plain", frames, rounds);
    throughput("client", service, client, client_id, frames, rounds);

    // Latency: one stamped frame at a time to both connections at once, so
    // that the difference is what the client's path adds to the same frame.
    std::vector<double> plain_us, client_us, added_us;
    for (int i = 0; i < samples; ++i) {
      plain.reset();
      client.reset();
      nlohmann::json payload = job_payload();
      payload["t"] = now_ns();
      service.push({{"event", "job"}, {"payload", payload}});
      if (!plain.wait_count(1) || !client.wait_count(1)) throw std::runtime_error("frame missing");
      plain_us.push_back(static_cast<double>(plain.last_latency_ns()) / 1000.0);
      client_us.push_back(static_cast<double>(client.last_latency_ns()) / 1000.0);
      added_us.push_back(client_us.back() - plain_us.back());
    }
    print_latency("plain", plain_us);
    print_latency("client", client_us);
    print_latency("added", added_us);
    std::printf("frames=%lld\nrounds=%d\nlatency_samples=%d\n", static_cast<long long>(frames),
                rounds, samples);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "client_messages: %s\n", e.what());
    return 1;
  }
  return 0;
}
