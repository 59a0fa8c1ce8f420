// Warnings and errors in the journal, when standard error is its stream.
#include "quillpost/host/logging/journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "quillpost/host/logging/logs.h"

namespace quillpost::logs {
namespace {

Getenv journal_stream(const std::string& value) {
  return [value](const std::string& name) -> std::optional<std::string> {
    if (name == "JOURNAL_STREAM") return value;
    return std::nullopt;
  };
}

class Journal : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::pipe2(fds_, O_CLOEXEC | O_NONBLOCK), 0); }
  void TearDown() override {
    attach_journal(-1);
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int writer() const { return fds_[1]; }
  std::string stream_of(int fd) const {
    struct stat info {};
    ::fstat(fd, &info);
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
  std::string written() const {
    char buffer[4096];
    const auto n = ::read(fds_[0], buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST_F(Journal, TheStreamIsRecognisedByDeviceAndInode) {
  EXPECT_TRUE(is_journal_stream(journal_stream(stream_of(writer())), writer()));
  // The user redirected standard error elsewhere: another inode.
  const int other = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  EXPECT_FALSE(is_journal_stream(journal_stream(stream_of(writer())), other));
  ::close(other);
  for (const std::string& value : {std::string(), std::string("12"), std::string(":"),
                                   std::string("a:b"), stream_of(writer()) + "x"}) {
    EXPECT_FALSE(is_journal_stream(journal_stream(value), writer())) << value;
  }
  EXPECT_FALSE(is_journal_stream(Getenv{}, writer()));
}

TEST_F(Journal, WarningsAndErrorsGoThereWithTheirPriorityOneLineEach) {
  attach_journal(writer());
  logger("main").info("not for the journal");
  logger("web").warning("port %s busy", 8888);
  logger("runner").error("gave up: %s", "line one\n<0>forged");
  logger("main").exception("failed: %s", "x");
  EXPECT_EQ(written(),
            "<4>WARNING web: port 8888 busy\n"
            "<3>ERROR runner: gave up: line one\\n<0>forged\n"
            "<3>EXCEPTION main: failed: x\n");
  attach_journal(-1);
  logger("web").warning("after");
  EXPECT_EQ(written(), "");
}

}  // namespace
}  // namespace quillpost::logs
