// The account and world id files under kill -9 and corruption: a save killed
// at any moment leaves the old or the new complete file, never a torn one; a
// corrupt file at start is reported and set aside, not silently replaced.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <random>

#include "harness.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/world/world.h"

namespace quillpost::faults {
namespace {

// The files fault_file_saver writes, checked for being whole: every field of
// the account from the same generation, the world id a whole UUID line.
void expect_whole(const std::filesystem::path& dir, int kill) {
  logs::Capture capture;
  const auto account = AccountStore(dir / "account.json").load();
  ASSERT_TRUE(account.has_value()) << "kill " << kill;
  ASSERT_TRUE(account->email && account->client_key && account->computer_id) << "kill " << kill;
  const std::string generation = std::to_string(*account->computer_id);
  EXPECT_EQ(*account->email, "gen" + generation + "-" + std::string(20000, 'x') + "@example.test")
      << "kill " << kill;
  EXPECT_EQ(*account->client_key, "key-" + generation) << "kill " << kill;
  const std::string world = read_file(dir / "world_id");
  EXPECT_EQ(world.size(), 37u) << "kill " << kill << ": " << world;
  EXPECT_EQ(world.rfind("00000000-0000-4000-8000-", 0), 0u) << world;
  EXPECT_EQ(load_or_create_world_id(dir / "world_id"), world.substr(0, 36));
  // A torn file would have been set aside by the readers above.
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    EXPECT_EQ(entry.path().filename().string().find(".corrupt-"), std::string::npos)
        << "kill " << kill << ": " << entry.path();
  }
}

TEST(FileFaults, SavesSurviveKillNineAtAnyMoment) {
  constexpr int kKills = 60;
  testing::TempDir dir;
  std::mt19937 random(std::random_device{}());
  Row row("account and world id saves killed with SIGKILL " + std::to_string(kKills) + " times",
          "after each kill both files whole (old or new), nothing set aside");
  std::uniform_int_distribution<int> after_us(0, 5000);
  std::int64_t generation = -1;
  int moved_on = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    Child::Options options;
    options.argv = {QP_BINARY_DIR "/bin/fault_file_saver", dir.path().string()};
    {
      Child saver(options);
      // Once this run has saved, its saves follow each other without pause:
      // a kill a random moment later lands anywhere in one.
      const auto saved = [&] {
        logs::Capture quiet;
        const auto account = AccountStore(dir / "account.json").load();
        return account && account->computer_id && *account->computer_id != generation;
      };
      ASSERT_TRUE(eventually(saved, 10s)) << "kill " << kill;
      std::this_thread::sleep_for(std::chrono::microseconds(after_us(random)));
      saver.signal(SIGKILL);
      EXPECT_EQ(saver.wait_exit(5s), 128 + SIGKILL);
    }
    expect_whole(dir.path(), kill);
    if (::testing::Test::HasFailure()) break;
    logs::Capture quiet;
    const auto account = AccountStore(dir / "account.json").load();
    if (*account->computer_id > generation) ++moved_on;
    generation = *account->computer_id;
  }
  row.observe(std::to_string(kKills) + " kills, files whole after every one, content changed " +
              std::to_string(moved_on) + " times, last generation " + std::to_string(generation));
  EXPECT_EQ(moved_on, kKills);
}

TEST(FileFaults, CorruptFilesAtStartAreReportedAndSetAside) {
  LaunchRun::Options options;
  options.service_url = "http://127.0.0.1:" + std::to_string(free_port());
  options.add_client_key = false;
  options.config_text = "";
  const std::string garbage_account = "{\"email\": \"ann@exa";  // cut off mid-write
  const std::string garbage_world = "not-a-world-id\n";
  testing::TempDir holder;
  Row row("account.json and world_id corrupt at start",
          "each reported in the log and renamed aside with its content; new world id; no "
          "account: exit 20");
  // The settings directory exists before launch, with the corrupt files in it.
  options.add_settings_dir = false;
  const auto settings = holder / "settings";
  std::filesystem::create_directories(settings);
  std::ofstream(settings / "account.json") << garbage_account;
  std::ofstream(settings / "world_id") << garbage_world;
  options.args = {"--settings-dir=" + settings.string()};
  LaunchRun run(options);
  const auto code = run.process().wait_exit(20s);
  EXPECT_EQ(code, 20) << run.out();

  int set_aside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(settings)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("account.json.corrupt-", 0) == 0) {
      EXPECT_EQ(read_file(entry.path()), garbage_account);
      ++set_aside;
    } else if (name.rfind("world_id.corrupt-", 0) == 0) {
      EXPECT_EQ(read_file(entry.path()), garbage_world);
      ++set_aside;
    }
  }
  EXPECT_EQ(set_aside, 2);
  const std::string log = read_file(settings / "logs" / "quillpost.log");
  EXPECT_NE(log.find("Cannot read " + (settings / "account.json").string()), std::string::npos)
      << log;
  EXPECT_NE(log.find("Cannot read " + (settings / "world_id").string()), std::string::npos);
  EXPECT_NE(read_file(settings / "world_id"), garbage_world);
  row.observe(
      std::string("exit ") + (code ? std::to_string(*code) : "none") + ", " +
      std::to_string(set_aside) + " file(s) set aside with their content, " +
      last_line_with(log, "Cannot read " + (settings / "account.json").string()).substr(24));
}

}  // namespace
}  // namespace quillpost::faults
