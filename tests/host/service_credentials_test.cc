// Credentials a service manager hands over in $CREDENTIALS_DIRECTORY.
#include "quillpost/host/process/service_credentials.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "quillpost/host/process/os_error.h"
#include "support/files.h"

namespace quillpost {
namespace {

using testing::TempDir;
using testing::write_file;

Getenv credentials_directory(const std::string& dir) {
  return [dir](const std::string& name) -> std::optional<std::string> {
    if (name == "CREDENTIALS_DIRECTORY") return dir;
    return std::nullopt;
  };
}

TEST(ReadCredential, TheFileWithoutItsLastLineFeed) {
  TempDir dir;
  write_file(dir, "client_key", "key-1\n");
  write_file(dir, "two_lines", "a\nb\n\n");
  write_file(dir, "empty", "");
  write_file(dir, "only_a_line_feed", "\n");
  write_file(dir, "largest", std::string(kMaxCredentialBytes, 'x'));
  const Getenv getenv = credentials_directory(dir.path().string());
  struct Case {
    std::string name;
    std::optional<std::string> value;
  };
  for (const auto& c : std::vector<Case>{{"client_key", "key-1"},
                                         {"two_lines", "a\nb\n"},
                                         {"empty", std::nullopt},
                                         {"only_a_line_feed", std::nullopt},
                                         {"missing", std::nullopt},
                                         {"largest", std::string(kMaxCredentialBytes, 'x')}}) {
    EXPECT_EQ(read_credential(getenv, c.name), c.value) << c.name;
  }
  // No directory, or not an absolute one: no credentials at all.
  for (const Getenv& none : {Getenv{}, credentials_directory(""), credentials_directory("rel")}) {
    EXPECT_EQ(read_credential(none, "client_key"), std::nullopt);
  }
}

TEST(ReadCredential, RefusesWhatIsNotAPlainReadableFile) {
  TempDir dir;
  write_file(dir, "large", std::string(kMaxCredentialBytes + 1, 'x'));
  std::filesystem::create_directories(dir / "a_directory");
  std::filesystem::create_symlink("/etc/passwd", dir / "a_link");
  const Getenv getenv = credentials_directory(dir.path().string());
  for (const char* name : {"large", "a_directory", "a_link"}) {
    try {
      read_credential(getenv, name);
      ADD_FAILURE() << name << " was read";
    } catch (const OsError& e) {
      EXPECT_NE(std::string(e.what()).find((dir / name).string()), std::string::npos) << e.what();
    }
  }
  for (const char* name : {"", ".", "..", "../client_key", "a/b"}) {
    EXPECT_THROW(read_credential(getenv, name), std::invalid_argument) << name;
  }
}

}  // namespace
}  // namespace quillpost
