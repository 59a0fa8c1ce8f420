// The status page in a real browser: Debian's headless Chromium loads it, runs
// its script, and takes a screenshot.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fixture.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace quillpost::web {
namespace {

namespace fs = std::filesystem;
using quillpost::testing::read_file;

std::string find_chromium() {
  for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (fs::exists(candidate)) return candidate;
  }
  return {};
}

// Runs Chromium headless on `url` with `action` ("--dump-dom" or
// "--screenshot=FILE"), its profile in a fresh directory, no network beyond
// the page, bounded in time. Returns the exit status; standard output goes to `out`.
int run_chromium(const std::string& chromium, const fs::path& profile, const std::string& action,
                 const std::string& url, const fs::path& out) {
  const std::string command =
      "timeout 60 " + chromium +
      " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
      " --disable-background-networking --disable-component-update --disable-sync"
      " --disable-dev-shm-usage --hide-scrollbars --window-size=900,700"
      " --virtual-time-budget=3000 --user-data-dir=" +
      profile.string() + " " + action + " " + url + " >" + out.string() + " 2>" +
      (out.string() + ".err");
  return std::system(command.c_str());
}

TEST(WebInterfaceBrowser, StatusPageRendersAndRefreshesInChromium) {
  const std::string chromium = find_chromium();
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";

  testing::WebInterfaceFixture web(true);
  web.publish({comms::ClientStatus::handshaked, 4242, {{"account_id", 4242}, {"computer_id", 77}}});
  web.web().report_gui_log(GuiLog{GuiLogEvent::CLIENT_FINDING_SERVER, "Finding server..."});
  web.web().report_gui_log(GuiLog{GuiLogEvent::CLIENT_CONNECTED, "Connected to 127.0.0.1:8471"});
  web.web().report_gui_log(GuiLog{GuiLogEvent::CLIENT_HANDSHAKED, "Handshake complete"});
  web.status_when([](const nlohmann::json& s) {
    return s["connection"]["status"] == "handshaked" && s["gui_log"].size() == 3;
  });
  const std::string url = "http://127.0.0.1:" + std::to_string(web.port()) + "/";

  quillpost::testing::TempDir dir;
  ASSERT_EQ(run_chromium(chromium, dir / "profile-dom", "--dump-dom", url, dir / "dom.html"), 0)
      << read_file(dir / "dom.html.err");
  const std::string dom = read_file(dir / "dom.html");
  EXPECT_NE(dom.find(">Handshaked</span>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("4242"), std::string::npos);
  EXPECT_NE(dom.find("desk-01"), std::string::npos);
  EXPECT_NE(dom.find("Handshake complete"), std::string::npos);
  // Only the script writes "Updated": it fetched /status and rendered it.
  EXPECT_NE(dom.find("id=\"updated\">Updated "), std::string::npos) << dom;
  EXPECT_NE(dom.find("id=\"offline\" hidden"), std::string::npos);
  for (const auto& secret : testing::test_secrets) EXPECT_EQ(dom.find(secret), std::string::npos);

  const fs::path shot = dir / "status.png";
  ASSERT_EQ(run_chromium(chromium, dir / "profile-shot", "--screenshot=" + shot.string(), url,
                         dir / "shot.out"),
            0)
      << read_file(dir / "shot.out.err");
  const std::string png = read_file(shot);
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  // A blank page compresses to a few hundred bytes; text and colours take more.
  EXPECT_GT(png.size(), 10'000u);
  // Kept beside the build for a person to look at.
  std::error_code ignored;
  fs::copy_file(shot, fs::path(QP_BINARY_DIR) / "web-status-page.png",
                fs::copy_options::overwrite_existing, ignored);
  // The browser asked for no shutdown.
  EXPECT_TRUE(web.exits_after(std::chrono::milliseconds(10)).empty());
}

}  // namespace
}  // namespace quillpost::web
