#include "quillpost/host/base/digest.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.h"

namespace quillpost {
namespace {

TEST(Digest, HexIsLowerCaseTwoDigitsPerByte) {
  const unsigned char bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(hex_text(bytes, sizeof bytes), "000fa0ff");
  EXPECT_EQ(hex_text(bytes, 0), "");
}

TEST(Digest, FileSha256IsEmptyForWhatCannotBeReadToTheEnd) {
  testing::TempDir dir;
  std::ofstream(dir / "abc") << "abc";
  std::ofstream(dir / "empty").flush();
  std::filesystem::create_symlink(dir / "abc", dir / "link");
  std::filesystem::create_directory(dir / "folder");
  const struct {
    const char* name;
    const char* expected;
  } cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"empty", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"missing", ""},
      {"link", ""},  // a symbolic link is not followed
      {"folder", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(file_sha256(dir / c.name), c.expected) << c.name;
}

}  // namespace
}  // namespace quillpost
