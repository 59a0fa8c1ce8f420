#include "quillpost/host/logging/logs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "quillpost/host/app/event_logger.h"
#include "quillpost/host/process/os_error.h"
#include "support/files.h"
#include "support/unprivileged.h"

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
  // A server's reason that would forge a line and drive the terminal.
  logger("main").info("reason: %s", "x\nINFO      main: forged\x1b[2J");
  flush();
  const std::string content = quillpost::testing::read_file(log_file());
  EXPECT_EQ(content.find("hidden 1"), std::string::npos);
  EXPECT_NE(content.find("INFO      main: shown 2"), std::string::npos) << content;
  EXPECT_NE(content.find("main: reason: x\\nINFO      main: forged\\x1b[2J\n"), std::string::npos)
      << content;
  EXPECT_EQ(content.find('\x1b'), std::string::npos);
  std::filesystem::remove_all(dir.parent_path());
}

TEST(Logs, GuiLogLinesAreEscapedOnStandardOutputAndInTheLog) {
  Capture capture;
  std::ostringstream out;
  EventLogger events(&out);
  events.report_gui_log(
      GuiLog{GuiLogEvent::CLIENT_DISCONNECTED,
             "Disconnected after 1s; bye\nAPP_CLOSE: forged\x1b]0;t\x07 \xc3\xa9."});
  const std::string escaped =
      "Disconnected after 1s; bye\\nAPP_CLOSE: forged\\x1b]0;t\\x07 \xc3\xa9.";
  EXPECT_EQ(out.str(), "CLIENT_DISCONNECTED: " + escaped + "\n");
  EXPECT_EQ(capture.texts("gui"), std::vector<std::string>{"CLIENT_DISCONNECTED: " + escaped});
}

TEST(Logs, ConfigureReportsAnUnusableDirectory) {
  EXPECT_THROW(configure("/proc/quillpost-no-such-dir/logs", false), OsError);
  quillpost::testing::where_permissions_apply([] {
    quillpost::testing::TempDir dir;
    std::filesystem::create_directories(dir / "ro");
    ::chmod((dir / "ro").c_str(), 0500);
    EXPECT_THROW(configure(dir / "ro/logs", false), PermissionError);
  });
}

}  // namespace
}  // namespace quillpost::logs
