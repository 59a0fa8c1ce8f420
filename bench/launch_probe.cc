// `launch` as a process against quillpost-service on loopback: time from
// process start to Handshaked, idle cost of a connected client, time from the
// service's restart to Handshaked again, and the threads and descriptors the
// client holds across those restarts. Prints one "key=value" line per figure;
// bench/run turns them into the table.
//
// The idle client runs from a private copy of `launch` and of the libraries
// beside it, so that no other process (this one links the same libraries)
// shares their pages and lowers its PSS.
//
//   launch_probe LAUNCH [--handshake-runs N] [--idle-seconds S]
//                [--idle-heartbeat S] [--reconnect-runs N]
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
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
namespace fs = std::filesystem;

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
                                            SignIn sign_in, const std::string& launch = g_launch) {
  std::vector<std::string> args{"--headless", "--shutdown-on-sigint",
                                "--settings-dir=" + (dir / "settings").string(),
                                "--settings-dir-create"};
  if (sign_in == SignIn::client_key) {
    args.push_back("--client-key=demo-client-key");
  } else {
    args.insert(args.end(), {"--email=demo@quillpost.test", "--password=demo"});
  }
  return std::make_unique<LaunchProcess>(
      launch, std::move(args),
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

// `launch` and every shared object of its ../lib (the project's libraries
// and the modules it opens from there) copied under `into`: new files, which
// no other process maps. The copy's launch.
std::string private_copy(const TempDir& into) {
  const fs::path bin = fs::path(g_launch).parent_path();
  fs::create_directories(into / "bin");
  fs::create_directories(into / "lib");
  fs::copy_file(g_launch, into / "bin" / fs::path(g_launch).filename());
  for (const auto& entry : fs::directory_iterator(bin / ".." / "lib")) {
    if (entry.path().filename().string().find(".so") == std::string::npos) continue;
    fs::copy(entry.path(), into / "lib" / entry.path().filename(), fs::copy_options::copy_symlinks);
  }
  // The resources launch finds beside bin/, as they are.
  if (fs::is_directory(bin / ".." / "resources")) {
    fs::create_directory_symlink(fs::canonical(bin / ".." / "resources"), into / "resources");
  }
  return (into / "bin" / fs::path(g_launch).filename()).string();
}

// Processes other than `pid` that map a file under `dir`.
int other_processes_mapping(pid_t pid, const fs::path& dir) {
  int count = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
    if (name == std::to_string(pid)) continue;
    std::ifstream maps(entry.path() / "maps");
    for (std::string line; std::getline(maps, line);) {
      if (line.find(dir.string()) != std::string::npos) {
        ++count;
        break;
      }
    }
  }
  return count;
}

void idle(int seconds, double heartbeat) {
  ServiceProcess service({"--heartbeat-interval", std::to_string(heartbeat)});
  TempDir dir;
  const std::string launch = private_copy(dir);
  auto client = start_client(service, dir, SignIn::password, launch);
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
  std::printf("idle_end_sharers=%d\n", other_processes_mapping(client->pid(), dir / "lib"));
  stop(*client);
}

// What a process holds: its threads by name and kernel wait ("launch@do_epoll_wait")
// and its descriptors by kind ("socket", "pipe", "anon_inode:[eventfd]", or the
// file's path), sorted.
struct Census {
  std::vector<std::string> threads;
  std::vector<std::string> descriptors;
};

// Letters, digits and a few marks; anything else (a '|' would break the
// table) becomes '_'.
std::string printable(std::string text) {
  for (char& c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) &&
        std::string_view("_-.:/[]@").find(c) == std::string_view::npos) {
      c = '_';
    }
  }
  return text;
}

Census census(pid_t pid) {
  Census c;
  const fs::path proc = "/proc/" + std::to_string(pid);
  std::error_code ec;
  for (const auto& task : fs::directory_iterator(proc / "task", ec)) {
    // Its name and where in the kernel it waits (the threads share one name).
    std::ifstream comm(task.path() / "comm");
    std::ifstream wchan(task.path() / "wchan");
    std::string name;
    std::string waits;
    std::getline(comm, name);
    std::getline(wchan, waits);
    c.threads.push_back(printable(name + "@" + (waits == "0" ? "running" : waits)));
  }
  for (const auto& fd : fs::directory_iterator(proc / "fd", ec)) {
    std::string target = fs::read_symlink(fd.path(), ec).string();
    for (const char* kind : {"socket:", "pipe:"}) {
      if (target.rfind(kind, 0) == 0) target = std::string(kind, std::strlen(kind) - 1);
    }
    c.descriptors.push_back(printable(target));
  }
  std::sort(c.threads.begin(), c.threads.end());
  std::sort(c.descriptors.begin(), c.descriptors.end());
  return c;
}

std::string join(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

// What `after` holds beyond `before` ("+a +b"), and what it lost ("-c").
std::string difference(const std::vector<std::string>& before,
                       const std::vector<std::string>& after) {
  std::vector<std::string> added;
  std::vector<std::string> removed;
  std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                      std::back_inserter(added));
  std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                      std::back_inserter(removed));
  std::string text;
  for (const auto& a : added) text += (text.empty() ? "+" : " +") + a;
  for (const auto& r : removed) text += (text.empty() ? "-" : " -") + r;
  return text.empty() ? "none" : text;
}

void reconnect(int runs) {
  auto service = std::make_unique<ServiceProcess>();
  TempDir dir;
  auto client = start_client(*service, dir, SignIn::password);
  if (!client->wait_for_line(kHandshaked, 1, 20s)) fail("no handshake", *client);
  std::this_thread::sleep_for(1s);  // let the start settle
  // Threads and descriptors after the first handshake and after each reconnect.
  std::vector<Census> held{census(client->pid())};
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
    std::this_thread::sleep_for(1s);
    held.push_back(census(client->pid()));
  }
  print_stats("reconnect", times);
  std::string threads;
  std::string descriptors;
  for (const auto& c : held) {
    threads += (threads.empty() ? "" : " -> ") + std::to_string(c.threads.size());
    descriptors += (descriptors.empty() ? "" : " -> ") + std::to_string(c.descriptors.size());
  }
  std::printf("reconnect_threads=%s\nreconnect_descriptors=%s\n", threads.c_str(),
              descriptors.c_str());
  std::printf("reconnect_first_threads_change=%s\n",
              difference(held[0].threads, held[1].threads).c_str());
  std::printf("reconnect_first_descriptors_change=%s\n",
              difference(held[0].descriptors, held[1].descriptors).c_str());
  if (held.size() > 2) {
    std::printf("reconnect_later_threads_change=%s\n",
                difference(held[1].threads, held.back().threads).c_str());
    std::printf("reconnect_later_descriptors_change=%s\n",
                difference(held[1].descriptors, held.back().descriptors).c_str());
  }
  std::printf("reconnect_client_threads=%s\n", join(held.back().threads).c_str());
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
