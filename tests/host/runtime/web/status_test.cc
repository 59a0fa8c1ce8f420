// The status board, the page's escaping and the options read from the configuration.
#include "quillpost/host/runtime/web/status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quillpost/host/runtime/web/page.h"
#include "quillpost/host/runtime/web/web_interface.h"

namespace quillpost::web {
namespace {

TEST(WebRedact, HidesEverySecretWhereverItStands) {
  struct Row {
    std::string text;
    std::vector<std::string> secrets;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"key abc123 and abc123", {"abc123"}, "key *** and ***"},
      {"nothing here", {"abc123"}, "nothing here"},
      {"empty secrets are ignored", {""}, "empty secrets are ignored"},
      // The longer secret goes first, so no part of it is left showing.
      {"pass-word-long", {"pass", "pass-word-long"}, "***"},
      {"user:pw@host", {"user", "pw"}, "***:***@host"},
      // A secret inside the mask cannot loop forever.
      {"***x***", {"*"}, "*********x*********"},
  };
  for (const auto& row : rows) EXPECT_EQ(redact(row.text, row.secrets), row.expected) << row.text;
}

TEST(WebRedact, SecretsOfConfigurationAndAccount) {
  RuntimeConfig config;
  config.password = "pw";
  config.client_key = "";
  config.proxy = Proxy{"http", "p", "3128", std::make_pair(std::string("u"), std::string("s"))};
  const auto secrets = secrets_of(config, Account{"e@x", "key", 5});
  EXPECT_EQ(secrets, (std::vector<std::string>{"pw", "u", "s", "key"}));
  RuntimeConfig no_proxy;
  no_proxy.proxy = NoProxy{};
  EXPECT_TRUE(secrets_of(no_proxy, std::nullopt).empty());
}

TEST(WebServerOptionsFromConfig, Table) {
  struct Row {
    std::optional<bool> on;
    std::optional<std::int64_t> port;
    std::optional<std::string> listen;
    std::optional<bool> shutdown;
    bool enabled;
    std::string expected_listen;
    std::uint16_t expected_port;
    bool expected_shutdown;
  };
  const std::vector<Row> rows = {
      {std::nullopt, 9000, "0.0.0.0", true, false, "", 0, false},
      {false, 9000, std::nullopt, true, false, "", 0, false},
      {true, std::nullopt, std::nullopt, std::nullopt, true, "127.0.0.1", 8888, false},
      {true, 9000, "", true, true, "", 9000, true},
      {true, 65535, "::1", false, true, "::1", 65535, false},
  };
  for (const auto& row : rows) {
    RuntimeConfig config;
    config.web_interface = row.on;
    config.web_interface_port = row.port;
    config.web_interface_listen = row.listen;
    config.web_interface_shutdown = row.shutdown;
    const auto options = web_server_options(config);
    ASSERT_EQ(options.has_value(), row.enabled);
    if (!options) continue;
    EXPECT_EQ(options->listen, row.expected_listen);
    EXPECT_EQ(options->port, row.expected_port);
    EXPECT_EQ(options->allow_shutdown, row.expected_shutdown);
  }
  for (std::int64_t bad : {0, -1, 65536}) {
    RuntimeConfig config;
    config.web_interface = true;
    config.web_interface_port = bad;
    EXPECT_THROW(web_server_options(config), WebInterfaceError) << bad;
  }
}

TEST(WebStatusBoard, KeepsTheLastLinesEachBounded) {
  StatusBoard board("pc", std::nullopt, {});
  for (std::size_t i = 0; i < StatusBoard::MAX_GUI_LOG_LINES + 5; ++i) {
    board.add_gui_log(GuiLog{GuiLogEvent::CLIENT_CONNECTING, "line " + std::to_string(i)});
  }
  board.add_gui_log(GuiLog{GuiLogEvent::CLIENT_CONNECTED, std::string(5000, 'z')});
  const auto json = board.to_json(false);
  const auto& log = json["gui_log"];
  ASSERT_EQ(log.size(), StatusBoard::MAX_GUI_LOG_LINES);
  EXPECT_EQ(log[0]["message"], "line 6");
  EXPECT_EQ(log.back()["event"], "CLIENT_CONNECTED");
  EXPECT_EQ(log.back()["message"].get<std::string>().size(), StatusBoard::MAX_GUI_LOG_LINE_CHARS);
  EXPECT_EQ(log[0]["time"].get<std::string>().size(), std::string("2026-01-01 00:00:00").size());
}

TEST(WebStatusBoard, UptimeComputerIdAndNewClientKey) {
  const auto started = StatusBoard::Clock::now();
  StatusBoard board("pc", 3, {}, started);
  auto json = board.to_json(true, started + std::chrono::seconds(65));
  EXPECT_GE(json["uptime_seconds"].get<double>(), 64.0);
  EXPECT_EQ(json["uptime"], "1m 05s");
  EXPECT_EQ(json["computer"]["id"], 3);
  EXPECT_EQ(json["shutdown_allowed"], true);
  EXPECT_EQ(json["connection"]["status"], "disconnected");

  board.update_connection({comms::ClientStatus::handshaked, 1, {{"computer_id", 9}}});
  EXPECT_EQ(board.to_json(false)["computer"]["id"], 9);
  board.update_account(Account{"e@x", "fresh-key", 11});
  board.update_connection(
      {comms::ClientStatus::disconnected, std::nullopt, {{"reason", "fresh-key refused"}}});
  json = board.to_json(false);
  EXPECT_EQ(json["computer"]["id"], 11);
  EXPECT_EQ(json["connection"]["info"]["reason"], "*** refused");
  EXPECT_EQ(json["account_id"], nullptr);
}

TEST(WebPage, EscapesTextAndRendersEveryField) {
  EXPECT_EQ(html_escape("<a href=\"x\">'&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
  StatusBoard board("<pc>", 12, {});
  board.update_connection({comms::ClientStatus::handshaked, 4242, {{"account_id", 4242}}});
  board.add_gui_log(GuiLog{GuiLogEvent::CLIENT_HANDSHAKED, "</script><script>alert(1)"});
  const std::string page = render_status_page(board.to_json(false));
  EXPECT_NE(page.find("class=\"badge status-handshaked\">Handshaked</span>"), std::string::npos);
  // The account id is the integer the server gave.
  EXPECT_NE(page.find("id=\"account-id\">4242<"), std::string::npos);
  EXPECT_NE(page.find("id=\"computer-name\">&lt;pc&gt;<"), std::string::npos);
  EXPECT_NE(page.find("id=\"computer-id\">12<"), std::string::npos);
  EXPECT_NE(page.find("&lt;/script&gt;&lt;script&gt;alert(1)"), std::string::npos);
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_EQ(page.find("id=\"shutdown\""), std::string::npos);
  EXPECT_NE(render_status_page(board.to_json(true)).find("id=\"shutdown\""), std::string::npos);
}

TEST(WebPage, ListsThePrintersAndTheLastJobsEscaped) {
  StatusBoard board("pc", 1, {"tok3n"});
  const auto empty = board.to_json(false)["printing"];
  EXPECT_TRUE(empty["printers"].empty());
  printing::PrintingOverview overview;
  overview.system = "ready";
  printing::Printer desk;
  desk.name = "Desk<b>\xff";
  desk.state = printing::PrinterState::stopped;
  desk.state_reasons = {"paused"};
  desk.is_default = true;
  overview.printers = {desk};
  overview.jobs = {{"j-1", "</script>", "Desk", "failed", "key tok3n refused", 0}};
  board.update_printing(overview);
  const auto json = board.to_json(false);
  EXPECT_EQ(json["printing"]["printers"][0]["state"], "stopped");
  EXPECT_EQ(json["printing"]["jobs"][0]["reason"], "key *** refused");
  EXPECT_NO_THROW(json.dump());  // a name that is not UTF-8 is made valid
  const std::string page = render_status_page(json);
  EXPECT_NE(page.find("<b>Desk&lt;b&gt;\xEF\xBF\xBD</b> <i>default</i> <span>stopped (paused)"),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("<b>failed</b> <span>&lt;/script&gt; on Desk</span>"), std::string::npos);
  EXPECT_EQ(page.find("tok3n"), std::string::npos);
}

}  // namespace
}  // namespace quillpost::web
