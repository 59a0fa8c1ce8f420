// The web interface over real HTTP on loopback.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "fixture.h"
#include "quillpost/host/logging/logs.h"

namespace quillpost::web {
namespace {

using testing::HttpReply;
using testing::request;
using testing::send_raw;
using testing::WebInterfaceFixture;
using Json = nlohmann::json;

TEST(WebInterfaceServer, StatusFollowsEachPublishedConnection) {
  WebInterfaceFixture web(false);
  struct Row {
    Row(comms::Connection c, std::string l, std::optional<std::int64_t> a, Json id)
        : connection(std::move(c)),
          label(std::move(l)),
          account_id(a),
          computer_id(std::move(id)) {}
    comms::Connection connection;
    std::string label;
    std::optional<std::int64_t> account_id;
    Json computer_id;
  };
  const Row rows[] = {
      {{comms::ClientStatus::service_discovery,
        std::nullopt,
        {{"server", "http://127.0.0.1:8470/v1/discover"}}},
       "Finding server",
       std::nullopt,
       nullptr},
      {{comms::ClientStatus::connecting,
        std::nullopt,
        {{"address", {"127.0.0.1", 8471}}, {"remote_address", "127.0.0.1"}}},
       "Connecting",
       std::nullopt,
       nullptr},
      {{comms::ClientStatus::connected,
        std::nullopt,
        {{"address", {"127.0.0.1", 8471}},
         {"local_address", {"127.0.0.1", 50000}},
         {"remote_address", "127.0.0.1"}}},
       "Connected",
       std::nullopt,
       nullptr},
      {{comms::ClientStatus::handshaked, 4242, {{"account_id", 4242}, {"computer_id", 77}}},
       "Handshaked",
       4242,
       77},
      // The computer id stays known after the connection ends.
      {{comms::ClientStatus::disconnected, std::nullopt, {{"reason", "Server closed the socket"}}},
       "Disconnected",
       std::nullopt,
       77},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    web.publish(row.connection);
    const std::string expected(comms::name(row.connection.status));
    const Json status = web.status_when([&](const Json& s) {
      return s["connection"].value("status", "") == expected &&
             s["connection"]["info"] == row.connection.info;
    });
    EXPECT_EQ(status["connection"]["status"], expected);
    EXPECT_EQ(status["connection"]["label"], row.label);
    EXPECT_EQ(status["connection"]["info"], row.connection.info);
    EXPECT_EQ(status["account_id"], row.account_id ? Json(*row.account_id) : Json());
    EXPECT_EQ(status["computer"]["id"], row.computer_id);
    EXPECT_EQ(status["computer"]["name"], "desk-01");
    EXPECT_EQ(status["shutdown_allowed"], false);
  }
}

TEST(WebInterfaceServer, GuiLogLinesReachStatusAndPage) {
  WebInterfaceFixture web(false);
  web.web().report_gui_log(GuiLog{GuiLogEvent::CLIENT_FINDING_SERVER, "Finding server"});
  web.web().report_gui_log(GuiLog{GuiLogEvent::CLIENT_HANDSHAKED, "Connected as <b>acc-42</b>"});
  const Json status = web.status_when([](const Json& s) { return s["gui_log"].size() == 2; });
  ASSERT_EQ(status["gui_log"].size(), 2u);
  EXPECT_EQ(status["gui_log"][0]["event"], "CLIENT_FINDING_SERVER");
  EXPECT_EQ(status["gui_log"][1]["message"], "Connected as <b>acc-42</b>");

  const HttpReply page = request(web.port(), "GET", "/");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.headers.at("content-type"), "text/html; charset=utf-8");
  // Shown as text, never as markup.
  EXPECT_NE(page.body.find("Connected as &lt;b&gt;acc-42&lt;/b&gt;"), std::string::npos);
  EXPECT_EQ(page.body.find("<b>acc-42</b>"), std::string::npos);
  // No external assets.
  EXPECT_EQ(page.body.find("src=\"http"), std::string::npos);
  EXPECT_EQ(page.body.find("href=\"http"), std::string::npos);
}

TEST(WebInterfaceServer, NoSecretInPageOrJsonEvenWhenAMessageCarriesOne) {
  WebInterfaceFixture web(true);
  // A reason and a GUI line that, by some fault elsewhere, hold secrets.
  web.publish({comms::ClientStatus::disconnected,
               std::nullopt,
               {{"reason", "rejected key " + testing::test_secrets[1]},
                {"proxy", "socks5://" + testing::test_secrets[2] + ":" + testing::test_secrets[3] +
                              "@proxy.example:1080"}}});
  web.web().report_gui_log(
      GuiLog{GuiLogEvent::APP_STARTING, "password was " + testing::test_secrets[0]});
  web.status_when([](const Json& s) {
    return s["gui_log"].size() == 1 && s["connection"]["info"].contains("proxy");
  });
  for (const std::string target : {"/", "/status"}) {
    const HttpReply reply = request(web.port(), "GET", target);
    ASSERT_EQ(reply.status, 200) << target;
    EXPECT_NE(reply.body.find("rejected key ***"), std::string::npos) << target;
    for (const auto& secret : testing::test_secrets) {
      EXPECT_EQ(reply.body.find(secret), std::string::npos) << target << " shows " << secret;
    }
  }
}

TEST(WebInterfaceServer, ShutdownRefusedWhenNotAllowed) {
  WebInterfaceFixture web(false);
  const HttpReply reply = request(web.port(), "POST", "/shutdown");
  EXPECT_EQ(reply.status, 403);
  EXPECT_NE(reply.body.find("not allowed"), std::string::npos);
  EXPECT_TRUE(web.exits_after(std::chrono::milliseconds(100)).empty());
}

TEST(WebInterfaceServer, ShutdownAllowedAsksForExitWithCodeZeroOnce) {
  WebInterfaceFixture web(true);
  EXPECT_EQ(web.status()["shutdown_allowed"], true);
  const HttpReply first = request(web.port(), "POST", "/shutdown");
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(Json::parse(first.body)["shutdown"], true);
  const HttpReply second = request(web.port(), "POST", "/shutdown");
  EXPECT_EQ(second.status, 200);
  const auto exits = web.exits_after(std::chrono::seconds(5));
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0].first, "Shutdown requested through the web interface");
  EXPECT_EQ(exits[0].second, 0);
}

TEST(WebInterfaceServer, ShutdownFromAnotherSiteIsRefused) {
  WebInterfaceFixture web(true);
  EXPECT_EQ(request(web.port(), "POST", "/shutdown", "Origin: http://evil.example\r\n").status,
            403);
  EXPECT_EQ(request(web.port(), "POST", "/shutdown", "Origin: null\r\n").status, 403);
  EXPECT_TRUE(web.exits_after(std::chrono::milliseconds(100)).empty());
  // The page's own button sends its own origin.
  const std::string own = "Origin: http://127.0.0.1:" + std::to_string(web.port()) + "\r\n";
  EXPECT_EQ(request(web.port(), "POST", "/shutdown", own).status, 200);
  EXPECT_EQ(web.exits_after(std::chrono::seconds(5)).size(), 1u);
}

TEST(WebInterfaceServer, OnlyItsPathsAndMethods) {
  WebInterfaceFixture web(true);
  struct Row {
    std::string method, target;
    int status;
    std::string allow;
  };
  const std::vector<Row> rows = {
      {"GET", "/", 200, ""},
      {"GET", "/status", 200, ""},
      {"GET", "/status?ts=123", 200, ""},
      {"GET", "/nope", 404, ""},
      {"GET", "/status/", 404, ""},
      {"GET", "/../etc/passwd", 404, ""},
      {"POST", "/nope", 404, ""},
      {"POST", "/", 405, "GET"},
      {"PUT", "/status", 405, "GET"},
      {"HEAD", "/", 405, "GET"},
      {"GET", "/shutdown", 405, "POST"},
      {"DELETE", "/shutdown", 405, "POST"},
  };
  for (const auto& row : rows) {
    const HttpReply reply = request(web.port(), row.method, row.target);
    EXPECT_EQ(reply.status, row.status) << row.method << " " << row.target;
    if (!row.allow.empty()) {
      EXPECT_EQ(reply.headers.count("allow") ? reply.headers.at("allow") : "", row.allow)
          << row.method << " " << row.target;
    }
  }
  EXPECT_TRUE(web.exits_after(std::chrono::milliseconds(50)).empty());
}

TEST(WebInterfaceServer, OversizedAndMalformedRequestsAreAnsweredAndServingGoesOn) {
  WebInterfaceFixture web(true);
  const std::string big_header = "X-Filler: " + std::string(20 * 1024, 'a') + "\r\n";
  EXPECT_EQ(request(web.port(), "GET", "/status", big_header).status, 431);
  EXPECT_EQ(request(web.port(), "POST", "/shutdown", "", std::string(64 * 1024, 'x')).status, 413);
  // A declared length over the limit is refused before any body is read.
  const HttpReply declared = send_raw(
      web.port(), "POST /shutdown HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000000\r\n\r\n");
  EXPECT_EQ(declared.status, 413);
  EXPECT_EQ(send_raw(web.port(), "NOT HTTP AT ALL\r\n\r\n").status, 400);
  // Bytes that are not UTF-8 do not break the JSON.
  web.web().report_gui_log(GuiLog{GuiLogEvent::CLIENT_DISCONNECTED, "bad \xff\xfe bytes"});
  const Json status = web.status_when([](const Json& s) { return s["gui_log"].size() == 1; });
  EXPECT_EQ(status["gui_log"][0]["message"], "bad \xEF\xBF\xBD\xEF\xBF\xBD bytes");
  EXPECT_TRUE(web.exits_after(std::chrono::milliseconds(50)).empty());
  EXPECT_EQ(request(web.port(), "GET", "/status").status, 200);
}

TEST(WebInterfaceServer, IdleConnectionIsClosedAfterTheRequestTimeout) {
  WebInterfaceFixture web(false, [](WebServerOptions& options) {
    options.request_timeout = std::chrono::milliseconds(200);
  });
  const auto start = std::chrono::steady_clock::now();
  const HttpReply reply = send_raw(web.port(), "GET /status HTTP/1.1\r\n", std::chrono::seconds(5));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(reply.status, 0);
  EXPECT_LT(took, std::chrono::seconds(3));
}

TEST(WebInterfaceServer, OnLoopbackOnlyLoopbackHostNamesAreServed) {
  WebInterfaceFixture web(true);
  const std::string port = std::to_string(web.port());
  struct Row {
    std::string host;
    int status;
  };
  const std::vector<Row> rows = {
      {"127.0.0.1:" + port, 200},      {"localhost:" + port, 200}, {"localhost", 200},
      {"[::1]:" + port, 200},          {"127.0.0.2", 200},         {"evil.example:" + port, 403},
      {"localhost.evil.example", 403}, {"10.0.0.1:" + port, 403},  {"[::1]x", 403},
  };
  for (const auto& row : rows) {
    const HttpReply reply = send_raw(
        web.port(), "GET /status HTTP/1.1\r\nHost: " + row.host + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(reply.status, row.status) << row.host;
  }
  // A rebound name passes the origin check (origin and host agree) but not this one.
  const HttpReply shutdown =
      send_raw(web.port(), "POST /shutdown HTTP/1.1\r\nHost: evil.example:" + port +
                               "\r\nOrigin: http://evil.example:" + port +
                               "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(shutdown.status, 403);
  EXPECT_TRUE(web.exits_after(std::chrono::milliseconds(50)).empty());
}

// An IPv4 address of one of this machine's interfaces other than loopback.
std::optional<std::string> interface_address() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::optional<std::string> found;
  for (const ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    if (std::string(text).rfind("127.", 0) != 0) found = text;
  }
  ::freeifaddrs(list);
  return found;
}

TEST(WebInterfaceServer, OnAllInterfacesOnlyThisMachinesNamesAreServed) {
  WebInterfaceFixture web(true, [](WebServerOptions& options) { options.listen = ""; });
  const std::string port = std::to_string(web.port());
  char name[256] = {};
  ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
  std::string upper = name;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Row {
    std::string host;
    int status;
  };
  std::vector<Row> rows = {
      {"127.0.0.1:" + port, 200},      {"localhost", 200},
      {"[::1]:" + port, 200},          {name, 200},
      {upper + ":" + port, 200},       {"evil.example:" + port, 403},
      {"localhost.evil.example", 403}, {"192.0.2.1:" + port, 403},
      {std::string(name) + "x", 403},  {"", 403},
      {name + std::string(":x"), 403},
  };
  if (const auto address = interface_address()) rows.push_back({*address + ":" + port, 200});
  for (const auto& row : rows) {
    const HttpReply reply = send_raw(
        web.port(), "GET /status HTTP/1.1\r\nHost: " + row.host + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(reply.status, row.status) << row.host;
  }
  const HttpReply shutdown =
      send_raw(web.port(), "POST /shutdown HTTP/1.1\r\nHost: evil.example:" + port +
                               "\r\nOrigin: http://evil.example:" + port +
                               "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(shutdown.status, 403);
  EXPECT_TRUE(web.exits_after(std::chrono::milliseconds(50)).empty());
}

TEST(WebInterfaceServer, RefusedConnectionsAreLoggedAtMostOncePerInterval) {
  logs::Capture capture;
  WebServerOptions options;
  options.port = 0;
  options.max_connections = 0;  // every connection is refused
  options.line_interval = std::chrono::milliseconds(1000);
  WebServer server(
      options, std::make_shared<StatusBoard>("x", std::nullopt, std::vector<std::string>{}), {});
  server.start();
  constexpr int kFlood = 30;
  // Each refusal is logged or held back before the connection closes, so all
  // of the flood's are in by `flood_end`.
  const auto flood_start = std::chrono::steady_clock::now();
  for (int i = 0; i < kFlood; ++i) EXPECT_EQ(send_raw(server.port(), "").status, 0);
  const auto flood_end = std::chrono::steady_clock::now();
  // One interval after the flood the next refusal is a line again.
  std::this_thread::sleep_until(flood_end + options.line_interval);
  EXPECT_EQ(send_raw(server.port(), "").status, 0);
  // Every refusal is either a line or counted in the next one.
  std::vector<std::string> lines;
  int accounted = 0;
  for (const auto& text : capture.texts("web_interface")) {
    if (text.find("refusing one more") == std::string::npos) continue;
    lines.push_back(text);
    ++accounted;
    std::smatch held;
    if (std::regex_search(text, held, std::regex("\\((\\d+) similar lines held back"))) {
      accounted += std::stoi(held[1]);
    }
  }
  EXPECT_EQ(accounted, kFlood + 1) << ::testing::PrintToString(lines);
  // The flood's lines are an interval apart at least (however long a loaded
  // machine took for it), then the last refusal's.
  const auto windows = (flood_end - flood_start) / options.line_interval;
  EXPECT_GE(lines.size(), 2u);
  EXPECT_LE(lines.size(), static_cast<std::size_t>(windows) + 2) << ::testing::PrintToString(lines);
}

TEST(WebInterfaceServer, PortInUseIsReported) {
  WebInterfaceFixture web(false);
  WebServerOptions options;
  options.port = web.port();
  auto board = std::make_shared<StatusBoard>("x", std::nullopt, std::vector<std::string>{});
  WebServer second(options, board, {});
  EXPECT_THROW(second.start(), WebInterfaceError);
}

TEST(WebInterfaceServer, ListensOnLoopbackByDefault) {
  RuntimeConfig config;
  config.web_interface = true;
  auto options = *web_server_options(config);
  options.port = 0;
  WebServer server(
      options, std::make_shared<StatusBoard>("x", std::nullopt, std::vector<std::string>{}), {});
  server.start();
  EXPECT_EQ(server.address(), "127.0.0.1");
  EXPECT_EQ(testing::request(server.port(), "GET", "/status").status, 200);
}

}  // namespace
}  // namespace quillpost::web
