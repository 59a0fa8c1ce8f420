// Scales end to end: the real `launch` reads a serial scale that this test
// plays on a pseudo-terminal, and a HID scale through a device tree made in
// a directory (the scales' device root), and quillpost-service keeps what
// reaches it.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/uhid.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "e2e/launch_process.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace quillpost {
namespace {

using namespace std::chrono_literals;
using testing::LaunchProcess;
using testing::ServiceProcess;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

// A scale on the master side of a pseudo-terminal: answers each command
// line with what `answer` says (nothing for ""), and every 100 ms writes what
// `speak` says, as a scale that prints its readings on its own.
class PtyScale {
 public:
  explicit PtyScale(std::function<std::string(const std::string&)> answer,
                    std::function<std::string()> speak = nullptr)
      : answer_(std::move(answer)), speak_(std::move(speak)) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    path_ = ::ptsname(master_);
    thread_ = std::thread([this] { run(); });
  }
  ~PtyScale() { close(); }
  const std::string& path() const { return path_; }
  // The line goes away, as an unplugged adapter.
  void close() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  void write_all(const std::string& text) {
    if (!text.empty()) [[maybe_unused]]
      auto w = ::write(master_, text.data(), text.size());
  }
  void run() {
    std::string pending;
    auto next_speech = Clock::now();
    while (!stop_) {
      if (speak_ && Clock::now() >= next_speech) {
        write_all(speak_());
        next_speech += 100ms;
      }
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, speak_ ? 20 : 50) <= 0) continue;
      char buffer[256];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) {
        std::this_thread::sleep_for(20ms);  // no slave open yet
        continue;
      }
      pending.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t cr; (cr = pending.find('\r')) != std::string::npos;) {
        std::string command = pending.substr(0, cr);
        pending.erase(0, cr + 1);
        if (!pending.empty() && pending.front() == '\n') pending.erase(0, 1);
        write_all(answer_(command));
      }
    }
  }

  std::function<std::string(const std::string&)> answer_;
  std::function<std::string()> speak_;
  int master_ = -1;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class ScalesEndToEnd : public ::testing::Test {
 protected:
  std::unique_ptr<LaunchProcess> start_client(const ServiceProcess& service,
                                              const std::string& config,
                                              std::vector<std::string> extra) const {
    const auto config_file = dir_ / "client.conf";
    std::ofstream(config_file) << config;
    std::vector<std::string> args{"--headless",
                                  "--shutdown-on-sigint",
                                  "--client-key=demo-client-key",
                                  "--computer-name=SCALE-PC",
                                  "--settings-dir=" + (dir_ / "settings").string(),
                                  "--settings-dir-create",
                                  "--config-file=" + config_file.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<LaunchProcess>(
        std::string(QP_BINARY_DIR) + "/bin/launch", args,
        std::vector<std::string>{"QUILLPOST_SERVICE_URL=" + service.base_url()});
  }
  // The computer's scales as the service keeps them, once `ok` holds of them.
  static nlohmann::json wait_scales(const ServiceProcess& service,
                                    const std::function<bool(const nlohmann::json&)>& ok,
                                    std::chrono::milliseconds limit = 10s) {
    const auto deadline = Clock::now() + limit;
    nlohmann::json computers;
    while (Clock::now() < deadline) {
      computers = service.control("GET", "/control/scales")["computers"];
      if (!computers.empty() && ok(computers[0])) return computers[0];
      std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << "the service's scales: " << computers.dump();
    return nullptr;
  }
  // Pushes `event` ("scale.read", "scale.zero") for `scale`; its result.
  static nlohmann::json request(const ServiceProcess& service, const std::string& event,
                                const std::string& scale) {
    static int serial = 0;
    const std::string id = "q" + std::to_string(++serial);
    service.control("POST", "/control/push",
                    {{"event", event}, {"payload", {{"requestId", id}, {"scale", scale}}}});
    const auto computer = wait_scales(service, [&](const nlohmann::json& c) {
      const auto& results = c["lastResults"];
      return results.contains(event + ".result") && results[event + ".result"]["requestId"] == id;
    });
    return computer.is_null() ? computer : computer["lastResults"][event + ".result"];
  }
  // The service's log lines that hold `text`.
  static std::size_t service_lines(const ServiceProcess& service, const std::string& text) {
    std::size_t n = 0;
    for (const auto& line : service.output()) n += line.find(text) != std::string::npos;
    return n;
  }
  static nlohmann::json reading_of(const nlohmann::json& computer, const std::string& id) {
    for (const auto& scale : computer["scales"]) {
      if (scale["id"] == id) return scale["reading"];
    }
    return nullptr;
  }
  // A HID scale at hidraw`n` of a device tree under dir_/root; its node a
  // FIFO, made last as the kernel makes it.
  std::filesystem::path make_hid_tree(int n = 0) const {
    const std::string name = "hidraw" + std::to_string(n);
    const auto device = dir_ / "root/sys/class/hidraw" / name / "device";
    std::filesystem::create_directories(device);
    std::filesystem::create_directories(dir_ / "root/dev");
    // Usage Page (Scale), Usage (Scale Device), Collection, ... End Collection.
    const std::string descriptor("\x05\x8D\x09\x01\xA1\x01\xC0", 7);
    std::ofstream(device / "report_descriptor", std::ios::binary) << descriptor;
    std::ofstream(device / "uevent") << "HID_ID=0003:00000922:00008009\nHID_NAME=Maker Postal 10\n"
                                     << "HID_PHYS=usb-" << n + 1 << "/input0\n";
    const auto node = dir_ / "root/dev" / name;
    if (::mkfifo(node.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
    return node;
  }
  // The HID device unplugged: its node first, then its sysfs entry.
  void unplug(int n = 0) const {
    std::filesystem::remove(dir_ / "root/dev" / ("hidraw" + std::to_string(n)));
    std::filesystem::remove_all(dir_ / "root/sys/class/hidraw" / ("hidraw" + std::to_string(n)));
  }
  // The writing end of a FIFO node, once the client has opened it to read.
  static int open_node(const std::filesystem::path& node) {
    int fd = -1;
    for (int i = 0; i < 200 && fd < 0; ++i) {
      fd = ::open(node.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) std::this_thread::sleep_for(50ms);
    }
    return fd;
  }

  TempDir dir_;
};

TEST_F(ScalesEndToEnd, SerialScalesOnPseudoTerminals) {
  enum class Mode { weigh, garbage, silent };
  std::atomic<Mode> nci_mode{Mode::weigh};
  std::mt19937 random(22);
  PtyScale nci([&](const std::string& command) -> std::string {
    if (nci_mode == Mode::silent) return "";
    if (nci_mode == Mode::garbage) {
      std::string bytes(1 + random() % 64, '\0');
      for (char& c : bytes) c = static_cast<char>(random());
      return bytes;
    }
    if (command == "W") return "\n0001.25lb\r\n00\r\x03";
    return command == "Z" ? "\n00\r\n00\r\x03" : "\n?\r\x03";
  });
  PtyScale sics([](const std::string& command) -> std::string {
    return command == "SI" ? "S S     1.234 kg\r\n" : "ES\r\n";
  });
  // A scale that prints its weight on its own, with no stable flag: a value
  // that keeps changing, then one that holds from `held_since`.
  std::atomic<bool> hold{false};
  std::atomic<Clock::time_point> held_since{Clock::time_point{}};
  int tick = 0;
  PtyScale continuous([](const std::string&) { return std::string(); },
                      [&]() -> std::string {
                        if (!hold) return ++tick % 2 ? "   1.000 kg\r\n" : "   1.001 kg\r\n";
                        if (held_since.load() == Clock::time_point{}) held_since = Clock::now();
                        return "   1.234 kg\r\n";
                      });
  ServiceProcess service;
  auto client =
      start_client(service,
                   "serial_scales = \"" + nci.path() + " 9600 8N1 nci; " + sics.path() +
                       " 9600 7E1 sics; " + continuous.path() + " 9600 8N1 continuous\"\n",
                   {"--scales-enabled=true"});
  const std::string nci_id = "serial:" + nci.path();
  const std::string sics_id = "serial:" + sics.path();
  const std::string continuous_id = "serial:" + continuous.path();
  const auto nci_weighs = [&](const nlohmann::json& c) {
    return reading_of(c, nci_id)["grams"] == "566.9904625";
  };
  auto computer = wait_scales(service, [&](const nlohmann::json& c) {
    return nci_weighs(c) && reading_of(c, sics_id)["grams"] == "1234";
  });
  ASSERT_FALSE(computer.is_null()) << client->output();
  EXPECT_EQ(reading_of(computer, nci_id)["unit"], "lb");
  EXPECT_EQ(reading_of(computer, sics_id)["stable"], true);

  // Reads and zeroes, answered or refused.
  struct Ask {
    std::string event;
    std::string scale;
    std::string status;
  };
  for (const Ask& ask : std::vector<Ask>{{"scale.read", sics_id, "ok"},
                                         {"scale.read", "serial:/dev/none", "unknown_scale"},
                                         {"scale.zero", nci_id, "ok"},
                                         {"scale.zero", sics_id, "failed"},  // it answers ES
                                         {"scale.zero", continuous_id, "unsupported"},
                                         {"scale.zero", "serial:/dev/none", "unknown_scale"}}) {
    const auto result = request(service, ask.event, ask.scale);
    EXPECT_EQ(result["status"], ask.status) << ask.event << " " << ask.scale << ": " << result;
    if (ask.status == "ok" && ask.event == "scale.read") {
      EXPECT_EQ(result["reading"]["grams"], "1234");
    }
  }

  // Without a stable flag: never stable while the value changes; stable once
  // it has held for the documented second, and no sooner.
  hold = true;
  computer = wait_scales(service, [&](const nlohmann::json& c) {
    return reading_of(c, continuous_id)["stable"] == true;
  });
  ASSERT_FALSE(computer.is_null());
  EXPECT_GE(Clock::now() - held_since.load(), 1s);
  EXPECT_EQ(reading_of(computer, continuous_id)["grams"], "1234");
  EXPECT_EQ(service_lines(service, continuous_id + " stable 100"), 0u);

  // Random bytes for an answer: a fault with its reason; the scale weighs
  // again once it answers properly.
  nci_mode = Mode::garbage;
  computer = wait_scales(
      service, [&](const nlohmann::json& c) { return reading_of(c, nci_id)["status"] == "fault"; });
  ASSERT_FALSE(computer.is_null());
  EXPECT_NE(reading_of(computer, nci_id)["reason"], "");
  nci_mode = Mode::weigh;
  EXPECT_FALSE(wait_scales(service, nci_weighs).is_null());

  // A scale that stops answering, and one whose line goes away: both in fault.
  nci_mode = Mode::silent;
  sics.close();
  const auto silenced = Clock::now();
  computer = wait_scales(service, [&](const nlohmann::json& c) {
    return reading_of(c, nci_id)["status"] == "fault" &&
           reading_of(c, sics_id)["status"] == "fault";
  });
  EXPECT_LT(Clock::now() - silenced, 3s);
  EXPECT_TRUE(client->running());
}

TEST_F(ScalesEndToEnd, HidScaleThroughDeviceTree) {
  const auto node = make_hid_tree();
  ServiceProcess service;
  auto client = start_client(service, "scales_device_root = \"" + (dir_ / "root").string() + "\"\n",
                             {"--scales-enabled=true"});
  const std::string id = "hid:0922:8009:usb-1_input0";
  ASSERT_FALSE(
      wait_scales(service, [](const nlohmann::json& c) { return !c["scales"].empty(); }).is_null())
      << client->output();
  // The client opens the node for reading; then a report: 645.2 oz, stable.
  int fd = open_node(node);
  ASSERT_GE(fd, 0) << "the client never opened the node";
  const unsigned char report[] = {0x03, 0x04, 0x0B, 0xFF, 0x34, 0x19};
  ASSERT_EQ(::write(fd, report, sizeof report), 6);
  const auto grams_are = [&](const std::string& grams) {
    return [&, grams](const nlohmann::json& c) { return reading_of(c, id)["grams"] == grams; };
  };
  auto computer = wait_scales(service, grams_are("18291.11232025"));
  ASSERT_FALSE(computer.is_null());
  EXPECT_EQ(computer["scales"][0]["name"], "Maker Postal 10");
  // With every agent running, only the main thread takes the stop signals: a
  // worker parked in a read could otherwise hold one back.
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    EXPECT_THAT(testing::threads_taking(client->pid(), sig), ::testing::IsEmpty()) << sig;
  }

  // A flood of 1,000 changing reports a second for 2 s: at most 10 readings
  // a second reach the service, and the last value is not lost.
  const std::string sent_line = "scale.reading " + id + " ";
  const std::size_t before = service_lines(service, sent_line);
  const auto flood_start = Clock::now();
  for (int burst = 0; Clock::now() - flood_start < 2s; ++burst) {
    unsigned char reports[10 * 6];
    for (int i = 0; i < 10; ++i) {
      const int grams = 1 + (burst * 10 + i) % 1000;
      const unsigned char r[] = {0x03,
                                 0x04,
                                 0x02,
                                 0x00,
                                 static_cast<unsigned char>(grams & 0xFF),
                                 static_cast<unsigned char>(grams >> 8)};
      std::copy(std::begin(r), std::end(r), reports + i * 6);
    }
    [[maybe_unused]] auto w = ::write(fd, reports, sizeof reports);  // a full pipe drops them
    std::this_thread::sleep_for(10ms);
  }
  const unsigned char last[] = {0x03, 0x04, 0x02, 0x00, 0xD2, 0x04};  // 1234 g
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(::write(fd, last, sizeof last), 6);
  ASSERT_FALSE(wait_scales(service, grams_are("1234")).is_null());
  const double seconds = std::chrono::duration<double>(Clock::now() - flood_start).count();
  EXPECT_LE(static_cast<double>(service_lines(service, sent_line) - before), 10 * seconds + 2);

  // A report of the wrong size: a fault with its reason, then readings again.
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(::write(fd, report, 4), 4);
  computer = wait_scales(
      service, [&](const nlohmann::json& c) { return reading_of(c, id)["status"] == "fault"; });
  EXPECT_NE(reading_of(computer, id)["reason"], "");
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(::write(fd, report, sizeof report), 6);
  EXPECT_FALSE(wait_scales(service, grams_are("18291.11232025")).is_null());

  // Unplugged in the middle of a report: gone from the service's list
  // within 2 s; plugged in again, the same scale under the same id.
  ASSERT_EQ(::write(fd, report, 3), 3);
  unplug();
  ::close(fd);
  const auto unplugged = Clock::now();
  wait_scales(service, [](const nlohmann::json& c) { return c["scales"].empty(); });
  EXPECT_LT(Clock::now() - unplugged, 2s);
  const auto again = make_hid_tree();
  computer = wait_scales(service, [](const nlohmann::json& c) { return !c["scales"].empty(); });
  ASSERT_FALSE(computer.is_null());
  EXPECT_EQ(computer["scales"][0]["id"], id);
  fd = open_node(again);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, report, sizeof report), 6);
  EXPECT_FALSE(wait_scales(service, grams_are("18291.11232025")).is_null());
  ::close(fd);
  EXPECT_TRUE(client->running());
}

// A HID scale the kernel itself makes, through the uhid driver: the client
// finds it under the real /sys/class/hidraw and reads the real /dev/hidrawN.
class UhidScale {
 public:
  UhidScale() : fd_(::open("/dev/uhid", O_RDWR | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("open /dev/uhid");
    // Scale page, a Scale Device application collection with one input
    // report (id 3) of five bytes: status, unit, exponent, weight low, high.
    static constexpr unsigned char kDescriptor[] = {0x05, 0x8D, 0x09, 0x20, 0xA1, 0x01, 0x85, 0x03,
                                                    0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95,
                                                    0x05, 0x09, 0x30, 0x81, 0x02, 0xC0};
    uhid_event create{};
    create.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(create.u.create2.name), sizeof create.u.create2.name,
                  "Maker Postal 10");
    std::snprintf(reinterpret_cast<char*>(create.u.create2.phys), sizeof create.u.create2.phys,
                  "qp-uhid/input0");
    std::snprintf(reinterpret_cast<char*>(create.u.create2.uniq), sizeof create.u.create2.uniq,
                  "qp-uhid-scale");
    create.u.create2.rd_size = sizeof kDescriptor;
    create.u.create2.bus = 0x03;  // USB
    create.u.create2.vendor = 0x0922;
    create.u.create2.product = 0x8009;
    std::copy(std::begin(kDescriptor), std::end(kDescriptor), create.u.create2.rd_data);
    send(create);
  }
  ~UhidScale() {
    uhid_event destroy{};
    destroy.type = UHID_DESTROY;
    [[maybe_unused]] auto w = ::write(fd_, &destroy, sizeof destroy);
    ::close(fd_);
  }
  UhidScale(const UhidScale&) = delete;
  UhidScale& operator=(const UhidScale&) = delete;

  void report(std::span<const unsigned char> bytes) {
    uhid_event input{};
    input.type = UHID_INPUT2;
    input.u.input2.size = static_cast<std::uint16_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), input.u.input2.data);
    send(input);
  }

 private:
  void send(const uhid_event& event) {
    if (::write(fd_, &event, sizeof event) != static_cast<ssize_t>(sizeof event)) {
      throw std::runtime_error("write /dev/uhid");
    }
  }
  int fd_;
};

// The HID scenario once more against a device of the kernel's, where the
// machine has the uhid driver (a virtual machine or container often lacks it).
TEST_F(ScalesEndToEnd, VirtualHidScaleThroughUhid) {
  if (::geteuid() != 0 || !std::filesystem::exists("/dev/uhid")) {
    GTEST_SKIP() << "no /dev/uhid here, or not root: a virtual HID scale needs the uhid driver";
  }
  ServiceProcess service;
  auto client = start_client(service, "", {"--scales-enabled=true"});
  const std::string id = "hid:0922:8009:qp-uhid-scale";
  const auto listed = [&](const nlohmann::json& c) {
    for (const auto& scale : c["scales"]) {
      if (scale["id"] == id) return true;
    }
    return false;
  };
  auto scale = std::make_unique<UhidScale>();
  ASSERT_FALSE(wait_scales(service, listed).is_null()) << client->output();
  // The kernel passes input only to a reader: report until one arrives.
  const unsigned char report[] = {0x03, 0x04, 0x0B, 0xFF, 0x34, 0x19};  // 645.2 oz, stable
  const auto deadline = Clock::now() + 10s;
  nlohmann::json reading;
  const auto has_reading = [&] { return !reading.is_null() && !reading_of(reading, id).is_null(); };
  while (Clock::now() < deadline && !has_reading()) {
    scale->report(report);
    std::this_thread::sleep_for(200ms);
    const auto computers = service.control("GET", "/control/scales")["computers"];
    if (!computers.empty()) reading = computers[0];
  }
  ASSERT_TRUE(has_reading()) << reading.dump();
  EXPECT_EQ(reading_of(reading, id)["grams"], "18291.11232025");
  // Unplugged: gone from the service's list within 2 s.
  scale.reset();
  const auto unplugged = Clock::now();
  EXPECT_FALSE(wait_scales(service, [&](const nlohmann::json& c) { return !listed(c); }).is_null());
  EXPECT_LT(Clock::now() - unplugged, 2s);
}

// The times the scales worker thread of `pid` has gone to sleep and been
// woken; -1 when there is no such thread.
long worker_wakeups(pid_t pid) {
  std::error_code ec;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    if (comm != "qp-scales") continue;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    }
  }
  return -1;
}

TEST_F(ScalesEndToEnd, DisabledListsButDoesNotRead) {
  const auto node = make_hid_tree();
  ServiceProcess service;
  auto client = start_client(service, "scales_device_root = \"" + (dir_ / "root").string() + "\"\n",
                             {"--scales-enabled=false"});
  const auto computer = wait_scales(service, [](const nlohmann::json& c) {
    return !c["scales"].empty() && c["enabled"] == false;
  });
  ASSERT_FALSE(computer.is_null()) << client->output();
  // Disabled with nothing plugged or unplugged, the worker sleeps.
  const long wakeups = worker_wakeups(client->pid());
  ASSERT_GE(wakeups, 0);
  std::this_thread::sleep_for(2500ms);
  EXPECT_LE(worker_wakeups(client->pid()) - wakeups, 1);
  // No reader ever opened the node.
  EXPECT_LT(::open(node.c_str(), O_WRONLY | O_NONBLOCK), 0);
  EXPECT_EQ(errno, ENXIO);

  // Plugged and unplugged while disabled: the list follows within 2 s.
  for (const std::size_t scales : {2u, 1u}) {
    const auto changed = Clock::now();
    if (scales == 2) {
      make_hid_tree(1);
    } else {
      unplug(1);
    }
    EXPECT_FALSE(wait_scales(service, [&](const nlohmann::json& c) {
                   return c["scales"].size() == scales;
                 }).is_null());
    EXPECT_LT(Clock::now() - changed, 2s) << scales << " scales";
  }
}

TEST_F(ScalesEndToEnd, RemovedSupportStartsNoAgent) {
  make_hid_tree();
  ServiceProcess service;
  auto client = start_client(service, "scales_device_root = \"" + (dir_ / "root").string() + "\"\n",
                             {"--scales-enabled=true", "--remove-scales-support"});
  ASSERT_TRUE(client->wait_for_line("CLIENT_HANDSHAKED: Authenticated.")) << client->output();
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(service.control("GET", "/control/scales")["computers"].empty());
  EXPECT_EQ(client->count("Scales are"), 0u);
}

}  // namespace
}  // namespace quillpost
