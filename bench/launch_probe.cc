// `launch` as a process against quillpost-service on loopback: time from
// process start to Handshaked, idle cost of a connected client, and time from
// the service's restart to Handshaked again. Prints one "key=value" line per
// figure; bench/run turns them into the table.
//
//   launch_probe LAUNCH [--handshake-runs N] [--idle-seconds S]
//                [--idle-heartbeat S] [--reconnect-runs N]
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/launch_process.h"
#include "memory.h"
#include "quillpost/client/client.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace {

using quillpost::testing::LaunchProcess;
using quillpost::testing::ServiceProcess;
using quillpost::testing::TempDir;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kHandshaked = "CLIENT_HANDSHAKED: Authenticated.";
constexpr const char* kDisconnected = "CLIENT_DISCONNECTED: ";

std::string g_launch;

// How the client signs in: with the client key alone, or with e-mail and
// password (a login over HTTP before the application starts). With the client
// key alone the first handshake is followed by a reconnect, as the account's
// placeholder e-mail is replaced; the idle and reconnect figures therefore
// sign in with e-mail and password.
enum class SignIn { client_key, password };

std::unique_ptr<LaunchProcess> start_client(const ServiceProcess& service, const TempDir& dir,
                                            SignIn sign_in) {
  std::vector<std::string> args{"--headless", "--shutdown-on-sigint",
                                "--settings-dir=" + (dir / "settings").string(),
                                "--settings-dir-create"};
  if (sign_in == SignIn::client_key) {
    args.push_back("--client-key=demo-client-key");
  } else {
    args.insert(args.end(), {"--email=demo@quillpost.test", "--password=demo"});
  }
  return std::make_unique<LaunchProcess>(
      g_launch, std::move(args),
      // No printing system: its socket does not exist.
      std::vector<std::string>{"QUILLPOST_SERVICE_URL=" + service.base_url(),
                               "CUPS_SERVER=" + (dir / "no-scheduler.sock").string()});
}

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const auto at = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

void print_stats(const std::string& key, const std::vector<double>& v) {
  if (v.empty()) return;
  std::printf("%s_runs=%zu\n%s_median_ms=%.1f\n%s_p90_ms=%.1f\n%s_min_ms=%.1f\n", key.c_str(),
              v.size(), key.c_str(), percentile(v, 0.5), key.c_str(), percentile(v, 0.9),
              key.c_str(), *std::min_element(v.begin(), v.end()));
}

void stop(LaunchProcess& client) {
  client.signal(SIGINT);
  if (client.wait_exit(10s) != 0) {
    std::fprintf(stderr, "launch_probe: the client did not close cleanly:\n%s",
                 client.output().c_str());
    std::exit(1);
  }
}

[[noreturn]] void fail(const std::string& what, const LaunchProcess& client) {
  std::fprintf(stderr, "launch_probe: %s\n%s", what.c_str(), client.output().c_str());
  std::exit(1);
}

void handshake(int runs) {
  ServiceProcess service;
  std::vector<double> by_key;
  std::vector<double> by_password;
  // Interleaved, so that a slow spell of the machine hits both alike.
  for (int i = 0; i < runs; ++i) {
    for (const auto sign_in : {SignIn::client_key, SignIn::password}) {
      TempDir dir;
      auto client = start_client(service, dir, sign_in);
      const auto at = client->wait_for_line(kHandshaked, 1, 20s);
      if (!at) fail("no handshake", *client);
      (sign_in == SignIn::client_key ? by_key : by_password).push_back(ms(*at - client->started()));
      stop(*client);
    }
  }
  print_stats("handshake", by_key);
  print_stats("handshake_login", by_password);
  std::printf("start_delay_ms=%.1f\n", quillpost::client::Client::START_DELAY * 1000);
}

struct ProcSample {
  long rss_kib = 0;
  long hwm_kib = 0;
  double cpu_ms = 0;
};

// CPU time of every thread of `pid`, in milliseconds, from the scheduler's
// nanosecond counters (utime and stime count in 10 ms ticks, too coarse for
// an idle process).
double cpu_ms(pid_t pid) {
  namespace fs = std::filesystem;
  double total_ns = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream schedstat(task.path() / "schedstat");
    double on_cpu_ns = 0;
    if (schedstat >> on_cpu_ns) total_ns += on_cpu_ns;
  }
  return total_ns / 1e6;
}

ProcSample sample(pid_t pid) {
  ProcSample s;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) s.rss_kib = std::atol(line.c_str() + 6);
    if (line.rfind("VmHWM:", 0) == 0) s.hwm_kib = std::atol(line.c_str() + 6);
  }
  s.cpu_ms = cpu_ms(pid);
  return s;
}

void idle(int seconds, double heartbeat) {
  ServiceProcess service({"--heartbeat-interval", std::to_string(heartbeat)});
  TempDir dir;
  auto client = start_client(service, dir, SignIn::password);
  if (!client->wait_for_line(kHandshaked, 1, 20s)) fail("no handshake", *client);
  std::this_thread::sleep_for(1s);  // let the start settle
  const ProcSample before = sample(client->pid());
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const ProcSample after = sample(client->pid());
  const double wall_ms = ms(Clock::now() - t0);
  const auto state = service.state();
  const auto& connections = state["connections"];
  const int beats = connections.size() == 1 ? connections[0].value("heartbeats", 0) : -1;
  if (client->count(kDisconnected) != 0) fail("disconnected while idle", *client);
  std::printf("idle_seconds=%d\nidle_heartbeat_s=%g\nidle_heartbeats=%d\n", seconds, heartbeat,
              beats);
  std::printf("idle_rss_start_kib=%ld\nidle_rss_end_kib=%ld\nidle_hwm_kib=%ld\n", before.rss_kib,
              after.rss_kib, after.hwm_kib);
  std::printf("idle_cpu_ms=%.1f\nidle_cpu_percent=%.3f\n", after.cpu_ms - before.cpu_ms,
              100.0 * (after.cpu_ms - before.cpu_ms) / wall_ms);
  quillpost::bench::print_memory("idle_end", quillpost::bench::memory_of(client->pid()));
  stop(*client);
}

void reconnect(int runs) {
  auto service = std::make_unique<ServiceProcess>();
  TempDir dir;
  auto client = start_client(*service, dir, SignIn::password);
  if (!client->wait_for_line(kHandshaked, 1, 20s)) fail("no handshake", *client);
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto ports = service->same_ports_args();
    const auto stopped = Clock::now();
    service->stop();
    service.reset();
    service = std::make_unique<ServiceProcess>(ports);
    const auto back = client->wait_for_line(kHandshaked, static_cast<std::size_t>(i) + 2, 30s);
    if (!back) fail("no handshake after the restart", *client);
    times.push_back(ms(*back - stopped));
  }
  print_stats("reconnect", times);
  std::printf("reconnect_wait_ms=%.0f\n", quillpost::client::Client::SOCKET_ERROR_WAIT * 1000);
  stop(*client);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: launch_probe LAUNCH [--handshake-runs N] [--idle-seconds S] "
                 "[--idle-heartbeat S] [--reconnect-runs N]\n");
    return 2;
  }
  g_launch = argv[1];
  int handshake_runs = 20;
  int idle_seconds = 60;
  double idle_heartbeat = 5;
  int reconnect_runs = 3;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--handshake-runs")
      handshake_runs = std::atoi(argv[i + 1]);
    else if (arg == "--idle-seconds")
      idle_seconds = std::atoi(argv[i + 1]);
    else if (arg == "--idle-heartbeat")
      idle_heartbeat = std::atof(argv[i + 1]);
    else if (arg == "--reconnect-runs")
      reconnect_runs = std::atoi(argv[i + 1]);
  }
  try {
    if (handshake_runs > 0) handshake(handshake_runs);
    if (reconnect_runs > 0) reconnect(reconnect_runs);
    if (idle_seconds > 0) idle(idle_seconds, idle_heartbeat);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "launch_probe: %s\n", e.what());
    return 1;
  }
  return 0;
}
