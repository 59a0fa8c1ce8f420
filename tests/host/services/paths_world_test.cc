#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <regex>
#include <stdexcept>

#include "quillpost/host/logging/logs.h"
#include "quillpost/host/logging/rotating_file.h"
#include "quillpost/host/process/private_files.h"
#include "quillpost/host/process/startup_lock.h"
#include "quillpost/host/world/paths.h"
#include "quillpost/host/world/world.h"
#include "support/files.h"
#include "support/unprivileged.h"

namespace quillpost {
namespace {

using ::testing::HasSubstr;
using testing::TempDir;
using testing::write_file;

TEST(GetBaseDir, TellsEachFailureApart) {
  TempDir dir;
  EXPECT_THROW(get_base_dir("relative/dir", true), PathNotAbsoluteError);
  try {
    get_base_dir("relative/dir", false);
  } catch (const PathNotAbsoluteError& e) {
    EXPECT_STREQ(e.what(), "relative/dir");
  }

  const auto missing = (dir / "missing").string();
  try {
    get_base_dir(missing, false);
    FAIL();
  } catch (const NotFoundError& e) {
    EXPECT_EQ(std::string(e.what()), missing);
  }
  EXPECT_FALSE(std::filesystem::exists(missing));

  EXPECT_EQ(get_base_dir((dir / "made/deep").string(), true), dir / "made/deep");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "made/deep"));
  EXPECT_EQ(get_base_dir(dir.path().string(), false), dir.path());

  const auto file = write_file(dir, "a-file", "x");
  try {
    get_base_dir(file.string(), false);
    FAIL();
  } catch (const PermissionError&) {
    FAIL() << "a file in the way is not a permission problem";
  } catch (const NotFoundError&) {
    FAIL() << "a file in the way is not a missing directory";
  } catch (const OsError& e) {
    EXPECT_THAT(e.what(), HasSubstr("Not a directory"));
  }
}

TEST(GetBaseDir, PermissionProblemsArePermissionErrors) {
  testing::where_permissions_apply([] {
    TempDir dir;
    std::filesystem::create_directories(dir / "ro");
    std::filesystem::permissions(
        dir / "ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_THROW(get_base_dir((dir / "ro").string(), false), PermissionError);
    EXPECT_THROW(get_base_dir((dir / "ro/sub").string(), true), PermissionError);
    EXPECT_THROW(Paths(dir / "ro/sub", dir / "resources"), PermissionError);
  });
}

TEST(GetBaseDir, RefusesADirectoryOthersMayWrite) {
  TempDir dir;
  std::filesystem::create_directories(dir / "shared");
  for (const mode_t mode : {0777, 0775, 0757}) {
    ::chmod((dir / "shared").c_str(), mode);
    try {
      get_base_dir((dir / "shared").string(), false);
      FAIL() << std::oct << mode;
    } catch (const UnsafeDirectoryError& e) {
      EXPECT_THAT(e.what(), HasSubstr("other users may write to it"));
    }
    EXPECT_THROW(Paths(dir / "shared", dir / "resources"), UnsafeDirectoryError);
  }
  ::chmod((dir / "shared").c_str(), 0755);
  EXPECT_NO_THROW(get_base_dir((dir / "shared").string(), false));
}

mode_t mode_of(const std::filesystem::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 07777;
}

TEST(PrivateFiles, EverythingMadeIsPrivateWhateverTheUmask) {
  TempDir dir;
  const mode_t saved = ::umask(0);
  make_private_directories(dir / "a/b");
  write_file_atomically(dir / "a/b/state", "x");
  {
    logs::RotatingFile log(dir / "a/b/quillpost.log", 64, 2);
    for (int i = 0; i < 20; ++i) log.write("a line of twenty b.\n");
  }
  ::umask(saved);
  for (const char* name : {"a", "a/b"}) EXPECT_EQ(mode_of(dir / name), 0700u) << name;
  for (const char* name :
       {"a/b/state", "a/b/quillpost.log", "a/b/quillpost.1.log", "a/b/quillpost.2.log"}) {
    EXPECT_EQ(mode_of(dir / name), 0600u) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "a/b/quillpost.3.log"));
  EXPECT_EQ(std::filesystem::file_size(dir / "a/b/quillpost.1.log"), 60u);
}

// Links planted in place of the settings directory's files: never followed,
// neither to read nor to write, and never taken for corrupt content.
TEST(PrivateFiles, LinksInPlaceOfFilesAreNotFollowed) {
  TempDir dir;
  const auto target = write_file(dir, "target", "{\"email\": \"planted@example.com\"}");
  const auto link = dir / "link";
  std::filesystem::create_symlink(target, link);
  logs::Capture capture;
  struct Case {
    std::string name;
    std::function<void()> act;
  };
  const std::vector<Case> cases = {
      {"read", [&] { read_private_file(link, 100); }},
      {"append", [&] { ::close(open_private_append(link)); }},
      {"account", [&] { AccountStore(link).load(); }},
      {"world id", [&] { load_or_create_world_id(link); }},
      {"log", [&] { logs::RotatingFile(link, 100, 1); }},
  };
  for (const auto& c : cases) {
    try {
      c.act();
      ADD_FAILURE() << c.name << " went through the link";
    } catch (const OsError& e) {
      EXPECT_THAT(e.what(), HasSubstr("Is a symbolic link, which is not followed")) << c.name;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link)) << c.name;
  }
  // The temporary file of an atomic write is new and unpredictable: a link at
  // the old fixed name is left alone.
  std::filesystem::create_symlink(target, dir / "account.json.tmp");
  AccountStore(dir / "account.json").save(Account{"a@example.com", "key", 1});
  EXPECT_EQ(testing::read_file(target), "{\"email\": \"planted@example.com\"}");
  EXPECT_TRUE(capture.texts("world").empty()) << "nothing may be set aside as corrupt";
}

TEST(PrivateFiles, AStateFileThatCannotBeReadIsLeftAlone) {
  TempDir dir;
  std::filesystem::create_directories(dir / "world_id");
  EXPECT_THROW(load_or_create_world_id(dir / "world_id"), OsError);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "world_id"));
  std::filesystem::create_directories(dir / "account.json");
  EXPECT_THROW(AccountStore(dir / "account.json").load(), OsError);
  testing::where_permissions_apply([] {
    TempDir own;
    const auto account = write_file(own, "readable-by-nobody", "{\"email\": \"a@example.com\"}");
    ::chmod(account.c_str(), 0);
    EXPECT_THROW(AccountStore(account).load(), PermissionError);
    EXPECT_EQ(mode_of(account), 0u);
  });
}

TEST(Paths, CreatesTheSettingsDirectory) {
  TempDir dir;
  const Paths paths(dir / "settings", dir / "resources");
  EXPECT_TRUE(std::filesystem::is_directory(paths.base_dir()));
  EXPECT_EQ(paths.logs_dir(), dir / "settings/logs");
  EXPECT_EQ(paths.state_file().parent_path(), dir / "settings");
}

TEST(AccountStore, SavesAtomicallyReadableByTheOwnerOnly) {
  TempDir dir;
  AccountStore store(dir / "account.json");
  EXPECT_FALSE(store.load());
  const Account account{"a@example.com", "key-1", 12};
  store.save(account);
  EXPECT_EQ(store.load(), account);
  struct stat info {};
  ASSERT_EQ(::stat(store.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  // No temporary file is left behind.
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename(), "account.json");
  }
  store.save(Account{"b@example.com", std::nullopt, std::nullopt});
  EXPECT_EQ(store.load()->email, "b@example.com");
  EXPECT_FALSE(store.load()->client_key);
}

TEST(AccountStore, AnUnreadableFileIsReportedAndSetAsideNotLost) {
  TempDir dir;
  const auto path = write_file(dir, "account.json", "{\"email\": \"a@ex");
  logs::Capture capture;
  EXPECT_FALSE(AccountStore(path).load());
  EXPECT_FALSE(std::filesystem::exists(path));
  int kept = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().filename().string().starts_with("account.json.corrupt-")) {
      ++kept;
      EXPECT_EQ(testing::read_file(entry.path()), "{\"email\": \"a@ex");
    }
  }
  EXPECT_EQ(kept, 1);
  const auto lines = capture.texts("world");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("moved it to"));
}

TEST(AccountStore, CorruptFilesSetAsideInTheSameSecondAreAllKept) {
  TempDir dir;
  const std::vector<std::string> contents = {"first {", "second [", "third \"", "fourth"};
  for (const auto& content : contents) {
    const auto path = write_file(dir, "account.json", content);
    EXPECT_FALSE(AccountStore(path).load());
  }
  std::vector<std::string> kept;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().filename().string().starts_with("account.json.corrupt-")) {
      kept.push_back(testing::read_file(entry.path()));
    }
  }
  EXPECT_THAT(kept, ::testing::UnorderedElementsAreArray(contents));
}

TEST(World, WorldIdIsMadeOnceAndKept) {
  TempDir dir;
  const auto first = load_or_create_world_id(dir / "world_id");
  EXPECT_TRUE(std::regex_match(
      first, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
  EXPECT_EQ(load_or_create_world_id(dir / "world_id"), first);
  write_file(dir, "world_id", "garbage\n");
  logs::Capture capture;
  const auto replaced = load_or_create_world_id(dir / "world_id");
  EXPECT_NE(replaced, first);
  EXPECT_EQ(load_or_create_world_id(dir / "world_id"), replaced);
  EXPECT_EQ(capture.texts("world").size(), 1u);
}

TEST(World, InitialAccountPrefersAConfiguredClientKeyOverThePersistedOne) {
  TempDir dir;
  AccountStore store(dir / "account.json");
  RuntimeConfig config;
  EXPECT_FALSE(initial_account(config, store));
  store.save(Account{"saved@example.com", "saved-key", 3});
  EXPECT_EQ(initial_account(config, store)->email, "saved@example.com");
  config.client_key = "configured-key";
  const auto account = initial_account(config, store);
  EXPECT_EQ(account->email, std::string(AUTH_WITH_CLIENT_KEY_EMAIL));
  EXPECT_EQ(account->client_key, "configured-key");
}

TEST(World, ACorruptAccountFileIsSetAsideEvenWhenAConfiguredKeyWins) {
  TempDir dir;
  const auto path = write_file(dir, "account.json", "{\"client_key\": \"old-k");
  RuntimeConfig config;
  config.client_key = "configured-key";
  logs::Capture capture;
  EXPECT_EQ(initial_account(config, AccountStore(path))->client_key, "configured-key");
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_THAT(capture.texts("world"), ::testing::ElementsAre(HasSubstr("moved it to")));
}

TEST(World, ComputerNameIsTheConfiguredOneElseTheHostName) {
  RuntimeConfig config;
  EXPECT_FALSE(computer_name(config).empty());
  config.computer = "front-desk";
  EXPECT_EQ(computer_name(config), "front-desk");
}

TEST(World, AccountTextHidesTheClientKey) {
  const Account account{"a@example.com", "secret", 1};
  EXPECT_EQ(account.to_text(),
            "Account(email='a@example.com', client_key='******', computer_id=1)");
}

TEST(StartupLock, OnlyOneHolderAtATime) {
  TempDir dir;
  const auto file = dir / "quillpost.lock";
  {
    StartupLock first(file);
    EXPECT_EQ(testing::read_file(file), std::to_string(::getpid()) + "\n");
    // Deleting the holder's note by hand lets no second holder in.
    std::filesystem::remove(file);
    try {
      StartupLock second(file);
      FAIL() << "two holders";
    } catch (const StartupMutexError& e) {
      EXPECT_THAT(e.what(), HasSubstr(dir.path().string()));
    }
  }
  EXPECT_NO_THROW(StartupLock again(file));
}

TEST(StartupLock, ANoteThatCannotBeWrittenStillLocks) {
  TempDir dir;
  std::filesystem::create_directories(dir / "quillpost.lock");
  {
    StartupLock lock(dir / "quillpost.lock");
    EXPECT_THAT(lock.note_error(), HasSubstr("quillpost.lock"));
    EXPECT_THROW(StartupLock(dir / "quillpost.lock"), StartupMutexError);
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir / "quillpost.lock"));
  EXPECT_NO_THROW(StartupLock again(dir / "quillpost.lock"));
}

TEST(IsValidComputername, AsciiLettersDigitsDotsAndDashes) {
  for (const char* ok : {"print-server.local", "PC01", "a"}) EXPECT_TRUE(is_valid_computername(ok));
  for (const char* bad : {"", "under_score", "space here", "caf\xc3\xa9", "semi;colon"}) {
    EXPECT_FALSE(is_valid_computername(bad)) << bad;
  }
}

TEST(ParseServiceDiscoveryParamArg, SplitsAtTheFirstEquals) {
  EXPECT_EQ(parse_service_discovery_param_arg("a=1"),
            (std::pair<std::string, std::string>{"a", "1"}));
  EXPECT_EQ(parse_service_discovery_param_arg("k=v=w"),
            (std::pair<std::string, std::string>{"k", "v=w"}));
  EXPECT_EQ(parse_service_discovery_param_arg("k="),
            (std::pair<std::string, std::string>{"k", ""}));
  EXPECT_THROW(parse_service_discovery_param_arg("novalue"), std::runtime_error);
  EXPECT_THROW(parse_service_discovery_param_arg("=v"), std::runtime_error);
}

}  // namespace
}  // namespace quillpost
