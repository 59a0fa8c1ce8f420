// Printing end to end: quillpost-service offers jobs to the real `launch`,
// which prints them on a private scheduler. Each job prints once, whatever
// happens to the client or the service in the middle.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/launch_process.h"
#include "support/cups_scheduler.h"
#include "support/files.h"
#include "support/seed.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace quillpost {
namespace {

using namespace std::chrono_literals;
using testing::CupsScheduler;
using testing::LaunchProcess;
using testing::ServiceProcess;
using testing::TempDir;

constexpr const char* kComputer = "PRINT-PC";

class PrintingEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!CupsScheduler::available()) GTEST_SKIP() << "needs root and cupsd";
    cups_ = std::make_unique<CupsScheduler>(scheduler_options());
  }
  virtual CupsScheduler::Options scheduler_options() const { return {}; }

  std::unique_ptr<LaunchProcess> start_client(const ServiceProcess& service,
                                              const std::string& settings = "settings") const {
    return std::make_unique<LaunchProcess>(
        std::string(QP_BINARY_DIR) + "/bin/launch",
        std::vector<std::string>{
            "--headless", "--shutdown-on-sigint", "--client-key=demo-client-key",
            "--computer-name=" + std::string(kComputer),
            "--settings-dir=" + (dir_ / settings).string(), "--settings-dir-create"},
        std::vector<std::string>{"QUILLPOST_SERVICE_URL=" + service.base_url(),
                                 "CUPS_SERVER=" + cups_->socket()});
  }

  // A document of `size` bytes, different for each name.
  std::string document(const std::string& name, std::size_t size) {
    std::mt19937 random(static_cast<unsigned>(std::hash<std::string>{}(name)));
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    testing::write_file(dir_, "docs/" + name, bytes);
    return bytes;
  }
  std::string print(const ServiceProcess& service, const std::string& name) const {
    return service
        .control("POST", "/control/print",
                 {{"computer", kComputer},
                  {"printer", "Desk"},
                  {"file", (dir_ / "docs" / name).string()},
                  {"contentType", "application/octet-stream"}})["jobId"]
        .get<std::string>();
  }
  // The states of the service's jobs, by id.
  static std::map<std::string, std::string> states(const ServiceProcess& service) {
    std::map<std::string, std::string> out;
    const nlohmann::json answer = service.control("GET", "/control/jobs");
    for (const auto& job : answer["jobs"]) {
      out[job["jobId"].get<std::string>()] = job["state"].get<std::string>();
    }
    return out;
  }
  static bool all_final(const std::map<std::string, std::string>& states) {
    for (const auto& [id, state] : states) {
      if (state != "completed" && state != "failed" && state != "cancelled" && state != "unknown") {
        return false;
      }
    }
    return !states.empty();
  }
  bool wait_all_final(const ServiceProcess& service, std::chrono::seconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (all_final(states(service))) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }
  // What the scheduler printed, by job id (from the printed job's name).
  std::map<std::string, std::vector<std::string>> printed() const {
    std::map<std::string, std::vector<std::string>> out;
    for (const auto& [printer_job, bytes] : cups_->captured("Desk")) {
      const auto args = cups_->captured_args("Desk", printer_job);
      if (args.size() >= 3 && args[2].rfind("qp-", 0) == 0) out[args[2].substr(3)].push_back(bytes);
    }
    return out;
  }

  TempDir dir_;
  std::unique_ptr<CupsScheduler> cups_;
};

// A scheduler that keeps finished jobs (the default), and one that forgets
// them and their files at once.
class KilledAtRandomMoments : public PrintingEndToEnd, public ::testing::WithParamInterface<bool> {
 protected:
  CupsScheduler::Options scheduler_options() const override {
    CupsScheduler::Options options;
    if (GetParam()) options.extra_conf = {"PreserveJobHistory No", "PreserveJobFiles No"};
    return options;
  }
};
INSTANTIATE_TEST_SUITE_P(Scheduler, KilledAtRandomMoments, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Forgets" : "Keeps";
                         });

TEST_P(KilledAtRandomMoments, EveryJobStillPrintsExactlyOnce) {
  ServiceProcess service;
  std::map<std::string, std::string> documents;  // by job id
  auto client = start_client(service);
  ASSERT_TRUE(client->wait_for_line("CLIENT_HANDSHAKED: Authenticated.")) << client->output();
  // Six waves of five jobs; kill -9 of the client at a moment chosen by
  // chance while each wave is on its way (downloading, being handed to the
  // scheduler, printing), then a restart.
  std::mt19937 random(testing::test_seed());
  for (int wave = 0; wave < 6; ++wave) {
    for (int i = 0; i < 5; ++i) {
      const std::string name = "doc-" + std::to_string(wave) + "-" + std::to_string(i);
      const std::string bytes = document(name, 64 * 1024 + random() % (6 << 20));
      documents[print(service, name)] = bytes;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 200));
    client->signal(SIGKILL);
    client->wait_exit(10s);
    client = start_client(service);
  }
  EXPECT_TRUE(wait_all_final(service, 60s));
  const auto final = states(service);
  const auto on_paper = printed();
  for (const auto& [id, bytes] : documents) {
    const auto copies = on_paper.find(id);
    EXPECT_EQ(final.at(id), "completed") << id;
    EXPECT_EQ(copies == on_paper.end() ? 0 : copies->second.size(), 1u) << id << " copies";
    EXPECT_TRUE(copies == on_paper.end() || copies->second[0] == bytes) << id << " other bytes";
  }
  EXPECT_EQ(cups_->captured("Desk").size(), documents.size());
  if (HasFailure()) std::cerr << testing::read_file(dir_ / "settings/logs/quillpost.log");
}

TEST_F(PrintingEndToEnd, AServiceRestartMidJobNeitherLosesNorDuplicatesAJob) {
  const auto jobs_file = (dir_ / "jobs.json").string();
  auto service = std::make_unique<ServiceProcess>(
      std::vector<std::string>{"--jobs-file", jobs_file, "--fault", "document=hang"});
  auto client = start_client(*service);
  ASSERT_TRUE(client->wait_for_line("CLIENT_HANDSHAKED: Authenticated.")) << client->output();
  std::map<std::string, std::string> documents;
  for (int i = 0; i < 3; ++i) {
    const std::string name = "doc-" + std::to_string(i);
    const std::string bytes = document(name, 512 * 1024);
    documents[print(*service, name)] = bytes;
  }
  // The documents hang; the service dies with the client in the middle.
  ASSERT_TRUE(service->wait_for_state(
      [&](const nlohmann::json&) {
        for (const auto& [id, state] : states(*service)) {
          if (state == "downloading") return true;
        }
        return false;
      },
      10s));
  const auto ports = service->same_ports_args();
  service->kill();
  std::vector<std::string> args = ports;
  args.insert(args.end(), {"--jobs-file", jobs_file});
  service = std::make_unique<ServiceProcess>(args);
  ASSERT_TRUE(wait_all_final(*service, 120s)) << client->output();
  const auto final = states(*service);
  EXPECT_EQ(final.size(), documents.size());
  const auto on_paper = printed();
  for (const auto& [id, bytes] : documents) {
    EXPECT_EQ(final.at(id), "completed") << id;
    ASSERT_EQ(on_paper.count(id), 1u) << id;
    ASSERT_EQ(on_paper.at(id).size(), 1u) << id;
    EXPECT_TRUE(on_paper.at(id)[0] == bytes) << id;
  }
}

// The document service is down for 10 s (503 with Retry-After, then 500), as
// during a deploy: the client waits it out and prints the job once.
TEST_F(PrintingEndToEnd, ADocumentOutageThatPassesIsWaitedOutAndTheJobPrintsOnce) {
  ServiceProcess service({"--fault", "document=503"});
  auto client = start_client(service);
  ASSERT_TRUE(client->wait_for_line("CLIENT_HANDSHAKED: Authenticated.")) << client->output();
  const std::string bytes = document("outage", 64 * 1024);
  const std::string id = print(service, "outage");
  // The job waits, and the service is told why.
  const auto told = [&](const std::string& text) {
    return service.wait_for_state(
        [&](const nlohmann::json&) {
          const nlohmann::json answer = service.control("GET", "/control/jobs");
          for (const auto& job : answer["jobs"]) {
            if (job["jobId"] == id && job["state"] == "downloading" &&
                job["reason"].get<std::string>().find(text) != std::string::npos) {
              return true;
            }
          }
          return false;
        },
        15s);
  };
  ASSERT_TRUE(told("HTTP 503")) << client->output();
  std::this_thread::sleep_for(5s);
  service.set_fault("document", "500");
  ASSERT_TRUE(told("HTTP 500")) << client->output();
  std::this_thread::sleep_for(5s);
  service.set_fault("document", "ok");
  ASSERT_TRUE(wait_all_final(service, 60s)) << client->output();
  EXPECT_EQ(states(service).at(id), "completed");
  const auto on_paper = printed();
  ASSERT_EQ(on_paper.count(id), 1u);
  ASSERT_EQ(on_paper.at(id).size(), 1u);
  EXPECT_TRUE(on_paper.at(id)[0] == bytes);
}

// Two installations with one computer name (a cloned machine) share the jobs:
// each prints once. A copied settings directory is warned on both sides.
TEST_F(PrintingEndToEnd, TwoInstallationsWithOneComputerNamePrintEachJobOnce) {
  ServiceProcess service;
  auto a = start_client(service, "a");
  auto b = start_client(service, "b");
  for (auto* client : {a.get(), b.get()}) {
    ASSERT_TRUE(client->wait_for_line("CLIENT_HANDSHAKED: Authenticated.")) << client->output();
  }
  std::map<std::string, std::string> documents;
  for (int i = 0; i < 6; ++i) {
    const std::string name = "twin-" + std::to_string(i);
    documents[print(service, name)] = document(name, 32 * 1024);
  }
  ASSERT_TRUE(wait_all_final(service, 60s));
  const auto on_paper = printed();
  for (const auto& [id, bytes] : documents) {
    EXPECT_EQ(states(service).at(id), "completed") << id;
    ASSERT_EQ(on_paper.count(id), 1u) << id;
    EXPECT_EQ(on_paper.at(id).size(), 1u) << id << " printed by both installations";
  }
  EXPECT_EQ(cups_->captured("Desk").size(), documents.size());

  std::filesystem::create_directories(dir_ / "copy");
  std::filesystem::copy_file(dir_ / "a/world_id", dir_ / "copy/world_id");
  auto copy = start_client(service, "copy");
  ASSERT_TRUE(copy->wait_for_line("CLIENT_HANDSHAKED: Authenticated.")) << copy->output();
  const auto warned = [&](const std::string& settings) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string log = testing::read_file(dir_ / settings / "logs/quillpost.log");
      if (log.find("server warning: Two clients with the same settings directory") !=
          std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(100ms);
    }
    return false;
  };
  EXPECT_TRUE(warned("a"));
  EXPECT_TRUE(warned("copy"));
}

// A printer's state flips (paused, resumed, printing a job) go as small
// printers.state messages; the whole list is sent once per link.
TEST_F(PrintingEndToEnd, PrinterStateChangesGoAloneAndTheListIsNotResent) {
  ServiceProcess service;
  auto client = start_client(service);
  ASSERT_TRUE(client->wait_for_line("CLIENT_HANDSHAKED: Authenticated.")) << client->output();
  const auto computer = [&] {
    const nlohmann::json answer = service.control("GET", "/control/printers");
    for (const auto& c : answer["computers"]) {
      if (c["computer"] == kComputer) return c;
    }
    return nlohmann::json();
  };
  const auto desk_state = [&] {
    const auto c = computer();
    if (!c.is_object()) return std::string();
    for (const auto& p : c["printers"]) {
      if (p["name"] == "Desk") return p["state"].get<std::string>();
    }
    return std::string();
  };
  ASSERT_TRUE(service.wait_for_state([&](const auto&) { return desk_state() == "idle"; }, 10s));
  const auto lists = computer()["messages"]["printers"];
  ASSERT_EQ(cups_->admin("cupsdisable Desk").status, 0);
  ASSERT_TRUE(service.wait_for_state([&](const auto&) { return desk_state() == "stopped"; }, 10s));
  ASSERT_EQ(cups_->admin("cupsenable Desk").status, 0);
  ASSERT_TRUE(service.wait_for_state([&](const auto&) { return desk_state() == "idle"; }, 10s));
  document("flip", 256 * 1024);
  print(service, "flip");
  ASSERT_TRUE(wait_all_final(service, 30s));
  std::this_thread::sleep_for(3s);  // a poll or two after the job
  const auto messages = computer()["messages"];
  EXPECT_EQ(messages["printers"], lists) << messages;
  EXPECT_GE(messages["printers.state"].get<int>(), 2) << messages;
}

TEST_F(PrintingEndToEnd, WithoutAPrintingSystemNothingOfItIsLoadedUntilOneAppears) {
  // The scheduler is made (its queues too) and stopped: no socket, no
  // printing system on this computer.
  cups_->stop();
  std::filesystem::remove(cups_->socket());
  ServiceProcess service;
  auto client = start_client(service);
  ASSERT_TRUE(client->wait_for_line("CLIENT_HANDSHAKED: Authenticated.")) << client->output();
  const auto printers = [&] {
    const nlohmann::json answer = service.control("GET", "/control/printers");
    for (const auto& computer : answer["computers"]) {
      if (computer["computer"] == kComputer) return computer["printers"];
    }
    return nlohmann::json();
  };
  ASSERT_TRUE(service.wait_for_state([&](const auto&) { return printers().is_array(); }, 5s));
  EXPECT_TRUE(printers().empty());
  const auto maps = [&] {
    return testing::read_file("/proc/" + std::to_string(client->pid()) + "/maps");
  };
  // (Sanitizer builds link the module into launch.)
  const bool sanitized =
      testing::read_file("/proc/self/maps").find("libasan") != std::string::npos ||
      testing::read_file("/proc/self/maps").find("libtsan") != std::string::npos;
  if (!sanitized) {
    EXPECT_EQ(maps().find("libcups"), std::string::npos);
  }

  // A scheduler appears: its printers reach the service within a few seconds.
  cups_->start();
  ASSERT_TRUE(service.wait_for_state([&](const auto&) { return printers().size() == 2; }, 10s));
  EXPECT_NE(maps().find("libcups"), std::string::npos);
  const std::string bytes = document("late", 4096);
  const std::string id = print(service, "late");
  ASSERT_TRUE(wait_all_final(service, 20s));
  EXPECT_EQ(states(service).at(id), "completed");
  EXPECT_EQ(printed().at(id), std::vector<std::string>{bytes});
}

}  // namespace
}  // namespace quillpost
