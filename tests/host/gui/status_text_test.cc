// What the window and the tray say about the connection.
#include "quillpost/host/gui/status_text.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quillpost::gui
