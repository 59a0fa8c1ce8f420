#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "quillpost/host/comms/defs.h"
#include "quillpost/host/runtime/comms/priority_queues.h"
#include "quillpost/host/runtime/comms/protocol_log_writer.h"
#include "quillpost/host/runtime/comms/service_discovery.h"
#include "quillpost/host/runtime/comms/url.h"
#include "quillpost/host/runtime/comms/wire.h"

namespace quillpost::comms {
namespace {

using namespace std::chrono_literals;

TEST(Defs, MsSinceAndWaits) {
  EXPECT_EQ(ms_since(10.0, 11.5), 1500);
  EXPECT_EQ(ms_since(10.0, 10.0004), 0);
  EXPECT_GE(ms_since(monotonic() - 0.05), 50);
  for (double wait :
       {0.0, 3.0, ReconnectTimings::SERVER_ERROR, ReconnectTimings::REJECTED_MSG_MIN_RECONNECT_TIME,
        ReconnectTimings::UNABLE_TO_CONNECT,
        ReconnectTimings::UNABLE_TO_CONNECT_SERVICE_DISCOVERY}) {
    EXPECT_NE(wait, ReconnectTimings::DONT_RECONNECT);
  }
  EXPECT_EQ(kind_name(State{ServiceDiscovery{}}), "ServiceDiscovery");
  EXPECT_EQ(kind_name(State{Handshaked{}}), "Handshaked");
}

TEST(SendQueue, UrgentFirstThenArrivalOrder) {
  ServerSendQueue q;
  q.add({"a", 1});
  q.add({"heartbeat", nlohmann::json::array()});
  q.add({"b", 2});
  q.add({"authenticate", 3});
  std::vector<std::string> order;
  while (auto m = q.get(0ms)) order.push_back(m->msg);
  EXPECT_EQ(order, (std::vector<std::string>{"heartbeat", "authenticate", "a", "b"}));
}

TEST(SendQueue, ShutdownWakesTheWriterAndRefusesLaterAdds) {
  auto q = make_server_send_queue();
  std::thread closer([&] {
    std::this_thread::sleep_for(20ms);
    q->shutdown("gone");
    q->shutdown("again");
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(q->get(5s));
  closer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(q->add({"x", nullptr}), ServerSendQueue::AddResult::shut_down);
  EXPECT_EQ(q->shutdown_reason(), "gone");
}

TEST(SendQueue, RefusesWhatGoesBeyondItsCapacity) {
  ServerSendQueue q(2);
  EXPECT_EQ(q.add({"a", 1}), ServerSendQueue::AddResult::queued);
  EXPECT_EQ(q.add({"heartbeat", nlohmann::json::array()}), ServerSendQueue::AddResult::queued);
  // Urgent or not, a full queue takes nothing more until the writer takes one.
  EXPECT_EQ(q.add({"authenticate", 3}), ServerSendQueue::AddResult::full);
  ASSERT_TRUE(q.get(0ms));
  EXPECT_EQ(q.add({"b", 2}), ServerSendQueue::AddResult::queued);
  EXPECT_EQ(q.size(), 2u);
}

TEST(ProtocolLog, WritesOneLinePerFrameWithDirection) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("qp-protocol-" + std::to_string(::getpid()) + ".log");
  {
    ProtocolLogWriter log(path);
    log.write(Direction::in, "c1", R"({"event":"a","payload":1})");
    log.write(Direction::out, "c1", R"({"event":"b","payload":2})");
  }
  std::ifstream in(path);
  std::string first, second;
  std::getline(in, first);
  std::getline(in, second);
  std::filesystem::remove(path);
  EXPECT_NE(first.find(" c-c1 <- {\"event\":\"a\""), std::string::npos) << first;
  EXPECT_NE(second.find(" c-c1 -> {\"event\":\"b\""), std::string::npos) << second;
  EXPECT_EQ(first.size() > 20 && first[4] == '-' && first[10] == 'T', true) << first;
}

TEST(ProtocolLog, UnopenableFileIsAnOsError) {
  try {
    ProtocolLogWriter log("/nonexistent-dir/protocol.log");
    FAIL() << "opened";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
  }
  noop_protocol_log_writer()->write(Direction::in, "c", "x");  // records nothing, never fails
}

TEST(DiscoveryAnswer, WellFormedAndMalformedAnswers) {
  auto ok = parse_service_discovery_answer(
      R"({"address":"h","port":1,"version":2,"heartbeat":{"interval":0,"timeout":null}})", "id");
  EXPECT_EQ(ok.address, "h");
  EXPECT_EQ(ok.version, "2");
  EXPECT_EQ(ok.heartbeat.interval, 0.0);
  EXPECT_FALSE(ok.heartbeat.timeout);
  EXPECT_FALSE(ok.tls);
  EXPECT_EQ(ok.connection_id, "id");
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"", "not JSON"},
      {"[]", "not a JSON object"},
      {R"({"port":1})", "no address"},
      {R"({"address":"h"})", "port is not an integer"},
      {R"({"address":"h","port":70000})", "out of range"},
      {R"({"address":"h","port":"80"})", "port is not an integer"},
      {R"({"address":"h","port":1,"heartbeat":{"interval":"x"}})", "not a number"},
      {R"({"address":"h","port":1,"heartbeat":{"timeout":-1}})", "out of range"},
      {R"({"address":"h","port":1,"tls":"yes"})", "tls is not a boolean"},
  };
  for (const auto& [body, expected] : bad) {
    try {
      parse_service_discovery_answer(body, "id");
      ADD_FAILURE() << "accepted " << body;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
}

TEST(DiscoveryAnswer, HeartbeatTimesAreBroughtWithinTheirBounds) {
  struct Row {
    const char* heartbeat;
    std::optional<double> interval, timeout;
  };
  const Row rows[] = {
      {R"({"interval":30,"timeout":90.5})", 30.0, 90.5},
      {R"({"interval":0,"timeout":0})", 0.0, 0.0},  // 0 keeps its meaning: none
      {R"({"interval":1e-9,"timeout":1e-9})", 1.0, 1.0},
      {R"({"interval":1e12,"timeout":1e300})", 86400.0, 86400.0},
      {R"({"interval":18446744073709551615})", 86400.0, std::nullopt},
  };
  for (const auto& row : rows) {
    const auto answer = parse_service_discovery_answer(
        std::string(R"({"address":"h","port":1,"heartbeat":)") + row.heartbeat + "}", "id");
    EXPECT_EQ(answer.heartbeat.interval, row.interval) << row.heartbeat;
    EXPECT_EQ(answer.heartbeat.timeout, row.timeout) << row.heartbeat;
  }
  // A number too large for a double reads as infinity: refused like a negative one.
  EXPECT_THROW(parse_service_discovery_answer(
                   R"({"address":"h","port":1,"heartbeat":{"interval":1e999}})", "id"),
               std::runtime_error);
}

TEST(Urls, DiscoverUrlCarriesContextAndParamsEncoded) {
  UrlFactory factory("https://svc.example:8443/api/", {"0.1.0", "community", "PC 1", "w", "i"});
  ParamMap params;
  params.set("a&b", "c=d");
  EXPECT_EQ(factory.get("discover", 0, params),
            "https://svc.example:8443/api/v1/discover?version=0.1.0&edition=community&"
            "computer_name=PC%201&world_id=w&instance_id=i&a%26b=c%3Dd");
  EXPECT_EQ(factory.url("login", {}), "https://svc.example:8443/api/v1/login");
  EXPECT_THROW(factory.url("nothing", {}), std::invalid_argument);
  EXPECT_THROW(UrlFactory("ftp://x", {}), std::invalid_argument);
  EXPECT_EQ(request_headers(BuildInfo{"1.2.3", "pro", false, "", {}, {}}),
            (RequestHeaders{{"User-Agent", "QuillPost/1.2.3 (pro)"}}));
  EXPECT_FALSE(default_service_url().empty());
}

TEST(Frames, EncodingIsCompactAndSurvivesBadUtf8) {
  EXPECT_EQ(encode_frame("heartbeat", nlohmann::json::array()),
            R"({"event":"heartbeat","payload":[]})");
  const std::string frame = encode_frame("x", std::string("bad \xff byte"));
  EXPECT_EQ(frame.find('\n'), std::string::npos);
  EXPECT_NE(frame.find("bad"), std::string::npos);
}

}  // namespace
}  // namespace quillpost::comms
