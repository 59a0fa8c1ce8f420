// quillpost-service under many clients: opens 1,000 concurrent connections
// on loopback, authenticates every one, then sends one heartbeat on each and
// waits for all the answers. The service runs in this process on its own
// thread, exactly as the executable runs it.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <array>
#include <boost/asio.hpp>
#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>  // before Asio: see the notes on Boost 1.74

#include "service/accounts.h"
#include "service/server.h"

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using namespace quillpost::service;

constexpr int connection_count = 1000;

// Each connection costs a descriptor on both ends, in this one process.
void raise_open_files_limit(rlim_t wanted) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// The service on a thread of its own, on free loopback ports, logging nothing.
class RunningService {
 public:
  RunningService() {
    ServiceOptions options;
    options.http_port = options.socket_port = options.control_port = 0;
    AccountStore accounts;
    accounts.add(demo_account());
    service_ = std::make_unique<Service>(options, std::move(accounts), nullptr);
    thread_ = std::thread([this] { service_->run(false); });
  }
  ~RunningService() {
    service_->stop();
    thread_.join();
  }
  int socket_port() const { return service_->ports().socket; }

 private:
  std::unique_ptr<Service> service_;
  std::thread thread_;
};

std::string authenticate_line(int index) {
  nlohmann::ordered_json message{{"email", "demo@quillpost.test"},
                                 {"computerName", "BENCH-" + std::to_string(index % 50)},
                                 {"clientKey", "demo-client-key"},
                                 {"inet", "127.0.0.1"},
                                 // Each connection is an installation of its own: the
                                 // service replaces a connection of the same one.
                                 {"worldUuid", "world-" + std::to_string(index)},
                                 {"instanceUuid", "instance-" + std::to_string(index)},
                                 {"connectionId", "bench-" + std::to_string(index)},
                                 {"hostname", "bench"},
                                 {"username", "bench"},
                                 {"version", "0.1.0"},
                                 {"edition", "community"},
                                 {"clientSessionId", "bench"}};
  return nlohmann::ordered_json{{"event", "authenticate"}, {"payload", message}}.dump() + "\n";
}

// One client: connect, read "authentication", send "authenticate", read the
// answer; later, one heartbeat and its answer.
struct Client {
  explicit Client(asio::io_context& ioc) : socket(ioc) {}
  tcp::socket socket;
  asio::streambuf in;
  std::string out;
};

class Clients {
 public:
  explicit Clients(int port)
      : endpoint_(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)) {
    for (int i = 0; i < connection_count; ++i) clients_.push_back(std::make_unique<Client>(ioc_));
  }

  // Runs until every client has authenticated; throws on any failure.
  void connect_and_authenticate() {
    done_ = 0;
    for (int i = 0; i < connection_count; ++i) {
      Client& c = *clients_[i];
      c.socket.async_connect(endpoint_, [this, &c, i](error_code ec) {
        if (ec) return fail("connect", ec);
        read_line(c, [this, &c, i](const std::string& opening) {
          if (opening.find("\"authentication\"") == std::string::npos) return fail("opening", {});
          c.out = authenticate_line(i);
          asio::async_write(c.socket, asio::buffer(c.out), [this, &c](error_code wec, std::size_t) {
            if (wec) return fail("write", wec);
            read_line(c, [this](const std::string& answer) {
              if (answer.find("\"success\":true") == std::string::npos)
                return fail("authenticate", {});
              ++done_;
            });
          });
        });
      });
    }
    run();
  }

  // One heartbeat on every connection; runs until every answer is in.
  void heartbeat_round() {
    done_ = 0;
    static const std::string heartbeat = "{\"event\":\"heartbeat\",\"payload\":[]}\n";
    for (auto& client : clients_) {
      Client& c = *client;
      asio::async_write(c.socket, asio::buffer(heartbeat), [this, &c](error_code ec, std::size_t) {
        if (ec) return fail("heartbeat write", ec);
        read_line(c, [this](const std::string& answer) {
          if (answer.find("\"heartbeat\"") == std::string::npos)
            return fail("heartbeat answer", {});
          ++done_;
        });
      });
    }
    run();
  }

 private:
  template <typename Then>
  void read_line(Client& c, Then then) {
    asio::async_read_until(c.socket, c.in, '\n', [this, &c, then](error_code ec, std::size_t n) {
      if (ec) return fail("read", ec);
      std::string line(asio::buffers_begin(c.in.data()), asio::buffers_begin(c.in.data()) + n);
      c.in.consume(n);
      then(line);
    });
  }

  void fail(const char* step, error_code ec) {
    if (error_.empty()) error_ = std::string(step) + " failed: " + ec.message();
    ioc_.stop();
  }

  void run() {
    ioc_.restart();
    while (done_ < connection_count && error_.empty()) {
      if (ioc_.run_for(std::chrono::seconds(30)) == 0 && done_ < connection_count) {
        error_ = "timed out with " + std::to_string(done_) + " of " +
                 std::to_string(connection_count) + " done";
      }
    }
    if (!error_.empty()) throw std::runtime_error(error_);
  }

  asio::io_context ioc_{1};
  tcp::endpoint endpoint_;
  std::deque<std::unique_ptr<Client>> clients_;
  int done_ = 0;
  std::string error_;
};

// Time to bring 1,000 clients from connect to authenticated, all at once.
void BM_ThousandAuthenticatedConnections(benchmark::State& state) {
  raise_open_files_limit(4 * connection_count + 256);
  RunningService service;
  for (auto _ : state) {
    Clients clients(service.socket_port());
    try {
      clients.connect_and_authenticate();
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      return;
    }
  }
  state.counters["connections"] = connection_count;
  state.counters["conn/s"] = benchmark::Counter(
      static_cast<double>(connection_count) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ThousandAuthenticatedConnections)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

// With 1,000 clients held open: one heartbeat from each, until all are answered.
void BM_HeartbeatRoundOverThousandConnections(benchmark::State& state) {
  raise_open_files_limit(4 * connection_count + 256);
  RunningService service;
  Clients clients(service.socket_port());
  try {
    clients.connect_and_authenticate();
    for (auto _ : state) {
      clients.heartbeat_round();
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  state.counters["connections"] = connection_count;
}
BENCHMARK(BM_HeartbeatRoundOverThousandConnections)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
