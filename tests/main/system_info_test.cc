#include "quillpost/main/system_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/files.h"

namespace quillpost::main {
namespace {

using quillpost::testing::TempDir;
using quillpost::testing::write_file;
using ::testing::HasSubstr;

SystemProbes fixed_probes(std::string system) {
  SystemProbes probes;
  probes.hostname = [] { return std::string("host-1"); };
  probes.username = [] { return std::string("alice"); };
  probes.system = [system] { return system; };
  probes.windows_version = [] {
    return std::vector<std::string>{"10", "10.0.19041", "SP0", "Multiprocessor Free"};
  };
  probes.mac_version = [] { return std::vector<std::string>{"14.1", "", "arm64"}; };
  probes.linux_distribution = [] {
    return std::vector<std::string>{"Debian GNU/Linux", "12", "debian"};
  };
  probes.platform = [] { return std::string("Plat-1"); };
  probes.machine = [] { return std::string("x86_64"); };
  probes.runtime_implementation = [] { return std::string("GCC"); };
  probes.runtime_version = [] { return std::string("12.2.0"); };
  probes.architecture = [] { return std::make_pair(std::string("64bit"), std::string("ELF")); };
  probes.now = [] {
    return std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  };
  probes.pid = [] { return std::int64_t{4242}; };
  return probes;
}

TEST(GetSystemInfo, TheSystemVersionFollowsTheSystem) {
  const std::vector<std::pair<std::string, std::optional<std::vector<std::string>>>> cases{
      {"Windows", std::vector<std::string>{"10", "10.0.19041", "SP0", "Multiprocessor Free"}},
      {"Darwin", std::vector<std::string>{"14.1", "", "arm64"}},
      {"Linux", std::vector<std::string>{"Debian GNU/Linux", "12", "debian"}},
      {"FreeBSD", std::nullopt},
  };
  for (const auto& [system, version] : cases) {
    EXPECT_EQ(get_system_info(fixed_probes(system)).system_version, version) << system;
  }
}

TEST(GetSystemInfo, AFailingProbeLeavesOnlyItsFieldNone) {
  auto probes = fixed_probes("Linux");
  probes.username = []() -> std::string { throw std::runtime_error("no login name"); };
  probes.linux_distribution = []() -> std::vector<std::string> { throw std::runtime_error("x"); };
  probes.architecture = nullptr;
  const SystemInfo info = get_system_info(probes);
  EXPECT_FALSE(info.username);
  EXPECT_FALSE(info.system_version);
  EXPECT_FALSE(info.platform_architecture);
  EXPECT_EQ(info.hostname, "host-1");
  EXPECT_EQ(info.platform, "Plat-1");
  EXPECT_EQ(info.pid, 4242);
  EXPECT_EQ(info.client_started, "2023-11-14 22:13:20");
}

TEST(GetSystemInfo, RealProbesOnThisMachine) {
  const auto getenv = [](const std::string& name) -> std::optional<std::string> {
    if (name == "LOGNAME") return "login-from-env";
    return std::nullopt;
  };
  const SystemInfo info = get_system_info(real_system_probes(getenv));
  EXPECT_EQ(info.username, "login-from-env");
  EXPECT_EQ(info.system, "Linux");
  EXPECT_EQ(info.pid, ::getpid());
  EXPECT_TRUE(info.hostname && !info.hostname->empty());
  EXPECT_TRUE(info.machine && !info.machine->empty());
  EXPECT_THAT(info.platform.value_or(""), HasSubstr("Linux-"));
  EXPECT_EQ(info.platform_architecture->second, "ELF");
  EXPECT_TRUE(info.python_implementation && info.python_version);
}

TEST(UtcTimestamp, FractionOnlyWhenNotZero) {
  using namespace std::chrono;
  const system_clock::time_point whole(seconds(86400 * 365));
  EXPECT_EQ(utc_timestamp(whole), "1971-01-01 00:00:00");
  EXPECT_EQ(utc_timestamp(whole + microseconds(7)), "1971-01-01 00:00:00.000007");
  EXPECT_EQ(utc_timestamp(whole + milliseconds(250)), "1971-01-01 00:00:00.250000");
}

TEST(ReadOsRelease, NameVersionAndIdWithQuotesRemoved) {
  TempDir dir;
  const auto file = write_file(dir, "os-release",
                               "# comment\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
                               "NAME=\"Debian GNU/Linux\"\nVERSION_ID='12'\nID=debian\n");
  EXPECT_EQ(read_os_release(file), (std::vector<std::string>{"Debian GNU/Linux", "12", "debian"}));
  EXPECT_FALSE(read_os_release(dir / "missing"));
  EXPECT_FALSE(read_os_release(write_file(dir, "empty", "FOO=1\n")));
}

TEST(LogLines, BuildThenTheFiveSystemLinesWithTheCurrentDirectoryAtWritingTime) {
  TempDir dir;
  auto probes = fixed_probes("Linux");
  probes.username = nullptr;
  const SystemInfo info = get_system_info(probes);
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  logs::Capture capture;
  const auto logger = logs::logger("main");
  log_build_configuration(logger,
                          BuildInfo{"1.2.3", "community", true, "GCC 12, Release", false, {}});
  log_system_info(logger, info);
  std::filesystem::current_path(previous);
  EXPECT_EQ(
      capture.texts("main"),
      (std::vector<std::string>{
          "BUILD CONFIGURATION version:1.2.3 edition:community develop:True info:GCC 12, Release",
          "PYTHON  : 12.2.0",
          "SYSTEM  : Linux",
          "MACHINE : x86_64",
          "VERSION : ('Debian GNU/Linux', '12', 'debian')",
          "user, hostname, cwd : None, host-1, " + dir.path().string(),
      }));
}

TEST(LogLines, AMissingVersionShowsNone) {
  logs::Capture capture;
  log_system_info(logs::logger("main"), get_system_info(fixed_probes("Plan9")));
  EXPECT_EQ(capture.texts("main").at(3), "VERSION : None");
}

}  // namespace
}  // namespace quillpost::main
