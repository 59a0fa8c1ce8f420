// The launcher under bad input and signals: configuration files that are
// garbage, huge or not UTF-8; a settings directory that is full or not
// writable; SIGINT bursts at each phase. Each ends with one clear line and
// the right exit code, never a crash.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>

#include "harness.h"
#include "support/service_process.h"
#include "support/unprivileged.h"

namespace quillpost::faults {
namespace {

using testing::ServiceProcess;

constexpr int kBadConfig = 3;
constexpr int kSettingsDirError = 12;

// A discovery URL where nothing listens: the client keeps retrying, which is
// all the launcher tests need.
std::string dead_url() {
  return "http://127.0.0.1:" + std::to_string(free_port());
}

std::string code_text(const std::optional<int>& code) {
  return code ? "exit " + std::to_string(*code) : std::string("no exit");
}

struct ConfigCase {
  std::string name;
  std::string content;
  int code;
  std::string line;  // the start of the one line on standard output
};

TEST(LauncherFaults, BadConfigurationFiles) {
  const std::string mib50(50u << 20, 'x');
  const std::vector<ConfigCase> cases = {
      {"garbage", "this is [[ not = toml\n", kBadConfig, "is not valid TOML (line 1"},
      {"not UTF-8", "computer = \"\xff\xfe\"\n", kBadConfig, "invalid utf-8"},
      {"binary", std::string("\x00\x01\xff\xfe\x7f", 5), kBadConfig, "is not valid TOML"},
      {"50 MiB of garbage", mib50, kBadConfig, "is not valid TOML"},
      {"50 MiB, valid (one comment)", "# " + mib50 + "\n", 0, "Config OK :)"},
  };
  for (const auto& c : cases) {
    for (const bool check : {true, false}) {
      if (!check && c.code == 0) continue;  // a valid file would start the client
      SCOPED_TRACE(c.name + (check ? " --check" : ""));
      Row row("config file: " + c.name + (check ? " (--check)" : ""),
              "exit " + std::to_string(c.code) + ", one line \"..." + c.line + "...\"");
      testing::TempDir dir;
      const auto file = dir / "client.conf";
      std::ofstream(file, std::ios::binary) << c.content;
      Child::Options options;
      options.argv = {QP_BINARY_DIR "/bin/launch", "--config-file=" + file.string()};
      if (check) options.argv.push_back("--check");
      options.out = dir / "out";
      options.err = dir / "err";
      Child child(options);
      const auto code = child.wait_exit(60s);
      EXPECT_EQ(code, c.code);
      const std::string out = read_file(dir / "out");
      EXPECT_EQ(count_of(out, "\n"), 1) << out;
      EXPECT_NE(out.find(c.line), std::string::npos) << out;
      EXPECT_EQ(read_file(dir / "err"), "");
      row.observe(code_text(code) + ", \"" + out.substr(0, 150) + "\"");
    }
  }
}

TEST(LauncherFaults, SettingsDirectoryFullAtStart) {
  // No file may grow at all: the world id cannot be written.
  LaunchRun::Options options;
  options.service_url = dead_url();
  options.file_size_limit = 0;
  options.config_text = "";
  Row row("settings directory full at start (file size limit 0)",
          "exit 12, one line naming the file, no temporary file left");
  LaunchRun run(options);
  const auto code = run.process().wait_exit(20s);
  EXPECT_EQ(code, kSettingsDirError) << run.out() << run.err();
  EXPECT_NE(run.out().find("File too large"), std::string::npos) << run.out();
  EXPECT_NE(run.out().find("world_id"), std::string::npos) << run.out();
  for (const auto& entry : std::filesystem::directory_iterator(run.settings_dir())) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }
  row.observe(code_text(code) + ", \"" + last_line_with(run.out(), "File too large") + "\"");
}

TEST(LauncherFaults, SettingsDirectoryFullWhileRunning) {
  ServiceProcess service;
  // Room for the world id and the lock, not for the account or the log.
  LaunchRun::Options options;
  options.service_url = service.base_url();
  options.file_size_limit = 64;
  Row row("settings directory full while running (file size limit 64 bytes)",
          "keeps connecting and handshaking; account save and log lines fail; SIGINT exit 0");
  LaunchRun run(options);
  const bool connected = run.wait_out(kHandshaked, 1);
  EXPECT_TRUE(connected) << run.out() << run.err();
  row.observe(connected ? "handshaked" : "no handshake");
  // The failed account save after the first handshake changes nothing for the
  // connection: it is handshaked again right away or stays so.
  EXPECT_TRUE(service.wait_for_state(
      [](const nlohmann::json& s) {
        return s["connections"].size() == 1 && s["connections"][0]["authenticated"] == true;
      },
      10s));
  run.process().signal(SIGINT);
  const auto code = run.process().wait_exit(20s);
  EXPECT_EQ(code, 0) << run.out() << run.err();
  row.observe(code_text(code));
  EXPECT_NE(run.err().find("The log file cannot be written"), std::string::npos) << run.err();
}

TEST(LauncherFaults, StartOnAFullDisk) {
  // A settings directory from an earlier run, on a disk with no byte left: a
  // tmpfs filled up as root, else a file size limit of 0 (EFBIG for ENOSPC).
  testing::TempDir dir;
  const auto disk = dir / "disk";
  std::filesystem::create_directories(disk);
  const bool tmpfs =
      ::geteuid() == 0 && ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k,mode=0700") == 0;
  const std::shared_ptr<void> unmount(nullptr, [&](void*) {
    if (tmpfs) ::umount2(disk.c_str(), MNT_DETACH);
  });
  const auto settings = disk / "settings";
  std::filesystem::create_directories(settings / "logs");
  for (const auto& d : {settings, settings / "logs"}) ::chmod(d.c_str(), 0700);
  // The key's placeholder e-mail: the handshake renames it, and that save fails.
  const std::string account =
      "{\"email\": \"client-key-auth@quillpost.invalid\", \"client_key\": \"" +
      std::string(kDemoClientKey) + "\", \"computer_id\": null}\n";
  std::ofstream(settings / "account.json") << account;
  std::ofstream(settings / "world_id") << "0f0e0d0c-0b0a-4908-8706-050403020100\n";
  std::ofstream(settings / "quillpost.lock") << "99999999\n";  // a holder long gone
  std::ofstream(settings / "logs/quillpost.log") << "";
  if (tmpfs) {
    std::ofstream filler(disk / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size()) && filler.flush()) {
    }
  }
  ServiceProcess service;
  LaunchRun::Options options;
  options.service_url = service.base_url();
  options.add_settings_dir = false;
  options.add_client_key = false;
  options.config_text = "";
  options.args = {"--settings-dir=" + settings.string()};
  if (!tmpfs) options.file_size_limit = 0;
  Row row(std::string("start on a full disk (") +
              (tmpfs ? "tmpfs filled up" : "file size limit 0") +
              ") with the settings of an earlier run",
          "handshakes, renamed account kept in memory; account.json unchanged, no temporary "
          "file, the old lock note gone; SIGINT exit 0");
  LaunchRun run(options);
  const bool connected = run.wait_out(kHandshaked, 2);
  EXPECT_TRUE(connected) << run.out() << run.err();
  run.process().signal(SIGINT);
  const auto code = run.process().wait_exit(20s);
  EXPECT_EQ(code, 0) << run.out() << run.err();
  EXPECT_EQ(read_file(settings / "account.json"), account);
  EXPECT_FALSE(std::filesystem::exists(settings / "quillpost.lock"));
  for (const auto& entry : std::filesystem::directory_iterator(settings)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }
  row.observe(std::to_string(run.handshakes()) + " handshake(s), " + code_text(code));
}

TEST(LauncherFaults, SettingsDirectoryNotWritable) {
  // Root ignores file permissions: as root, launch runs as a spare user.
  std::optional<uid_t> user;
  if (::geteuid() == 0) {
    std::string why_not;
    user = testing::spare_uid(why_not);
    if (!user) GTEST_SKIP() << "root ignores file permissions, and " << why_not;
  }
  testing::TempDir dir;
  const auto settings = dir / "settings";
  std::filesystem::create_directories(settings);
  ::chmod(settings.c_str(), 0555);
  if (user) {
    ::chmod(dir.path().c_str(), 0711);
    ::chown(settings.c_str(), *user, *user);
  }
  Row row("settings directory read-only", "a settings or logging exit code, one line");
  LaunchRun::Options options;
  options.uid = user;
  options.service_url = dead_url();
  options.add_settings_dir = false;
  options.args = {"--settings-dir=" + settings.string()};
  LaunchRun run(options);
  const auto code = run.process().wait_exit(20s);
  ASSERT_TRUE(code.has_value());
  EXPECT_TRUE(*code >= 10 && *code <= 18) << *code << " " << run.out();
  EXPECT_EQ(count_of(run.out(), "\n"), 1) << run.out();
  row.observe(code_text(code) + ", \"" + run.out() + "\"");
  ::chmod(settings.c_str(), 0755);
}

// Whether `pid` catches SIGINT (its handler is installed).
bool catches_sigint(pid_t pid) {
  const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  const std::string line = last_line_with(status, "SigCgt:");
  if (line.empty()) return false;
  return (std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1)) & 1;
}

void expect_one_clean_close(LaunchRun& run, Row& row) {
  const auto code = run.process().wait_exit(20s);
  EXPECT_EQ(code, 0) << run.out();
  EXPECT_EQ(count_of(run.out(), "Closing after"), 1) << run.out();
  EXPECT_LE(count_of(run.log(), "Processing signal"), 1) << run.log();
  row.observe(code_text(code) + ", " + std::to_string(count_of(run.out(), "Closing after")) +
              " close line(s), " + std::to_string(count_of(run.log(), "Processing signal")) +
              " signal line(s)");
}

TEST(LauncherFaults, SigintBurstDuringStartUp) {
  Row row("SIGINT burst as soon as the launcher catches SIGINT (start-up)",
          "exit 0, exactly one close");
  LaunchRun::Options options;
  options.service_url = dead_url();
  LaunchRun run(options);
  const pid_t pid = run.process().pid();
  ASSERT_TRUE(eventually([&] { return catches_sigint(pid); }, 10s));
  for (int i = 0; i < 20; ++i) run.process().signal(SIGINT);
  expect_one_clean_close(run, row);
}

TEST(LauncherFaults, SigintBurstWhileRunning) {
  ServiceProcess service;
  Row row("SIGINT burst (20) while connected", "exit 0, exactly one close, one signal line");
  auto run = start_connected(service);
  ASSERT_TRUE(run);
  for (int i = 0; i < 20; ++i) run->process().signal(SIGINT);
  expect_one_clean_close(*run, row);
  EXPECT_EQ(count_of(run->log(), "Processing signal"), 1);
}

TEST(LauncherFaults, SigintsDuringClose) {
  ServiceProcess service;
  Row row("SIGINT, then SIGINTs until the process is gone (during close)",
          "exit 0, exactly one close");
  auto run = start_connected(service);
  ASSERT_TRUE(run);
  Child& process = run->process();
  process.signal(SIGINT);
  int sent = 1;
  eventually(
      [&] {
        process.signal(SIGINT);
        ++sent;
        return !process.running();
      },
      20s);
  row.observe(std::to_string(sent) + " SIGINTs sent");
  expect_one_clean_close(*run, row);
}

}  // namespace
}  // namespace quillpost::faults
