#include "quillpost/host/logging/logs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "quillpost/host/process/os_error.h"
#include "support/files.h"

namespace quillpost::logs {
namespace {

TEST(Logs, CaptureSeesRenderedLinesOfEveryLogger) {
  Capture capture;
  logger("main").info("not using signal handers; --shutdown-on-sigint=%s, debug=%s", false, true);
  logger("client").debug("c-%s took %d ms", "abc", 15);
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].logger, "main");
  EXPECT_EQ(records[0].level, Level::info);
  EXPECT_EQ(records[0].text, "not using signal handers; --shutdown-on-sigint=False, debug=True");
  EXPECT_EQ(capture.texts("client"), std::vector<std::string>{"c-abc took 15 ms"});
}

TEST(Logs, ConfigureWritesTheFileAtTheChosenThreshold) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("qp-logs-test-" + std::to_string(::getpid())) / "logs";
  configure(dir, /*log_all=*/false);
  logger("main").debug("hidden %s", 1);
  logger("main").info("shown %s", 2);
  flush();
  const std::string content = quillpost::testing::read_file(log_file());
  EXPECT_EQ(content.find("hidden 1"), std::string::npos);
  EXPECT_NE(content.find("INFO      main: shown 2"), std::string::npos) << content;
  std::filesystem::remove_all(dir.parent_path());
}

TEST(Logs, ConfigureReportsAnUnusableDirectory) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write anywhere";
  EXPECT_THROW(configure("/proc/quillpost-no-such-dir/logs", false), OsError);
}

}  // namespace
}  // namespace quillpost::logs
