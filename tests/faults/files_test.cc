// The account and world id files under kill -9 and corruption: a save killed
// at any moment leaves the old or the new complete file, never a torn one; a
// corrupt file at start is reported and set aside, not silently replaced.
// And the settings directory as another local user would attack it, with
// launch run as an unprivileged user: links planted in place of its files, a
// directory that is not private, files its owner cannot read.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <random>

#include "harness.h"
#include "quillpost/host/config/build_info.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/world/world.h"
#include "support/seed.h"
#include "support/unprivileged.h"

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
  std::mt19937 random(testing::test_seed());
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
      // a kill a random moment later lands anywhere in one. The first run
      // writes the account before the world id: wait for both files, or a
      // kill before the first world id leaves nothing to check.
      const auto saved = [&] {
        logs::Capture quiet;
        const auto account = AccountStore(dir / "account.json").load();
        return account && account->computer_id && *account->computer_id != generation &&
               std::filesystem::exists(dir / "world_id");
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

// Who the hostile-directory runs are made as. As root, two unused user ids
// (the child only calls setuid; no account is needed): `user` runs launch,
// `other` owns what `user` must not trust. Otherwise this user runs launch
// and there is no other one.
struct Users {
  uid_t user;
  std::optional<uid_t> other;
};

std::optional<Users> test_users(std::string& why_not) {
  if (::geteuid() != 0) return Users{::geteuid(), std::nullopt};
  const auto base = testing::spare_uid(why_not, 2);
  if (!base) return std::nullopt;
  return Users{*base, *base + 1};
}

// One run of launch against a prepared settings directory.
struct SettingsDir {
  std::filesystem::path dir;     // the settings directory, private to `user`
  std::filesystem::path target;  // a file outside it that nothing may change
  Users users;

  // Writes the file `name` in the settings directory, owned by the user.
  void write(const std::string& name, const std::string& content, mode_t mode = 0600) const {
    std::ofstream(dir / name) << content;
    ::chmod((dir / name).c_str(), mode);
    ::lchown((dir / name).c_str(), users.user, users.user);
  }
  void link(const std::string& name, const std::filesystem::path& to) const {
    std::filesystem::create_symlink(to, dir / name);
    ::lchown((dir / name).c_str(), users.user, users.user);
  }
  void mkdir(const std::string& name) const {
    std::filesystem::create_directories(dir / name);
    ::chown((dir / name).c_str(), users.user, users.user);
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      out.push_back(entry.path().filename().string());
    }
    return out;
  }
};

mode_t mode_of(const std::filesystem::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 07777;
}

struct HostileCase {
  std::string name;
  std::function<void(const SettingsDir&)> prepare;
  int code;
  std::string line;  // in the one line on standard output that ends the run
  std::function<void(const SettingsDir&)> check = {};
  bool needs_other_user = false;
  // The run starts (world id saved, lock taken): ended with SIGINT, exit 0.
  bool runs = false;
  std::vector<std::string> args = {};
  std::optional<mode_t> umask = std::nullopt;
};

constexpr const char* kAccount = "{\"email\": \"ann@example.test\", \"client_key\": \"k-1\"}\n";
constexpr const char* kWorldId = "0f0e0d0c-0b0a-4908-8706-050403020100\n";
constexpr const char* kPrecious = "precious\n";

void expect_untouched(const SettingsDir& s, const std::string& name, const std::string& content,
                      mode_t mode) {
  EXPECT_EQ(mode_of(s.dir / name), mode) << name;
  ::chmod((s.dir / name).c_str(), 0600);  // for a test that does not run as root
  EXPECT_EQ(read_file(s.dir / name), content) << name;
  for (const auto& n : s.names()) EXPECT_EQ(n.find(".corrupt-"), std::string::npos) << n;
}

TEST(FileFaults, HostileSettingsDirectory) {
  std::string why_not;
  const auto users = test_users(why_not);
  if (!users) GTEST_SKIP() << why_not;
  const std::vector<HostileCase> cases = {
      {"settings directory writable by others (0777)",
       [](const SettingsDir& s) { ::chmod(s.dir.c_str(), 0777); }, 10,
       "other users may write to it", [](const SettingsDir& s) { EXPECT_TRUE(s.names().empty()); }},
      {"settings directory owned by another user",
       [](const SettingsDir& s) {
         ::chown(s.dir.c_str(), *s.users.other, *s.users.other);
         ::chmod(s.dir.c_str(), 0755);
       },
       10,
       "belongs to another user",
       {},
       true},
      {"links planted at temporary names of the world id and account",
       [](const SettingsDir& s) {
         for (const char* name : {"world_id.tmp", "account.json.tmp", "quillpost.lock.tmp"}) {
           s.link(name, s.target);
         }
       },
       0, "Closing after",
       [](const SettingsDir& s) {
         EXPECT_EQ(mode_of(s.dir / "world_id"), 0600u);
         EXPECT_EQ(std::filesystem::status(s.dir / "world_id").type(),
                   std::filesystem::file_type::regular);
       },
       false, true},
      {"log directory owned by another user, not writable",
       [](const SettingsDir& s) {
         s.mkdir("logs");
         ::chown((s.dir / "logs").c_str(), *s.users.other, *s.users.other);
         ::chmod((s.dir / "logs").c_str(), 0755);
       },
       17,
       "Refusing the directory",
       {},
       true},
      {"log file a link to another file",
       [](const SettingsDir& s) {
         s.mkdir("logs");
         s.link("logs/quillpost.log", s.target);
       },
       18, "Is a symbolic link, which is not followed"},
      {"log file a directory",
       [](const SettingsDir& s) {
         s.mkdir("logs");
         s.mkdir("logs/quillpost.log");
       },
       18, "Is a directory: '"},
      {"account.json a link to another file",
       [](const SettingsDir& s) { s.link("account.json", s.target); }, 12,
       "Is a symbolic link, which is not followed",
       [](const SettingsDir& s) {
         EXPECT_TRUE(std::filesystem::is_symlink(s.dir / "account.json"));
       }},
      {"account.json not readable by its owner",
       [](const SettingsDir& s) { s.write("account.json", kAccount, 0); }, 10, "Permission denied",
       [](const SettingsDir& s) { expect_untouched(s, "account.json", kAccount, 0); }},
      {"world_id not readable by its owner",
       [](const SettingsDir& s) { s.write("world_id", kWorldId, 0); }, 10, "Permission denied",
       [](const SettingsDir& s) { expect_untouched(s, "world_id", kWorldId, 0); }},
      {"world_id a directory", [](const SettingsDir& s) { s.mkdir("world_id"); }, 12,
       "Is a directory: '",
       [](const SettingsDir& s) {
         EXPECT_TRUE(std::filesystem::is_directory(s.dir / "world_id"));
       }},
      {"quillpost.lock a directory (the process id note cannot be written)",
       [](const SettingsDir& s) { s.mkdir("quillpost.lock"); }, 0, "Closing after",
       [](const SettingsDir& s) {
         EXPECT_TRUE(std::filesystem::is_directory(s.dir / "quillpost.lock"));
       },
       false, true},
      {"a new settings directory under umask 000",
       [](const SettingsDir& s) { std::filesystem::remove(s.dir); },
       0,
       "Closing after",
       [](const SettingsDir& s) {
         for (const char* name : {"", "logs"}) EXPECT_EQ(mode_of(s.dir / name), 0700u) << name;
         for (const char* name : {"logs/quillpost.log", "world_id", "quillpost.lock"}) {
           EXPECT_EQ(mode_of(s.dir / name), 0600u) << name;
         }
       },
       false,
       true,
       {"--settings-dir-create"},
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Row row("hostile settings directory: " + c.name, "exit " + std::to_string(c.code) + ", \"..." +
                                                         c.line + "...\", outside file untouched");
    if (c.needs_other_user && !users->other) {
      row.observe("skipped: needs root to make another user's directory");
      continue;
    }
    testing::TempDir holder;
    ::chmod(holder.path().c_str(), 0711);
    const SettingsDir setup{holder / "home" / "settings", holder / "target", *users};
    std::filesystem::create_directories(setup.dir);
    for (const auto& dir : {setup.dir.parent_path(), setup.dir}) {
      ::chown(dir.c_str(), users->user, users->user);
      ::chmod(dir.c_str(), 0700);
    }
    std::ofstream(setup.target) << kPrecious;
    c.prepare(setup);

    LaunchRun::Options options;
    options.service_url = "http://127.0.0.1:" + std::to_string(free_port());
    options.add_settings_dir = false;
    options.config_text = "";
    options.args = {"--settings-dir=" + setup.dir.string()};
    options.args.insert(options.args.end(), c.args.begin(), c.args.end());
    options.uid = users->user;
    options.umask = c.umask;
    LaunchRun run(options);
    if (c.runs) {
      EXPECT_TRUE(
          run.wait_out("APP_STARTING", 1, 20s) &&
          eventually([&] { return std::filesystem::exists(setup.dir / "quillpost.lock"); }, 20s))
          << run.out() << run.err();
      // Kept from core dumps and from other processes of the user (a
      // development build excepted): the kernel then gives the process's
      // /proc entries to root.
      struct stat proc {};
      const std::string status = "/proc/" + std::to_string(run.process().pid()) + "/status";
      ASSERT_EQ(::stat(status.c_str(), &proc), 0);
      EXPECT_EQ(proc.st_uid, compiled_build_info().develop ? users->user : 0u)
          << "dumpable or not as the build says";
      run.process().signal(SIGINT);
    }
    const auto code = run.process().wait_exit(20s);
    EXPECT_EQ(code, c.code) << run.out() << run.err();
    const std::string out = run.out();
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
    EXPECT_EQ(out.find("terminate called"), std::string::npos) << out;
    EXPECT_EQ(run.err(), "");
    EXPECT_EQ(read_file(setup.target), kPrecious);
    if (c.check) c.check(setup);
    row.observe((code ? "exit " + std::to_string(*code) : std::string("no exit")) + ", \"" +
                last_line_with(out, c.line).substr(0, 160) + "\"");
  }
}

TEST(FileFaults, DeletingTheLockFileLetsNoSecondInstanceIn) {
  Row row("quillpost.lock deleted while an instance runs, then a second instance",
          "the second exits 21 (START_MUTEX); the first runs on");
  LaunchRun::Options options;
  options.service_url = "http://127.0.0.1:" + std::to_string(free_port());
  options.config_text = "";
  LaunchRun first(options);
  const auto lock = first.settings_dir() / "quillpost.lock";
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(lock); }, 20s)) << first.out();
  std::filesystem::remove(lock);
  options.add_settings_dir = false;
  options.args = {"--settings-dir=" + first.settings_dir().string()};
  LaunchRun second(options);
  const auto code = second.process().wait_exit(20s);
  EXPECT_EQ(code, 21) << second.out();
  EXPECT_NE(second.out().find("Another instance is already running"), std::string::npos)
      << second.out();
  EXPECT_TRUE(first.process().running());
  row.observe("second " + (code ? "exit " + std::to_string(*code) : std::string("no exit")) +
              (first.process().running() ? ", first still running" : ", first gone"));
}

}  // namespace
}  // namespace quillpost::faults
