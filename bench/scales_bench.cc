// A HID scale through `launch` and quillpost-service on loopback: the scale is
// a device tree made here (its node a FIFO this program writes reports to, the
// scales' device root seam). Prints one "key=value" line per figure; bench/run
// turns them into the table.
//   - latency: a report written to the node, to the service's log line of the
//     `scale.reading` it caused (reports 150 ms apart, beyond the client's
//     limit of 10 readings a second per scale);
//   - CPU of the client while the scale reports 50 times a second, each report
//     a new weight (a parcel settling), and for as long with the scale silent.
//
//   scales_bench LAUNCH [--latency-samples N] [--cpu-seconds S]
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace {

using quillpost::testing::LaunchProcess;
using quillpost::testing::ServiceProcess;
using quillpost::testing::TempDir;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kScale = "hid:0922:8009:usb-1_input0";

[[noreturn]] void fail(const std::string& what, const LaunchProcess* client = nullptr) {
  std::fprintf(stderr, "scales_bench: %s\n%s", what.c_str(),
               client ? client->output().c_str() : "");
  std::exit(1);
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const auto at = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

// CPU time of every thread of `pid` in milliseconds and how many times its
// threads were put on a CPU (the scheduler's counters): the second tells the
// wake-ups apart from what the machine's other load does to the first.
struct Usage {
  double cpu_ms = 0;
  double runs = 0;
};
Usage usage(pid_t pid) {
  Usage total;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream schedstat(task.path() / "schedstat");
    double on_cpu_ns = 0, waiting_ns = 0, runs = 0;
    if (schedstat >> on_cpu_ns >> waiting_ns >> runs) {
      total.cpu_ms += on_cpu_ns / 1e6;
      total.runs += runs;
    }
  }
  return total;
}

// The stable scale data report (id 3) of `grams` grams.
bool write_report(int fd, int grams) {
  const unsigned char report[] = {0x03,
                                  0x04,
                                  0x02,
                                  0x00,
                                  static_cast<unsigned char>(grams & 0xFF),
                                  static_cast<unsigned char>((grams >> 8) & 0xFF)};
  return ::write(fd, report, sizeof report) == static_cast<ssize_t>(sizeof report);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) fail("usage: scales_bench LAUNCH [--latency-samples N] [--cpu-seconds S]");
  const std::string launch = argv[1];
  int samples = 200;
  int cpu_seconds = 20;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--latency-samples") {
      samples = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--cpu-seconds") {
      cpu_seconds = std::max(1, std::atoi(argv[i + 1]));
    } else {
      fail("unknown option " + option);
    }
  }

  TempDir dir;
  const fs::path device = dir / "root/sys/class/hidraw/hidraw0/device";
  fs::create_directories(device);
  fs::create_directories(dir / "root/dev");
  std::ofstream(device / "report_descriptor", std::ios::binary)
      << std::string("\x05\x8D\x09\x01\xA1\x01\xC0", 7);
  std::ofstream(device / "uevent")
      << "HID_ID=0003:00000922:00008009\nHID_NAME=Bench Scale\nHID_PHYS=usb-1/input0\n";
  const fs::path node = dir / "root/dev/hidraw0";
  if (::mkfifo(node.c_str(), 0600) != 0) fail("mkfifo");
  std::ofstream(dir / "client.conf")
      << "scales_device_root = \"" << (dir / "root").string() << "\"\n";

  ServiceProcess service;
  LaunchProcess client(
      launch,
      {"--headless", "--shutdown-on-sigint", "--email=demo@quillpost.test", "--password=demo",
       "--scales-enabled=true", "--settings-dir=" + (dir / "settings").string(),
       "--settings-dir-create", "--config-file=" + (dir / "client.conf").string()},
      {"QUILLPOST_SERVICE_URL=" + service.base_url(),
       "CUPS_SERVER=" + (dir / "no-scheduler.sock").string()});
  int fd = -1;
  for (int i = 0; i < 400 && fd < 0; ++i) {
    fd = ::open(node.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) std::this_thread::sleep_for(50ms);
  }
  if (fd < 0) fail("the client never opened the scale's node", &client);
  if (!service.wait_for_output(std::string("scales of "), 20s)) fail("no scales listed", &client);
  std::this_thread::sleep_for(1s);  // let the start settle

  // Latency: each report a new weight, so that each is sent.
  std::vector<double> latencies;
  for (int i = 0; i < samples; ++i) {
    const int grams = 10000 + i;
    const std::string line =
        std::string("scale.reading ") + kScale + " stable " + std::to_string(grams) + " g";
    const auto written = Clock::now();
    if (!write_report(fd, grams)) fail("cannot write a report");
    if (!service.wait_for_output(line, 10s)) fail("no reading of " + line, &client);
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - written).count());
    std::this_thread::sleep_until(written + 150ms);
  }
  std::printf("scales_latency_samples=%d\nscales_latency_p50_ms=%.2f\nscales_latency_p99_ms=%.2f\n",
              samples, percentile(latencies, 0.5), percentile(latencies, 0.99));

  // CPU: silent for `cpu_seconds`, then 50 reports a second for as long.
  double runs_per_second = 0;
  const auto cpu_share = [&](bool reporting, int* reports) {
    const Usage before = usage(client.pid());
    const auto start = Clock::now();
    auto next = start;
    while (Clock::now() - start < std::chrono::seconds(cpu_seconds)) {
      if (reporting && write_report(fd, 20000 + *reports % 50)) ++*reports;
      next += 20ms;
      std::this_thread::sleep_until(next);
    }
    const double wall = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const Usage after = usage(client.pid());
    runs_per_second = 1000.0 * (after.runs - before.runs) / wall;
    return 100.0 * (after.cpu_ms - before.cpu_ms) / wall;
  };
  int reports = 0;
  const double silent = cpu_share(false, &reports);
  const double silent_runs_per_second = runs_per_second;
  const auto sent_before = service.output().size();
  const double busy = cpu_share(true, &reports);
  std::size_t readings = 0;
  const auto lines = service.output();
  for (std::size_t i = sent_before; i < lines.size(); ++i) {
    readings += lines[i].find(std::string("scale.reading ") + kScale) != std::string::npos;
  }
  std::printf("scales_cpu_seconds=%d\nscales_cpu_reports=%d\nscales_cpu_readings=%zu\n",
              cpu_seconds, reports, readings);
  std::printf("scales_cpu_percent=%.3f\nscales_cpu_silent_percent=%.3f\n", busy, silent);
  std::printf("scales_cpu_wakeups_per_second=%.1f\nscales_cpu_silent_wakeups_per_second=%.1f\n",
              runs_per_second, silent_runs_per_second);

  ::close(fd);
  client.signal(SIGINT);
  if (client.wait_exit(10s) != 0) fail("the client did not close cleanly", &client);
  return 0;
}
