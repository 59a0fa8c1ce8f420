// The crash scenario end to end: a program with the client's fatal-signal
// handler dies of SIGSEGV; the next start of `launch` keeps the report when
// sending is off, and otherwise symbolises it, delivers it to
// quillpost-service and removes it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "e2e/launch_process.h"
#include "support/files.h"
#include "support/service_process.h"
#include "support/temp_dir.h"

namespace quillpost {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using testing::LaunchProcess;
using ::testing::Not;
using testing::ServiceProcess;
using testing::TempDir;

std::vector<std::filesystem::path> reports_in(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("crash-")) files.push_back(entry.path());
  }
  return files;
}

std::string maps_of(pid_t pid) {
  return testing::read_file("/proc/" + std::to_string(pid) + "/maps");
}

TEST(CrashReport, ACrashLeavesAReportThatTheNextStartSendsUnlessSendingIsOff) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer builds keep the sanitizers' own fatal-signal handlers";
#endif
  TempDir dir;
  const auto settings = dir / "settings";
  const auto reports = settings / "crash-reports";

  LaunchProcess probe(QP_CRASH_PROBE, {reports.string()});
  EXPECT_EQ(probe.wait_exit(), 128 + SIGSEGV) << probe.output();
  auto files = reports_in(reports);
  ASSERT_EQ(files.size(), 1U);
  struct stat st {};
  ASSERT_EQ(stat(files[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600U);
  const std::string report = testing::read_file(files[0]);
  EXPECT_THAT(report, HasSubstr("\nsignal 11 SIGSEGV\n"));
  EXPECT_THAT(report, HasSubstr("\nthread qp-crash-probe\n"));
  EXPECT_THAT(report, HasSubstr("\nbuild crash probe build\n"));
  EXPECT_THAT(report, HasSubstr("\nframe 0x"));
  EXPECT_THAT(report,
              ::testing::ContainsRegex("\nmodule 0x[0-9a-f]+ [0-9a-f]{40} [^\n]*crash_probe\n"));

  ServiceProcess service;
  auto start = [&](const char* send) {
    return std::make_unique<LaunchProcess>(
        std::string(QP_BINARY_DIR) + "/bin/launch",
        std::vector<std::string>{"--headless", "--shutdown-on-sigint",
                                 "--email=demo@quillpost.test", "--password=demo",
                                 "--settings-dir=" + settings.string(), "--settings-dir-create",
                                 std::string("--send-crash-report=") + send},
        std::vector<std::string>{"QUILLPOST_SERVICE_URL=" + service.base_url()});
  };
  const auto crashes = [&] { return service.control("GET", "/control/crashes")["crashes"]; };

  {
    // Sending off: the report stays, and libdw is never mapped.
    auto client = start("false");
    ASSERT_TRUE(client->wait_for_line(". Its report is kept and not sent.")) << client->output();
    ASSERT_TRUE(client->wait_for_line("CLIENT_HANDSHAKED: ")) << client->output();
    EXPECT_THAT(maps_of(client->pid()), Not(HasSubstr("libdw")));
    client->signal(SIGINT);
    EXPECT_EQ(client->wait_exit(), 0) << client->output();
    EXPECT_EQ(reports_in(reports).size(), 1U);
    EXPECT_TRUE(crashes().empty());
  }
  {
    auto client = start("true");
    ASSERT_TRUE(client->wait_for_line("CRASH_REPORT: The report of the crash at "))
        << client->output();
    EXPECT_THAT(client->output(), HasSubstr("(SIGSEGV); report sent."));
    EXPECT_THAT(maps_of(client->pid()), HasSubstr("libdw"));
    client->signal(SIGINT);
    EXPECT_EQ(client->wait_exit(), 0) << client->output();
  }
  EXPECT_TRUE(reports_in(reports).empty());
  const auto received = crashes();
  ASSERT_EQ(received.size(), 1U) << received.dump();
  EXPECT_EQ(received[0]["signalName"], "SIGSEGV");
  EXPECT_EQ(received[0]["thread"], "qp-crash-probe");
  // The backtrace starts at the faulting function and goes on through its caller.
  const auto& frames = received[0]["frames"];
  ASSERT_GE(frames.size(), 2U) << frames.dump();
  EXPECT_EQ(frames[0].value("function", ""), "crash_probe_fault") << frames.dump();
  EXPECT_EQ(frames[1].value("function", ""), "main") << frames.dump();
  // Nothing of the account travels with a report.
  EXPECT_THAT(received.dump(), Not(HasSubstr("demo@quillpost.test")));

  LaunchProcess list(std::string(QP_BINARY_DIR) + "/bin/quillpost-service",
                     {"crashes", "--control-port", std::to_string(service.control_port())});
  EXPECT_EQ(list.wait_exit(), 0);
  EXPECT_THAT(list.output(), HasSubstr("crash_probe_fault"));
}

}  // namespace
}  // namespace quillpost
