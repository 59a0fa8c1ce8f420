// quillpost-service run as a process and spoken to over loopback, plain and TLS.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>

#include "service/frame.h"
#include "service/server.h"
#include "support/service_process.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"
#include "test_connection.h"

namespace quillpost::service {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using json = nlohmann::json;
using quillpost::testing::http_request;
using quillpost::testing::ServiceProcess;
using test::TestConnection;
using namespace std::chrono_literals;

const std::string demo_key = "demo-client-key";

std::string discovery_target(const std::string& extra = "") {
  return std::string(quillpost::testing::discovery_path) +
         "?version=0.1.0&edition=community&computer_name=TEST-PC&world_id=world-1&instance_id="
         "instance-1" +
         extra;
}

// Reads the opening "authentication", answers it and returns the server's reply.
json authenticate(TestConnection& connection, const std::string& key,
                  const std::string& computer = "TEST-PC",
                  const std::string& connection_id = "conn-1") {
  auto opening = connection.read_frame();
  EXPECT_TRUE(opening.has_value());
  if (!opening) return nullptr;
  EXPECT_EQ((*opening)["event"], "authentication");
  connection.send("authenticate", test::authenticate_message(key, computer, connection_id));
  auto reply = connection.read_non_heartbeat();
  return reply ? *reply : json(nullptr);
}

bool output_mentions(const ServiceProcess& service, const std::string& text) {
  for (const auto& line : service.output()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(ServiceProcess, PathsAgreeWithTheService) {
  EXPECT_EQ(quillpost::testing::discovery_path, discovery_path);
  EXPECT_EQ(quillpost::testing::login_path, login_path);
}

TEST(Discovery, AnswersTheSocketAndRecordsTheQuery) {
  ServiceProcess service(
      {"--heartbeat-interval", "2", "--heartbeat-timeout", "6.5", "--service-version", "9.9"});
  auto reply =
      http_request(service.http_port(), "GET", discovery_target("&region=eu%20west&tag=a+b"));
  ASSERT_EQ(reply.status, 200) << reply.body;
  json answer = json::parse(reply.body);
  EXPECT_EQ(answer["address"], "127.0.0.1");
  EXPECT_EQ(answer["port"], service.socket_port());
  EXPECT_EQ(answer["remote_address"], "127.0.0.1");
  EXPECT_EQ(answer["version"], "9.9");
  EXPECT_EQ(answer["heartbeat"], (json{{"interval", 2}, {"timeout", 6.5}}));
  EXPECT_EQ(answer["tls"], false);
  json last = service.state()["lastDiscovery"];
  EXPECT_EQ(last["computer_name"], "TEST-PC");
  EXPECT_EQ(last["region"], "eu west");
  EXPECT_EQ(last["tag"], "a b");
}

TEST(Discovery, RefusesIncompleteOrMisdirectedRequests) {
  ServiceProcess service;
  struct Case {
    const char* method;
    std::string target;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"GET", "/v1/discover?version=1&edition=c", 400,
       "Missing query parameters: computer_name, world_id, instance_id."},
      {"POST", discovery_target(), 405, "Discovery takes GET."},
      {"GET", "/v2/elsewhere", 404, "No such endpoint"},
      {"GET", "/v1/discover?x=%zz", 400, "not a valid URL"},
  };
  for (const Case& c : cases) {
    auto reply = http_request(service.http_port(), c.method, c.target);
    EXPECT_EQ(reply.status, c.status) << c.target;
    EXPECT_THAT(reply.body, HasSubstr(c.message)) << c.target;
  }
}

TEST(Discovery, FaultKnobsBreakTheAnswer) {
  ServiceProcess service;
  service.set_fault("discovery", "500");
  EXPECT_EQ(http_request(service.http_port(), "GET", discovery_target()).status, 500);

  service.set_fault("discovery", "malformed");
  auto malformed = http_request(service.http_port(), "GET", discovery_target());
  EXPECT_EQ(malformed.status, 200);
  EXPECT_TRUE(json::parse(malformed.body, nullptr, false).is_discarded()) << malformed.body;

  service.set_fault("discovery", "hang");
  EXPECT_EQ(http_request(service.http_port(), "GET", discovery_target(), "", 300ms).status, 0);

  service.set_fault("discovery", "closed-port");
  auto closed = http_request(service.http_port(), "GET", discovery_target());
  ASSERT_EQ(closed.status, 200);
  const int port = json::parse(closed.body)["port"];
  EXPECT_NE(port, service.socket_port());
  EXPECT_THROW(TestConnection(port, std::nullopt, 1s), std::runtime_error)
      << "nothing listens there";

  service.set_fault("discovery", "ok");
  EXPECT_EQ(http_request(service.http_port(), "GET", discovery_target()).status, 200);
}

TEST(Discovery, FaultGivenAtStartAppliesAtOnce) {
  ServiceProcess service({"--fault", "discovery=500"});
  EXPECT_EQ(http_request(service.http_port(), "GET", discovery_target()).status, 500);
  EXPECT_EQ(service.state()["faults"]["discovery"], "500");
}

TEST(Login, AnswersTheAccountOrAMessage) {
  ServiceProcess service;
  struct Case {
    std::string body;
    int status;
    json expected;  // the whole answer
  };
  const Case cases[] = {
      {R"({"email": "Demo@QuillPost.test", "password": "demo"})", 200,
       json{{"id", 1}, {"email", "demo@quillpost.test"}, {"clientKey", demo_key}}},
      {R"({"email": "demo@quillpost.test", "password": "wrong"})", 401,
       json{{"message", "Invalid email or password."}}},
      {R"({"email": "nobody@quillpost.test", "password": "demo"})", 401,
       json{{"message", "Invalid email or password."}}},
      {R"({"email": "demo@quillpost.test"})", 400,
       json{{"message", "Expected a JSON object with a text email and password."}}},
      {"not json", 400,
       json{{"message", "Expected a JSON object with a text email and password."}}},
  };
  for (const Case& c : cases) {
    auto reply = http_request(service.http_port(), "POST", quillpost::testing::login_path, c.body);
    EXPECT_EQ(reply.status, c.status) << c.body;
    EXPECT_EQ(json::parse(reply.body, nullptr, false), c.expected) << c.body;
  }
  EXPECT_EQ(http_request(service.http_port(), "GET", quillpost::testing::login_path).status, 405);
  auto huge = http_request(service.http_port(), "POST", quillpost::testing::login_path,
                           std::string(max_frame_bytes + 1, ' '));
  EXPECT_EQ(huge.status, 413) << "bodies are bounded like frames";
  EXPECT_FALSE(output_mentions(service, "wrong")) << "passwords never reach the log";
}

TEST(Login, AccountsFileAddsAccounts) {
  quillpost::testing::TempDir dir;
  std::ofstream(dir / "accounts.json")
      << R"({"accounts": [{"id": 42, "email": "ann@example.test", "password": "pw", "clientKey": "ann-key"}]})";
  ServiceProcess service({"--accounts", (dir / "accounts.json").string(), "--no-demo-account"});
  auto ann = http_request(service.http_port(), "POST", quillpost::testing::login_path,
                          R"({"email": "ann@example.test", "password": "pw"})");
  EXPECT_EQ(ann.status, 200);
  EXPECT_EQ(json::parse(ann.body)["id"], 42);
  auto demo = http_request(service.http_port(), "POST", quillpost::testing::login_path,
                           R"({"email": "demo@quillpost.test", "password": "demo"})");
  EXPECT_EQ(demo.status, 401);
}

TEST(Socket, AuthenticatesByClientKeyAndHandsOutComputerIds) {
  ServiceProcess service;
  TestConnection first(service.socket_port());
  json reply = authenticate(first, demo_key, "OFFICE-PC", "conn-a");
  EXPECT_EQ(reply["event"], "authenticate.response");
  EXPECT_EQ(reply["payload"]["success"], true);
  EXPECT_EQ(reply["payload"]["accountId"], 1);
  const auto computer_id = reply["payload"]["id"].get<std::int64_t>();

  TestConnection again(service.socket_port());
  EXPECT_EQ(authenticate(again, demo_key, "OFFICE-PC", "conn-b")["payload"]["id"], computer_id);
  TestConnection other(service.socket_port());
  EXPECT_NE(authenticate(other, demo_key, "OTHER-PC", "conn-c")["payload"]["id"], computer_id);

  json state = service.state();
  // conn-b is the same installation (one instance id) connecting again: it
  // replaces conn-a, which it takes for dead.
  ASSERT_EQ(state["connections"].size(), 2u);
  EXPECT_EQ(state["connections"][0]["authenticated"], true);
  EXPECT_EQ(state["connections"][0]["connectionId"], "conn-b");
  EXPECT_EQ(state["counts"]["authentications"], 3);
  const json& last = state["lastAuthenticate"];
  EXPECT_EQ(last["message"]["clientKey"], "***");
  EXPECT_EQ(last["keys"].size(), 12u);
  EXPECT_TRUE(service.wait_for_output(
      "authenticated account 1 (demo@quillpost.test), computer 'OFFICE-PC'"));
  EXPECT_FALSE(output_mentions(service, demo_key)) << "client keys never reach the log";
}

TEST(Socket, RefusesUnknownKeysAndIncompleteMessages) {
  ServiceProcess service;
  TestConnection unknown(service.socket_port());
  json reply = authenticate(unknown, "not-a-key");
  EXPECT_EQ(reply["payload"], (json{{"success", false}, {"errorMessage", "Invalid client key."}}));

  TestConnection incomplete(service.socket_port());
  ASSERT_TRUE(incomplete.read_frame());
  json message = test::authenticate_message(demo_key);
  message.erase("hostname");
  message.erase("edition");
  incomplete.send("authenticate", message);
  auto answer = incomplete.read_frame();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["payload"]["success"], false);
  EXPECT_EQ((*answer)["payload"]["errorMessage"],
            "The authenticate message lacks: hostname, edition.");
  EXPECT_FALSE(output_mentions(service, "not-a-key"));
}

TEST(Socket, AnswersHeartbeatsUnlessTold) {
  ServiceProcess service;
  TestConnection connection(service.socket_port());
  ASSERT_TRUE(connection.read_frame());
  connection.send("heartbeat", json::array());
  auto answer = connection.read_frame();
  ASSERT_TRUE(answer) << "heartbeats are answered before authentication too";
  EXPECT_EQ(*answer, (json{{"event", "heartbeat"}, {"payload", json::array()}}));

  service.set_fault("heartbeat", "ignore");
  connection.send("heartbeat", json::array());
  EXPECT_FALSE(connection.read_frame(300ms));
  EXPECT_TRUE(
      service.wait_for_state([](const json& s) { return s["connections"][0]["heartbeats"] == 2; }));
}

TEST(Socket, PushesMessagesToAuthenticatedClients) {
  ServiceProcess service;
  TestConnection ready(service.socket_port());
  ASSERT_EQ(authenticate(ready, demo_key, "PC", "conn-ready")["payload"]["success"], true);
  TestConnection waiting(service.socket_port());
  ASSERT_TRUE(waiting.read_frame());

  EXPECT_EQ(service.push(json{
                {"event", "printjob"}, {"payload", {{"id", 7}}}, {"count", 3}, {"intervalMs", 5}}),
            1);
  for (int i = 0; i < 3; ++i) {
    auto frame = ready.read_frame();
    ASSERT_TRUE(frame) << i;
    EXPECT_EQ(*frame, (json{{"event", "printjob"}, {"payload", {{"id", 7}}}}));
  }
  EXPECT_FALSE(waiting.read_frame(200ms)) << "nothing for a connection that has not authenticated";

  EXPECT_EQ(service.push(json{{"event", "notice"}, {"payload", 1}, {"to", "all"}}), 2);
  EXPECT_EQ((*waiting.read_frame())["event"], "notice");
  EXPECT_EQ(service.push(json{{"event", "only"}, {"payload", 2}, {"connectionId", "conn-ready"}}),
            1);
  EXPECT_EQ((*ready.read_non_heartbeat())["event"], "notice");
  EXPECT_EQ((*ready.read_non_heartbeat())["event"], "only");
}

TEST(Socket, PushesOnAuthenticationWhenStartedSo) {
  ServiceProcess service({"--push-count", "3", "--push-interval-ms", "1", "--push-event", "tick"});
  TestConnection connection(service.socket_port());
  ASSERT_EQ(authenticate(connection, demo_key)["payload"]["success"], true);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(connection.read_frame(), (json{{"event", "tick"}, {"payload", {{"seq", i}}}}));
  }
}

TEST(Socket, AuthFaultsChangeTheAnswer) {
  struct Case {
    const char* fault;
    json expected;  // the whole frame; null: checked below
  };
  const Case cases[] = {
      {"fail", json{{"event", "authenticate.response"},
                    {"payload",
                     {{"success", false},
                      {"errorMessage", "Authentication refused by the test service."}}}}},
      {"rejected",
       json{{"event", "rejected"},
            {"payload",
             {{"retryAfter", 4}, {"message", "Connection rejected by the test service."}}}}},
      {"rejected-destroy", json{{"event", "rejected"},
                                {"payload",
                                 {{"retryAfter", 4},
                                  {"message", "Connection rejected by the test service."},
                                  {"destroyClientKey", true}}}}},
      {"rejected-bare", json{{"event", "rejected"}, {"payload", json::object()}}},
      {"rejected-destroy-bare",
       json{{"event", "rejected"}, {"payload", {{"destroyClientKey", true}}}}},
      {"error",
       json{{"event", "error"}, {"payload", {{"message", "Server error from the test service."}}}}},
      {"oversized", nullptr},
      {"malformed", nullptr},
  };
  ServiceProcess service({"--fault", "retry-after=4"});
  for (const Case& c : cases) {
    service.set_fault("auth", c.fault);
    TestConnection connection(service.socket_port());
    ASSERT_TRUE(connection.read_frame()) << c.fault;
    connection.send("authenticate", test::authenticate_message(demo_key));
    auto line = connection.read_line();
    ASSERT_TRUE(line) << c.fault;
    if (!c.expected.is_null()) {
      EXPECT_EQ(json::parse(*line), c.expected) << c.fault;
    } else if (std::string(c.fault) == "oversized") {
      EXPECT_GT(line->size(), max_frame_bytes);
    } else {
      EXPECT_TRUE(json::parse(*line, nullptr, false).is_discarded()) << *line;
    }
  }
  EXPECT_EQ(service.state()["counts"]["authentications"], 0);
}

TEST(Socket, RunTimeFramesOfAnyKind) {
  ServiceProcess service;
  TestConnection connection(service.socket_port());
  ASSERT_EQ(authenticate(connection, demo_key)["payload"]["success"], true);
  service.push(json{{"event", "error"}, {"payload", {{"message", "going down"}}}});
  EXPECT_EQ(connection.read_frame(),
            (json{{"event", "error"}, {"payload", {{"message", "going down"}}}}));
  service.push(json{{"raw", "no json here"}});
  EXPECT_EQ(connection.read_line(), "no json here");
  service.push(json{{"oversized", true}});
  auto big = connection.read_line();
  ASSERT_TRUE(big);
  EXPECT_GT(big->size(), max_frame_bytes);
  EXPECT_THROW(service.push(json{{"event", "x"}, {"payload", std::string(max_frame_bytes, 'y')}}),
               std::runtime_error)
      << "an ordinary push never goes over the limit";
}

TEST(Socket, SilentFaultAcceptsAndSaysNothing) {
  ServiceProcess service({"--fault", "socket=silent"});
  TestConnection connection(service.socket_port());
  EXPECT_FALSE(connection.read_frame(300ms));
  connection.send("heartbeat", json::array());
  connection.send("authenticate", test::authenticate_message(demo_key));
  EXPECT_FALSE(connection.read_frame(300ms));
  EXPECT_FALSE(connection.closed());
}

TEST(Socket, DropEndsEveryConnection) {
  ServiceProcess service;
  TestConnection a(service.socket_port());
  TestConnection b(service.socket_port());
  ASSERT_TRUE(a.read_frame());
  ASSERT_TRUE(b.read_frame());
  EXPECT_EQ(service.drop_connections(), 2);
  EXPECT_FALSE(a.read_frame());
  EXPECT_TRUE(a.closed());
  EXPECT_FALSE(b.read_frame());
  EXPECT_TRUE(b.closed());
  EXPECT_TRUE(service.state()["connections"].empty());
  EXPECT_TRUE(service.wait_for_output("closed (dropped by control request): frames in 0, out 1"));
}

TEST(Socket, ProtocolErrorsFromTheClientEndTheConnection) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"not JSON", "hello\n", "protocol error: frame is not valid JSON"},
      {"not an object", "[]\n", "protocol error: frame is not a JSON object"},
      {"no event", "{\"payload\":1}\n", "protocol error: frame has no text \"event\""},
      {"over 1 MiB without a line feed", std::string(max_frame_bytes + 1, ' '),
       "protocol error: frame longer than 1048576 bytes"},
  };
  ServiceProcess service;
  for (const Case& c : cases) {
    TestConnection connection(service.socket_port());
    ASSERT_TRUE(connection.read_frame()) << c.name;
    connection.send_raw(c.bytes);
    auto frame = connection.read_frame();
    ASSERT_TRUE(frame) << c.name;
    EXPECT_EQ(*frame, (json{{"event", "error"}, {"payload", {{"message", c.message}}}})) << c.name;
    EXPECT_FALSE(connection.read_frame()) << c.name;
    EXPECT_TRUE(connection.closed()) << c.name;
  }
}

TEST(Socket, IdleTimeoutClosesSilentClients) {
  ServiceProcess service({"--idle-timeout", "0.2"});
  TestConnection connection(service.socket_port());
  ASSERT_TRUE(connection.read_frame());
  EXPECT_FALSE(connection.read_frame(3s));
  EXPECT_TRUE(connection.closed());
}

class Tls : public ::testing::Test {
 protected:
  quillpost::testing::TempDir dir_;
  quillpost::testing::TestPki pki_ = quillpost::testing::make_test_pki(dir_.path());
};

TEST_F(Tls, DiscoveryLoginAndSocketVerifyAgainstTheCa) {
  ServiceProcess service(ServiceProcess::tls_args(pki_));
  ASSERT_GT(service.https_port(), 0);
  EXPECT_TRUE(service.socket_tls());
  for (const char* host : {"127.0.0.1", "localhost"}) {
    test::TlsSettings tls{pki_.ca_cert.string(), host, true};
    auto discovery = test::https_request(service.https_port(), tls, "GET", discovery_target());
    ASSERT_EQ(discovery.status, 200) << host;
    EXPECT_EQ(json::parse(discovery.body)["tls"], true);
    auto login =
        test::https_request(service.https_port(), tls, "POST", quillpost::testing::login_path,
                            R"({"email": "demo@quillpost.test", "password": "demo"})");
    EXPECT_EQ(login.status, 200) << host;
    TestConnection socket(service.socket_port(), tls);
    EXPECT_EQ(authenticate(socket, demo_key)["payload"]["success"], true) << host;
    socket.send("heartbeat", json::array());
    EXPECT_EQ((*socket.read_frame())["event"], "heartbeat");
  }
  EXPECT_EQ(http_request(service.http_port(), "GET", discovery_target()).status, 200)
      << "plain HTTP stays";
}

TEST_F(Tls, VerificationFailsForWrongHostOrUnknownCa) {
  ServiceProcess wrong_host(ServiceProcess::tls_args(pki_, true));
  auto attempt = [](int port, test::TlsSettings tls) {
    try {
      TestConnection connection(port, tls);
      return std::string("connected");
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
  };
  EXPECT_THAT(attempt(wrong_host.socket_port(), {pki_.ca_cert.string(), "127.0.0.1", true}),
              HasSubstr("TLS handshake"));
  EXPECT_THAT(attempt(wrong_host.https_port(), {pki_.ca_cert.string(), "localhost", true}),
              HasSubstr("TLS handshake"));
  EXPECT_EQ(attempt(wrong_host.socket_port(), {pki_.ca_cert.string(), "wrong-host.invalid", true}),
            "connected");
  EXPECT_EQ(attempt(wrong_host.socket_port(), {"", "127.0.0.1", false}), "connected")
      << "with verification off anything goes";

  ServiceProcess good(ServiceProcess::tls_args(pki_));
  EXPECT_THAT(attempt(good.socket_port(), {pki_.other_ca_cert.string(), "127.0.0.1", true}),
              HasSubstr("TLS handshake"));
  EXPECT_THAT(attempt(good.socket_port(), {"", "127.0.0.1", false}), Not(HasSubstr("TLS")));
}

TEST_F(Tls, PlainClientOnTlsSocketGetsNoFrames) {
  ServiceProcess service(ServiceProcess::tls_args(pki_));
  TestConnection plain(service.socket_port());
  plain.send_raw("{\"event\":\"heartbeat\",\"payload\":[]}\n");
  EXPECT_FALSE(plain.read_frame(2s));
}

TEST(Lifecycle, StartFailuresAreReportedWithTheReason) {
  ServiceProcess first;
  try {
    ServiceProcess second({"--socket-port", std::to_string(first.socket_port())});
    ADD_FAILURE() << "a second service bound the same port";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("cannot listen for the socket on 127.0.0.1:"));
  }
  quillpost::testing::TempDir dir;
  EXPECT_THAT(
      [&] {
        ServiceProcess bad({"--cert", (dir / "none.pem").string(), "--key", "k"});
      },
      ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("cannot load certificate")));
  EXPECT_THAT([] { ServiceProcess bad({"--bogus"}); },
              ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("unknown option '--bogus'")));
}

TEST(Lifecycle, RestartsOnTheSamePortsAfterACrash) {
  ServiceProcess first;
  TestConnection connection(first.socket_port());
  ASSERT_TRUE(connection.read_frame());
  EXPECT_EQ(first.kill(), 128 + SIGKILL);
  EXPECT_FALSE(connection.read_frame());
  EXPECT_TRUE(connection.closed());

  ServiceProcess second(first.same_ports_args());
  EXPECT_EQ(second.socket_port(), first.socket_port());
  EXPECT_EQ(second.http_port(), first.http_port());
  TestConnection again(second.socket_port());
  EXPECT_EQ(authenticate(again, demo_key)["payload"]["success"], true);
}

TEST(Lifecycle, StopsCleanlyOnSigterm) {
  ServiceProcess service;
  TestConnection connection(service.socket_port());
  ASSERT_TRUE(connection.read_frame());
  EXPECT_EQ(service.stop(), 0);
  EXPECT_TRUE(output_mentions(service, "stopping on signal 15"));
  EXPECT_EQ(http_request(service.http_port(), "GET", discovery_target(), "", 500ms).status, 0);
}

}  // namespace
}  // namespace quillpost::service
