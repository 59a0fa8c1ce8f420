// The accounts, the fault knobs and the command line of the service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "service/accounts.h"
#include "service/faults.h"
#include "service/options.h"
#include "support/temp_dir.h"

namespace quillpost::service {
namespace {

using ::testing::HasSubstr;

AccountStore two_accounts() {
  AccountStore store;
  store.add(demo_account());
  store.add_json(nlohmann::json::parse(R"({"accounts": [
      {"id": 7, "email": "Ann@Example.test", "password": "pw7", "clientKey": "key-7", "computers": {"DESK": 2000}}]})"));
  return store;
}

TEST(AccountStore, LogsInByEmailWithoutCaseAndExactPassword) {
  AccountStore store = two_accounts();
  struct Case {
    const char* email;
    const char* password;
    std::int64_t id;  // 0: refused
  };
  for (const Case& c : {Case{"ann@example.test", "pw7", 7}, Case{"ANN@EXAMPLE.TEST", "pw7", 7},
                        Case{"ann@example.test", "PW7", 0}, Case{"ann@example.test", "pw", 0},
                        Case{"ann@example.test", "", 0}, Case{"nobody@example.test", "pw7", 0},
                        Case{"demo@quillpost.test", "demo", 1}}) {
    const Account* account = store.login(c.email, c.password);
    EXPECT_EQ(account ? account->id : 0, c.id) << c.email << " / " << c.password;
  }
}

TEST(AccountStore, FindsByExactClientKeyOnly) {
  AccountStore store = two_accounts();
  ASSERT_NE(store.find_by_client_key("key-7"), nullptr);
  EXPECT_EQ(store.find_by_client_key("key-7")->id, 7);
  EXPECT_EQ(store.find_by_client_key("KEY-7"), nullptr);
  EXPECT_EQ(store.find_by_client_key("key-"), nullptr);
  EXPECT_EQ(store.find_by_client_key(""), nullptr);
}

TEST(AccountStore, HandsOutStableUniqueComputerIds) {
  AccountStore store = two_accounts();
  EXPECT_EQ(store.computer_id(7, "DESK"), 2000) << "a computer of the file keeps its id";
  const auto laptop = store.computer_id(7, "LAPTOP");
  EXPECT_GT(laptop, 2000) << "new ids never collide with known ones";
  EXPECT_EQ(store.computer_id(7, "LAPTOP"), laptop);
  const auto demo_laptop = store.computer_id(1, "LAPTOP");
  EXPECT_NE(demo_laptop, laptop) << "the same name on another account is another computer";
}

TEST(AccountStore, RefusesBadDocuments) {
  struct Case {
    const char* document;
    const char* message;
  };
  const Case cases[] = {
      {R"([])", "\"accounts\" list"},
      {R"({"accounts": [1]})", "accounts[0] is not an object"},
      {R"({"accounts": [{"email": "a@b", "password": "p", "clientKey": "k"}]})", "integer \"id\""},
      {R"({"accounts": [{"id": 2, "password": "p", "clientKey": "k"}]})", "text \"email\""},
      {R"({"accounts": [{"id": 2, "email": "a@b", "password": "", "clientKey": "k"}]})",
       "must not be empty"},
      {R"({"accounts": [{"id": 1, "email": "a@b", "password": "p", "clientKey": "k"}]})",
       "id 1 is used twice"},
      {R"({"accounts": [{"id": 2, "email": "DEMO@quillpost.test", "password": "p", "clientKey": "k"}]})",
       "used twice"},
      {R"({"accounts": [{"id": 2, "email": "a@b", "password": "p", "clientKey": "demo-client-key"}]})",
       "share a client key"},
      {R"({"accounts": [{"id": 2, "email": "a@b", "password": "p", "clientKey": "k", "computers": {"X": "1"}}]})",
       "not an integer"},
  };
  for (const Case& c : cases) {
    AccountStore store;
    store.add(demo_account());
    try {
      store.add_json(nlohmann::json::parse(c.document));
      ADD_FAILURE() << "accepted " << c.document;
    } catch (const std::invalid_argument& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message)) << c.document;
    }
  }
}

TEST(AccountStore, ReadsAFileAndNamesItInErrors) {
  quillpost::testing::TempDir dir;
  std::ofstream(dir / "good.json")
      << R"({"accounts": [{"id": 9, "email": "z@z", "password": "p", "clientKey": "k9"}]})";
  std::ofstream(dir / "bad.json") << "{not json";
  AccountStore store;
  store.add_file(dir / "good.json");
  EXPECT_EQ(store.size(), 1u);
  EXPECT_THAT(
      [&] { store.add_file(dir / "bad.json"); },
      ::testing::ThrowsMessage<std::invalid_argument>(HasSubstr("bad.json is not valid JSON")));
  EXPECT_THAT(
      [&] { store.add_file(dir / "missing.json"); },
      ::testing::ThrowsMessage<std::invalid_argument>(HasSubstr("cannot read accounts file")));
}

TEST(Faults, AcceptsOnlyKnownKnobsAndValues) {
  struct Case {
    const char* knob;
    const char* value;
    const char* error;  // substring; empty: accepted
  };
  const Case cases[] = {
      {"discovery", "500", ""},
      {"discovery", "closed-port", ""},
      {"discovery", "404", "takes one of"},
      {"socket", "silent", ""},
      {"auth", "rejected-destroy", ""},
      {"auth", "explode", "takes one of"},
      {"heartbeat", "ignore", ""},
      {"retry-after", "2.5", ""},
      {"retry-after", "-1", "number of seconds"},
      {"retry-after", "soon", "number"},
      {"document", "redirect-loop", ""},
      {"document", "slow", "takes one of"},
      {"nonsense", "ok", "unknown fault knob"},
  };
  for (const Case& c : cases) {
    Faults faults;
    std::string error = faults.set(c.knob, c.value);
    if (*c.error == '\0') {
      EXPECT_EQ(error, "") << c.knob << "=" << c.value;
      EXPECT_EQ(faults.get(c.knob), c.value);
    } else {
      EXPECT_THAT(error, HasSubstr(c.error)) << c.knob << "=" << c.value;
    }
  }
}

TEST(Faults, JsonUpdateIsAllOrNothing) {
  Faults faults;
  EXPECT_THAT(faults.set_json(nlohmann::json{{"auth", "error"}, {"socket", "loud"}}),
              HasSubstr("socket"));
  EXPECT_EQ(faults.get("auth"), "ok") << "a refused update changes nothing";
  EXPECT_EQ(faults.set_json(nlohmann::json{{"auth", "error"}, {"retry-after", 3}}), "");
  EXPECT_EQ(faults.get("auth"), "error");
  EXPECT_DOUBLE_EQ(faults.retry_after(), 3);
  EXPECT_THAT(faults.set_assignment("auth"), HasSubstr("knob=value"));
}

TEST(CommandLine, ParsesOptionsInBothForms) {
  auto parsed = parse_command_line({"--http-port=0", "--socket-port", "9000", "--fault",
                                    "auth=rejected", "--heartbeat-interval", "0.5", "--accounts",
                                    "a.json", "--accounts=b.json", "--no-demo-account", "--cert",
                                    "c.pem", "--key", "k.pem", "--socket-tls"});
  ASSERT_EQ(parsed.error, "");
  const ServiceOptions& o = parsed.options;
  EXPECT_EQ(o.http_port, 0);
  EXPECT_EQ(o.socket_port, 9000);
  EXPECT_EQ(o.control_port, default_control_port);
  EXPECT_EQ(o.https_port, default_https_port) << "a certificate turns HTTPS on";
  EXPECT_EQ(o.faults.get("auth"), "rejected");
  EXPECT_DOUBLE_EQ(o.heartbeat_interval, 0.5);
  EXPECT_EQ(o.accounts_files, (std::vector<std::string>{"a.json", "b.json"}));
  EXPECT_FALSE(o.demo_account);
  EXPECT_TRUE(o.socket_tls);
  EXPECT_EQ(parse_command_line({}).options.https_port, -1) << "no certificate, no HTTPS";
}

TEST(CommandLine, RefusesWhatItCannotServe) {
  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const Case cases[] = {
      {{"--http-port", "65536"}, "--http-port: expected a port number"},
      {{"--http-port", "-1"}, "expected a port number"},
      {{"--http-port"}, "--http-port needs a value"},
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"--fault", "socket=loud"}, "--fault: fault knob socket takes one of"},
      {{"--socket-tls"}, "--socket-tls needs --cert and --key"},
      {{"--https-port", "0"}, "--https-port needs --cert and --key"},
      {{"--cert", "c.pem"}, "--cert and --key go together"},
      {{"--heartbeat-interval", "x"}, "expected seconds"},
      {{"--log-frames=yes"}, "--log-frames takes no value"},
  };
  for (const Case& c : cases) {
    EXPECT_THAT(parse_command_line(c.args).error, HasSubstr(c.error))
        << ::testing::PrintToString(c.args);
  }
}

TEST(Target, DecodesPathAndQueryInOrder) {
  auto target =
      parse_target("/v1/discover?version=1.2&computer_name=MY%20PC&extra=a+b&flag&empty=&x=%3D%26");
  ASSERT_TRUE(target);
  EXPECT_EQ(target->path, "/v1/discover");
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(target->query, (Pairs{{"version", "1.2"},
                                  {"computer_name", "MY PC"},
                                  {"extra", "a b"},
                                  {"flag", ""},
                                  {"empty", ""},
                                  {"x", "=&"}}));
  EXPECT_FALSE(parse_target("/v1/discover?x=%4"));
  EXPECT_FALSE(parse_target("/v1/discover?x=%zz"));
  EXPECT_FALSE(parse_target("/v1/dis%"));
  EXPECT_EQ(parse_target("/a+b")->path, "/a+b") << "'+' is a space only in the query";
}

}  // namespace
}  // namespace quillpost::service
