// What the window and the tray say about the connection.
#include "quillpost/host/gui/status_text.h"

#include <gtest/gtest.h>

#include <map>

#include "quillpost/host/gui/autostart.h"

namespace quillpost::gui {
namespace {

using comms::ClientStatus;

comms::Connection status(ClientStatus status, nlohmann::json info,
                         std::optional<std::int64_t> account_id = std::nullopt,
                         std::optional<double> retry_in = std::nullopt) {
  comms::Connection connection;
  connection.status = status;
  connection.info = std::move(info);
  connection.account_id = account_id;
  connection.retry_in = retry_in;
  return connection;
}

TEST(ConnectionView, SaysTheStateTheServerAndTheIdsWithNetworkTextCleaned) {
  struct Case {
    comms::Connection connection;
    std::string state;
    std::string server;
    std::optional<std::int64_t> account_id;
    std::optional<std::int64_t> computer_id;
  };
  const std::vector<Case> cases = {
      {status(ClientStatus::disconnected, {{"reason", "link\nclosed\x1b[2J"}}, std::nullopt, 4.2),
       "Disconnected: link closed [2J (next try in 5 s)", "", std::nullopt, std::nullopt},
      {status(ClientStatus::disconnected, {{"reason", ""}}), "Disconnected", "", std::nullopt,
       std::nullopt},
      {status(ClientStatus::service_discovery, {{"server", "http://svc:8470"}}), "Finding server",
       "http://svc:8470", std::nullopt, std::nullopt},
      {status(ClientStatus::connecting, {{"address", {"10.0.0.5", 8471}}}), "Connecting",
       "10.0.0.5:8471", std::nullopt, std::nullopt},
      // A malformed address is left out rather than shown half.
      {status(ClientStatus::connected, {{"address", {"10.0.0.5"}}}), "Connected", "", std::nullopt,
       std::nullopt},
      {status(ClientStatus::handshaked, {{"account_id", 9}, {"computer_id", 3}}, 7), "Handshaked",
       "", 7, 3},
      {status(ClientStatus::handshaked, {{"account_id", 9}, {"computer_id", "x"}}), "Handshaked",
       "", 9, std::nullopt},
  };
  for (const auto& c : cases) {
    const ConnectionView view = connection_view(c.connection);
    EXPECT_EQ(view.state, c.state) << c.connection.to_text();
    EXPECT_EQ(view.server, c.server) << c.connection.to_text();
    EXPECT_EQ(view.account_id, c.account_id) << c.connection.to_text();
    EXPECT_EQ(view.computer_id, c.computer_id) << c.connection.to_text();
  }
  EXPECT_EQ(tooltip(connection_view(status(ClientStatus::service_discovery, {}))),
            "QuillPost: Finding server");
}

TEST(ConnectionView, AccountAndComputerTexts) {
  EXPECT_EQ(account_text("ann@example.test", 7), "ann@example.test (account 7)");
  EXPECT_EQ(account_text(std::nullopt, 7), "account 7");
  EXPECT_EQ(account_text(std::nullopt, std::nullopt), "none");
  EXPECT_EQ(computer_text("desk-pc", 3), "desk-pc (computer 3)");
  EXPECT_EQ(computer_text("desk-pc", std::nullopt), "desk-pc");
}

// The most urgent fact wins the icon; the tooltip names the connection too.
TEST(TrayLook, NeedsYouBeforePrintingBeforeTheConnection) {
  struct Row {
    bool signed_out, job_failed, printing;
    ClientStatus status;
    TrayLook look;
    const char* tip;
  };
  const Row rows[] = {
      {true, true, true, ClientStatus::handshaked, TrayLook::needs_you, "QuillPost: Signed out"},
      {false, true, true, ClientStatus::handshaked, TrayLook::needs_you,
       "QuillPost: Handshaked; a print job failed"},
      {false, false, true, ClientStatus::handshaked, TrayLook::printing,
       "QuillPost: Handshaked; printing a job"},
      {false, false, false, ClientStatus::handshaked, TrayLook::handshaked,
       "QuillPost: Handshaked"},
      {false, false, false, ClientStatus::connected, TrayLook::connecting, nullptr},
      {false, false, false, ClientStatus::disconnected, TrayLook::disconnected, nullptr},
  };
  for (const Row& row : rows) {
    TrayFacts facts;
    facts.view.status = row.status;
    facts.view.state = row.status == ClientStatus::handshaked ? "Handshaked" : "Other";
    facts.signed_out = row.signed_out;
    facts.job_failed = row.job_failed;
    facts.printing = row.printing;
    EXPECT_EQ(tray_look(facts), row.look) << static_cast<int>(row.look);
    if (row.tip) {
      EXPECT_EQ(tray_tooltip(facts), row.tip);
    }
  }
}

// The program's path is one quoted Exec argument, whatever it holds.
TEST(Autostart, TheEntryQuotesTheProgramAndTheDirectoryFollowsXdg) {
  const std::string entry = autostart_entry("/opt/Quill Post/bin/a\"b$c");
  EXPECT_NE(entry.find("\nExec=\"/opt/Quill Post/bin/a\\\\\"b\\\\$c\"\n"), std::string::npos)
      << entry;
  const auto env = [](std::map<std::string, std::string> vars) {
    return Getenv([vars](const std::string& name) -> std::optional<std::string> {
      const auto found = vars.find(name);
      if (found == vars.end()) return std::nullopt;
      return found->second;
    });
  };
  EXPECT_EQ(autostart_path(env({{"XDG_CONFIG_HOME", "/x"}, {"HOME", "/h"}})),
            std::filesystem::path("/x/autostart/quillpost.desktop"));
  EXPECT_EQ(autostart_path(env({{"XDG_CONFIG_HOME", "rel"}, {"HOME", "/h"}})),
            std::filesystem::path("/h/.config/autostart/quillpost.desktop"));
  EXPECT_EQ(autostart_path(env({})), std::nullopt);
}

}  // namespace
}  // namespace quillpost::gui
