// Scales end to end: the real `launch` reads a serial scale that this test
// plays on a pseudo-terminal, and a HID scale through a device tree made in
// a directory (the scales' device root), and quillpost-service keeps what
// reaches it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
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
// line with what `answer` says (nothing for "").
class PtyScale {
 public:
  explicit PtyScale(std::function<std::string(const std::string&)> answer)
      : answer_(std::move(answer)) {
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
  void run() {
    std::string pending;
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
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
        const std::string reply = answer_(command);
        if (!reply.empty()) [[maybe_unused]]
          auto w = ::write(master_, reply.data(), reply.size());
      }
    }
  }

  std::function<std::string(const std::string&)> answer_;
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
  static nlohmann::json reading_of(const nlohmann::json& computer, const std::string& id) {
    for (const auto& scale : computer["scales"]) {
      if (scale["id"] == id) return scale["reading"];
    }
    return nullptr;
  }
  // A HID scale at hidraw0 of a device tree under dir_/root; its node a FIFO.
  std::filesystem::path make_hid_tree() const {
    const auto device = dir_ / "root/sys/class/hidraw/hidraw0/device";
    std::filesystem::create_directories(device);
    std::filesystem::create_directories(dir_ / "root/dev");
    // Usage Page (Scale), Usage (Scale Device), Collection, ... End Collection.
    const std::string descriptor("\x05\x8D\x09\x01\xA1\x01\xC0", 7);
    std::ofstream(device / "report_descriptor", std::ios::binary) << descriptor;
    std::ofstream(device / "uevent")
        << "HID_ID=0003:00000922:00008009\nHID_NAME=Maker Postal 10\nHID_PHYS=usb-1/input0\n";
    const auto node = dir_ / "root/dev/hidraw0";
    if (::mkfifo(node.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
    return node;
  }

  TempDir dir_;
};

TEST_F(ScalesEndToEnd, SerialScalesOnPseudoTerminals) {
  std::atomic<bool> nci_answers{true};
  PtyScale nci([&](const std::string& command) -> std::string {
    if (!nci_answers) return "";
    return command == "W" ? "\n0001.25lb\r\n00\r\x03" : "\n?\r\x03";
  });
  PtyScale sics([](const std::string& command) -> std::string {
    return command == "SI" ? "S S     1.234 kg\r\n" : "ES\r\n";
  });
  ServiceProcess service;
  auto client = start_client(
      service,
      "serial_scales = \"" + nci.path() + " 9600 8N1 nci; " + sics.path() + " 9600 7E1 sics\"\n",
      {"--scales-enabled=true"});
  const std::string nci_id = "serial:" + nci.path();
  const std::string sics_id = "serial:" + sics.path();
  auto computer = wait_scales(service, [&](const nlohmann::json& c) {
    const auto a = reading_of(c, nci_id);
    const auto b = reading_of(c, sics_id);
    return a.is_object() && a["grams"] == "566.9904625" && b.is_object() && b["grams"] == "1234";
  });
  ASSERT_FALSE(computer.is_null()) << client->output();
  EXPECT_EQ(reading_of(computer, nci_id)["unit"], "lb");
  EXPECT_EQ(reading_of(computer, sics_id)["stable"], true);

  // A read answered at once, and one of a scale there is not.
  service.control(
      "POST", "/control/push",
      {{"event", "scale.read"}, {"payload", {{"requestId", "r1"}, {"scale", sics_id}}}});
  computer = wait_scales(service, [](const nlohmann::json& c) {
    return c["lastResults"].contains("scale.read.result");
  });
  EXPECT_EQ(computer["lastResults"]["scale.read.result"]["status"], "ok");
  EXPECT_EQ(computer["lastResults"]["scale.read.result"]["reading"]["grams"], "1234");

  // A scale that stops answering, and one whose line goes away: both in fault.
  nci_answers = false;
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
  int fd = -1;
  for (int i = 0; i < 100 && fd < 0; ++i) {
    fd = ::open(node.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) std::this_thread::sleep_for(50ms);
  }
  ASSERT_GE(fd, 0) << "the client never opened the node";
  const unsigned char report[] = {0x03, 0x04, 0x0B, 0xFF, 0x34, 0x19};
  ASSERT_EQ(::write(fd, report, sizeof report), 6);
  auto computer = wait_scales(service, [&](const nlohmann::json& c) {
    return reading_of(c, id).is_object() && reading_of(c, id)["grams"] == "18291.11232025";
  });
  ASSERT_FALSE(computer.is_null());
  EXPECT_EQ(computer["scales"][0]["name"], "Maker Postal 10");
  ::close(fd);

  // Unplugged: gone from the service's list within 2 s.
  std::filesystem::remove_all(dir_ / "root/sys/class/hidraw/hidraw0");
  const auto unplugged = Clock::now();
  wait_scales(service, [](const nlohmann::json& c) { return c["scales"].empty(); });
  EXPECT_LT(Clock::now() - unplugged, 2s);
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
  std::this_thread::sleep_for(1500ms);
  // No reader ever opened the node.
  EXPECT_LT(::open(node.c_str(), O_WRONLY | O_NONBLOCK), 0);
  EXPECT_EQ(errno, ENXIO);
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
