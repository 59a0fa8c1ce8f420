// Printing through quillpost-service run as a process: printer lists, job
// offers and statuses on the socket, cancels, documents with their fault
// knobs, the jobs file across a restart, and the print and jobs commands.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "support/files.h"
#include "support/service_process.h"
#include "support/temp_dir.h"
#include "support/test_pki.h"
#include "test_connection.h"

namespace quillpost::service {
namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;
using quillpost::testing::ServiceProcess;
using quillpost::testing::TempDir;
using test::TestConnection;
using namespace std::chrono_literals;

std::string sha256_hex(const std::string& bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &n, EVP_sha256(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < n; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", md[i]);
    hex += two;
  }
  return hex;
}

// A document over one chunk of the service's reader, of varied bytes.
std::string document_bytes() {
  std::string bytes(300 * 1024, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  return bytes;
}

// Connects as computer `name` of the demo account, as run `instance` of
// installation `world`; returns after the answer.
std::unique_ptr<TestConnection> computer(const ServiceProcess& service, const std::string& name,
                                         std::optional<test::TlsSettings> tls = std::nullopt,
                                         const std::string& world = "world-1",
                                         const std::string& instance = "instance-1") {
  auto connection = std::make_unique<TestConnection>(service.socket_port(), tls);
  EXPECT_EQ((*connection->read_frame())["event"], "authentication");
  json message = test::authenticate_message("demo-client-key", name);
  message["worldUuid"] = world;
  message["instanceUuid"] = instance;
  connection->send("authenticate", message);
  auto answer = connection->read_non_heartbeat();
  EXPECT_TRUE(answer && (*answer)["payload"]["success"] == true) << name;
  return connection;
}

json next_event(TestConnection& connection, const std::string& event) {
  auto frame = connection.read_non_heartbeat();
  EXPECT_TRUE(frame) << "no " << event;
  if (!frame) return nullptr;
  EXPECT_EQ((*frame)["event"], event) << frame->dump();
  return (*frame)["payload"];
}

std::string queue(const ServiceProcess& service, json request) {
  return service.control("POST", "/control/print", request)["jobId"].get<std::string>();
}

json job_of(const ServiceProcess& service, const std::string& id) {
  const json answer = service.control("GET", "/control/jobs?job=" + id);
  EXPECT_LE(answer["jobs"].size(), 1u) << "the list is of the one job asked for";
  for (const json& job : answer["jobs"]) {
    if (job["jobId"] == id) return job;
  }
  return nullptr;
}

struct Fetched {
  int status = 0;
  std::string location;
  std::string body;
};

// GET of a document URL, read until the service closes.
Fetched fetch(const std::string& url, std::optional<test::TlsSettings> tls = std::nullopt,
              std::chrono::milliseconds timeout = 5s) {
  const auto port_at = url.find(':', url.find("//")) + 1;
  const auto path_at = url.find('/', port_at);
  TestConnection connection(std::stoi(url.substr(port_at, path_at - port_at)), tls);
  connection.send_raw("GET " + url.substr(path_at) +
                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  const std::string text = connection.read_all(timeout);
  Fetched fetched;
  const auto header_end = text.find("\r\n\r\n");
  if (text.rfind("HTTP/1.1 ", 0) != 0 || header_end == std::string::npos) return fetched;
  fetched.status = std::stoi(text.substr(9, 3));
  fetched.body = text.substr(header_end + 4);
  if (auto at = text.find("\r\nLocation: "); at != std::string::npos && at < header_end) {
    at += 12;
    fetched.location = text.substr(at, text.find("\r\n", at) - at);
  }
  return fetched;
}

class Printing : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string bytes_ = document_bytes();
  std::string file_ = quillpost::testing::write_file(dir_, "report.pdf", bytes_).string();
  json request(const std::string& computer = "PC") const {
    return json{{"computer", computer}, {"printer", "Desk"}, {"file", file_}};
  }
};

TEST_F(Printing, PrinterListsAreKeptPerComputerAndCheckedFirst) {
  ServiceProcess service;
  auto pc = computer(service, "PC");
  const json desk = json::parse(R"({"name": "Desk", "default": true, "state": "stopped",
      "stateReasons": ["media-empty"], "acceptingJobs": false})");
  pc->send("printers", json{{"printers", {desk}}});
  ASSERT_TRUE(
      service.wait_for_state([](const json& s) { return s["printing"]["computers"].size() == 1; }));
  pc->send("printers", json{{"printers", {{{"name", "Bad"}, {"state", "melting"}}}}});
  EXPECT_TRUE(service.wait_for_output("printers refused: printers[0].state"));

  json computers = service.control("GET", "/control/printers")["computers"];
  ASSERT_EQ(computers.size(), 1u);
  EXPECT_EQ(computers[0]["computer"], "PC");
  EXPECT_EQ(computers[0]["accountId"], 1);
  ASSERT_EQ(computers[0]["printers"].size(), 1u) << "a refused list leaves the last one";
  EXPECT_EQ(computers[0]["printers"][0]["stateReasons"], json::array({"media-empty"}));

  TestConnection stranger(service.socket_port());
  ASSERT_TRUE(stranger.read_frame());
  stranger.send("printers", json{{"printers", json::array()}});
  EXPECT_TRUE(service.wait_for_output("ignores 'printers' before authentication"));
}

TEST_F(Printing, AJobIsOfferedAtOnceAndItsDocumentServedByToken) {
  ServiceProcess service;
  auto pc = computer(service, "PC");
  auto other = computer(service, "OTHER");
  json body = request();
  body["copies"] = 2;
  body["options"] = {{"sides", "two-sided-long-edge"}};
  const std::string id = queue(service, body);

  json offer = next_event(*pc, "print");
  EXPECT_EQ(offer["jobId"], id);
  EXPECT_EQ(offer["printer"], "Desk");
  EXPECT_EQ(offer["title"], "report.pdf");
  EXPECT_EQ(offer["contentType"], "application/pdf");
  EXPECT_EQ(offer["size"], bytes_.size());
  EXPECT_EQ(offer["sha256"], sha256_hex(bytes_));
  EXPECT_EQ(offer["copies"], 2);
  EXPECT_EQ(offer["options"], (json{{"sides", "two-sided-long-edge"}}));
  const std::string url = offer["url"];
  EXPECT_EQ(url.rfind(service.base_url() + "/v1/documents/" + id + "?token=", 0), 0u) << url;
  EXPECT_FALSE(other->read_non_heartbeat(300ms)) << "another computer gets nothing";

  Fetched document = fetch(url);
  EXPECT_EQ(document.status, 200);
  EXPECT_TRUE(document.body == bytes_) << "exact bytes";
  const std::string token = url.substr(url.find("token=") + 6);
  for (const std::string& bad :
       {url.substr(0, url.size() - 1) + (url.back() == '0' ? "1" : "0"),
        url.substr(0, url.find('?')), service.base_url() + "/v1/documents/j-9-0?token=" + token}) {
    EXPECT_EQ(fetch(bad).status, 404) << "wrong token, no token, unknown job";
  }
  for (const auto& line : service.output()) {
    EXPECT_EQ(line.find(token), std::string::npos) << "the token is never logged: " << line;
  }

  struct Refused {
    json body;
    const char* message;
  };
  auto with = [this](const char* key, const std::string& value) {
    json refused = request();
    refused[key] = value;
    return refused;
  };
  for (const Refused& r : {Refused{with("file", (dir_ / "none").string()), "cannot open"},
                           Refused{with("account", "who@x"), "No account"}}) {
    auto reply = quillpost::testing::http_request(service.control_port(), "POST", "/control/print",
                                                  r.body.dump());
    EXPECT_EQ(reply.status, 400);
    EXPECT_THAT(reply.body, HasSubstr(r.message));
  }
}

TEST_F(Printing, OpenJobsAreOfferedAfterEveryHandshakeUntilTheyEnd) {
  ServiceProcess service;
  const std::string id = queue(service, request());
  {
    auto pc = computer(service, "PC");
    EXPECT_EQ(next_event(*pc, "print")["jobId"], id) << "queued while away, offered on arrival";
    pc->send("print.status", json{{"jobId", id}, {"state", "received"}});
    pc->send("print.status", json{{"jobId", "j-77-0"}, {"state", "printing"}});
    EXPECT_TRUE(service.wait_for_output("print.status for unknown job j-77-0 ignored"));
    auto other = computer(service, "OTHER");
    other->send("print.status", json{{"jobId", id}, {"state", "failed"}});
    EXPECT_TRUE(service.wait_for_output("print.status for unknown job " + id + " ignored"))
        << "a computer cannot touch another's job";
  }
  auto again = computer(service, "PC");
  EXPECT_EQ(next_event(*again, "print")["jobId"], id) << "not final: offered again";
  again->send("print.status", json{{"jobId", id}, {"state", "printing"}, {"printerJobId", 42}});
  again->send("print.status", json{{"jobId", id}, {"state", "completed"}, {"printerJobId", 42}});
  ASSERT_TRUE(service.wait_for_state(
      [](const json& s) { return s["printing"]["jobs"]["states"].contains("completed"); }));

  auto last = computer(service, "PC");
  EXPECT_FALSE(last->read_non_heartbeat(300ms)) << "a completed job is not offered again";
  json job = job_of(service, id);
  EXPECT_EQ(job["state"], "completed");
  EXPECT_EQ(job["printerJobId"], 42);
  std::vector<std::string> states;
  for (const json& entry : job["history"]) states.push_back(entry["state"]);
  EXPECT_EQ(states, (std::vector<std::string>{"queued", "received", "printing", "completed"}));
  EXPECT_EQ(job["offers"], 2);
}

TEST_F(Printing, CancelReachesTheComputerNowAndAfterItsNextHandshake) {
  ServiceProcess service;
  const std::string never = queue(service, request());
  EXPECT_EQ(service.control("POST", "/control/cancel", json{{"jobId", never}})["state"],
            "cancelled")
      << "never offered: ends at once";

  auto pc = computer(service, "PC");
  const std::string id = queue(service, request());
  EXPECT_EQ(next_event(*pc, "print")["jobId"], id);
  EXPECT_EQ(service.control("POST", "/control/cancel", json{{"jobId", id}})["sent"], 1);
  EXPECT_EQ(next_event(*pc, "print.cancel"), (json{{"jobId", id}}));
  pc.reset();

  auto back = computer(service, "PC");
  EXPECT_EQ(next_event(*back, "print")["jobId"], id);
  EXPECT_EQ(next_event(*back, "print.cancel"), (json{{"jobId", id}}));
  back->send("print.status", json{{"jobId", id}, {"state", "cancelled"}});
  ASSERT_TRUE(service.wait_for_output("job " + id + " cancelled"));

  struct Case {
    std::string id;
    int status;
  };
  for (const Case& c : {Case{id, 409}, Case{"j-404-0", 404}}) {
    EXPECT_EQ(quillpost::testing::http_request(service.control_port(), "POST", "/control/cancel",
                                               json{{"jobId", c.id}}.dump())
                  .status,
              c.status)
        << c.id;
  }
}

TEST_F(Printing, DocumentFaultKnobsBreakTheDownloadAsTold) {
  ServiceProcess service;
  auto pc = computer(service, "PC");
  queue(service, request());
  const std::string url = next_event(*pc, "print")["url"];
  struct Case {
    const char* fault;
    int status;
    std::size_t size;  // of the body; 0: not checked
    bool exact;        // the body is the document
  };
  const Case cases[] = {
      {"ok", 200, bytes_.size(), true},
      {"404", 404, 0, false},
      {"500", 500, 0, false},
      {"corrupt", 200, bytes_.size(), false},
      {"truncated", 200, bytes_.size() / 2, false},
      {"hang", 0, 0, false},
  };
  for (const Case& c : cases) {
    service.set_fault("document", c.fault);
    Fetched got = fetch(url, std::nullopt, std::string(c.fault) == "hang" ? 300ms : 5s);
    EXPECT_EQ(got.status, c.status) << c.fault;
    if (c.size != 0) {
      EXPECT_EQ(got.body.size(), c.size) << c.fault;
    }
    EXPECT_EQ(got.body == bytes_, c.exact) << c.fault;
  }

  service.set_fault("document", "redirect");
  Fetched moved = fetch(url);
  EXPECT_EQ(moved.status, 302);
  EXPECT_EQ(moved.location, url + "&redirected=1");
  EXPECT_TRUE(fetch(moved.location).body == bytes_) << "one redirect, then the document";

  service.set_fault("document", "redirect-loop");
  Fetched loop = fetch(url);
  EXPECT_EQ(loop.status, 302);
  EXPECT_EQ(loop.location, url);
  EXPECT_EQ(fetch(loop.location).location, url) << "forever";
}

TEST_F(Printing, DocumentsGoOverHttpsWhenTheServiceHasACertificate) {
  auto pki = quillpost::testing::make_test_pki(dir_.path());
  ServiceProcess service(ServiceProcess::tls_args(pki));
  test::TlsSettings tls{pki.ca_cert.string(), "127.0.0.1", true};
  auto pc = computer(service, "PC", tls);
  queue(service, request());
  const std::string url = next_event(*pc, "print")["url"];
  EXPECT_EQ(url.rfind(service.https_base_url() + "/v1/documents/", 0), 0u) << url;
  EXPECT_TRUE(fetch(url, tls).body == bytes_);
}

TEST_F(Printing, TheJobsFileCarriesJobsAndPrintersAcrossARestart) {
  const std::string jobs_file = (dir_ / "jobs.json").string();
  auto first = std::make_unique<ServiceProcess>(std::vector<std::string>{"--jobs-file", jobs_file});
  std::string id;
  std::string url;
  {
    auto pc = computer(*first, "PC");
    pc->send(
        "printers",
        json{
            {"printers",
             {{{"name", "Desk"}, {"default", true}, {"state", "idle"}, {"acceptingJobs", true}}}}});
    id = queue(*first, request());
    url = next_event(*pc, "print")["url"];
    pc->send("print.status", json{{"jobId", id}, {"state", "printing"}, {"printerJobId", 5}});
    ASSERT_TRUE(first->wait_for_output("job " + id + " printing"));
  }
  EXPECT_EQ(std::filesystem::status(jobs_file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
      << "the file holds the tokens";
  first->kill();

  ServiceProcess second([&] {
    auto args = first->same_ports_args();
    args.insert(args.end(), {"--jobs-file", jobs_file});
    return args;
  }());
  json jobs = second.control("GET", "/control/jobs")["jobs"];
  ASSERT_EQ(jobs.size(), 1u) << "neither lost nor doubled";
  EXPECT_EQ(jobs[0]["jobId"], id);
  EXPECT_EQ(jobs[0]["state"], "printing");
  EXPECT_EQ(second.control("GET", "/control/printers")["computers"][0]["printers"][0]["name"],
            "Desk");
  auto pc = computer(second, "PC");
  EXPECT_EQ(next_event(*pc, "print")["url"], url) << "the same job, the same token";
  EXPECT_TRUE(fetch(url).body == bytes_);
  EXPECT_NE(queue(second, request()), id);

  quillpost::testing::write_file(dir_, "broken.json", "{\"version\": 1, \"jobs\": ");
  EXPECT_THAT(
      [&] {
        ServiceProcess bad({"--jobs-file", (dir_ / "broken.json").string()});
      },
      ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("is not valid JSON")));
}

std::pair<int, std::string> run_service(const std::string& args);

// Two installations with one computer name (a cloned machine): a job is
// offered to one, stays with it across its restarts, and moves only after it
// has been away for the lease, and only while it has not reached "printing".
TEST_F(Printing, AJobBelongsToOneInstallationOfTheComputer) {
  ServiceProcess service({"--job-lease", "1"});
  auto a = computer(service, "PC", std::nullopt, "world-a", "run-1");
  auto b = computer(service, "PC", std::nullopt, "world-b", "run-1");
  const std::string moves = queue(service, request());
  const std::string stays = queue(service, request());
  const std::string url = next_event(*a, "print")["url"];
  EXPECT_EQ(next_event(*a, "print")["jobId"], stays);
  EXPECT_FALSE(b->read_non_heartbeat(300ms)) << "the other installation gets no offer";
  a->send("print.status", json{{"jobId", moves}, {"state", "received"}});
  a->send("print.status", json{{"jobId", stays}, {"state", "printing"}, {"printerJobId", 7}});
  b->send("print.status", json{{"jobId", moves}, {"state", "completed"}});
  EXPECT_TRUE(service.wait_for_output("ignored: the job is with another installation"));
  EXPECT_EQ(job_of(service, moves)["state"], "received");

  // Killed and restarted (a new run of the same installation): its jobs at once.
  a.reset();
  ASSERT_TRUE(service.wait_for_output("s-1 closed"));
  a = computer(service, "PC", std::nullopt, "world-a", "run-2");
  EXPECT_EQ(next_event(*a, "print")["jobId"], moves);
  EXPECT_EQ(next_event(*a, "print")["jobId"], stays);
  EXPECT_FALSE(b->read_non_heartbeat(300ms));

  // Away past the lease: the job that had not reached the printer moves, with
  // a new token; the old document URL is refused from then on.
  a.reset();
  const json moved = next_event(*b, "print");
  EXPECT_EQ(moved["jobId"], moves);
  EXPECT_NE(moved["url"], url);
  EXPECT_EQ(fetch(url).status, 404);
  EXPECT_FALSE(b->read_non_heartbeat(1500ms)) << "a job in the printing system stays";
  b->send("print.status", json{{"jobId", moves}, {"state", "received"}});

  // Back, the first installation is told to drop the job it lost, and its
  // statuses for it count for nothing; its answer ends the withdrawal.
  a = computer(service, "PC", std::nullopt, "world-a", "run-3");
  EXPECT_EQ(next_event(*a, "print.cancel")["jobId"], moves);
  EXPECT_EQ(next_event(*a, "print")["jobId"], stays);
  a->send("print.status", json{{"jobId", moves}, {"state", "cancelled"}});
  ASSERT_TRUE(service.wait_for_output("has dropped job " + moves));
  const json job = job_of(service, moves);
  EXPECT_EQ(job["state"], "received");
  EXPECT_EQ(job["world"], "world-b");
  EXPECT_EQ(job["withdrawn"], json::array());
}

// A copied settings directory: two runs of one installation at once are both
// warned, and only the first connected gets offers, until it goes.
TEST_F(Printing, TwoRunsOfOneInstallationAreWarnedAndOnlyTheFirstGetsOffers) {
  ServiceProcess service;
  auto first = computer(service, "PC", std::nullopt, "world-a", "run-1");
  auto copy = computer(service, "PC", std::nullopt, "world-a", "run-2");
  for (auto* connection : {first.get(), copy.get()}) {
    EXPECT_THAT(next_event(*connection, "warning")["message"].get<std::string>(),
                HasSubstr("only the first one connected gets print jobs"));
  }
  const std::string id = queue(service, request());
  EXPECT_EQ(next_event(*first, "print")["jobId"], id);
  EXPECT_FALSE(copy->read_non_heartbeat(300ms));
  first.reset();
  EXPECT_EQ(next_event(*copy, "print")["jobId"], id) << "the copy takes over once alone";
}

TEST_F(Printing, PrinterStatesChangeWithoutTheWholeList) {
  ServiceProcess service;
  auto pc = computer(service, "PC");
  const json desk = json::parse(R"({"name": "Desk", "default": true, "state": "idle",
      "stateReasons": [], "acceptingJobs": true, "capabilities": {"color": true}})");
  pc->send("printers", json{{"printers", {desk}}, {"truncated", true}});
  pc->send("printers.state", json{{"printers",
                                   {{{"name", "Desk"},
                                     {"state", "stopped"},
                                     {"stateReasons", {"paused"}},
                                     {"acceptingJobs", false}}}}});
  ASSERT_TRUE(
      service.wait_for_output("printers.state of computer 'PC' of account 1: Desk stopped"));
  for (const json& refused :
       {json{{"printers", {{{"name", "Nowhere"}, {"state", "idle"}, {"acceptingJobs", true}}}}},
        json{{"printers", {{{"name", "Desk"}, {"state", "melting"}, {"acceptingJobs", true}}}}}}) {
    pc->send("printers.state", refused);
  }
  EXPECT_TRUE(service.wait_for_output("printers.state refused: printers[0].state"));
  const json computer = service.control("GET", "/control/printers")["computers"][0];
  const json& kept = computer["printers"][0];
  EXPECT_EQ(kept["state"], "stopped");
  EXPECT_EQ(kept["stateReasons"], json::array({"paused"}));
  EXPECT_EQ(kept["acceptingJobs"], false);
  EXPECT_EQ(kept["capabilities"]["color"], true) << "the rest of the entry stays";
  EXPECT_EQ(computer["truncated"], true);
  EXPECT_EQ(computer["messages"]["printers"], 1);
  EXPECT_EQ(computer["messages"]["printers.state"], 3);

  auto [status, table] =
      run_service("printers --control-port " + std::to_string(service.control_port()));
  EXPECT_EQ(status, 0);
  EXPECT_THAT(table, HasSubstr("stopped (paused)"));
}

// Runs quillpost-service with `args`; its exit status and its output.
std::pair<int, std::string> run_service(const std::string& args) {
  std::string output;
  FILE* pipe = ::popen((std::string(QP_SERVICE_EXECUTABLE) + " " + args + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST_F(Printing, PrintAndJobsCommandsTalkToARunningService) {
  ServiceProcess service;
  const std::string port = std::to_string(service.control_port());
  auto [status, output] =
      run_service("print --control-port " + port + " --computer PC --printer Desk --copies 3 " +
                  "--option colorMode=monochrome --title Quarterly " + file_);
  ASSERT_EQ(status, 0) << output;
  const std::string id = output.substr(0, output.find('\n'));
  json job = job_of(service, id);
  ASSERT_FALSE(job.is_null()) << output;
  EXPECT_EQ(job["copies"], 3);
  EXPECT_EQ(job["title"], "Quarterly");
  EXPECT_EQ(job["options"], (json{{"colorMode", "monochrome"}}));

  auto [listed, table] = run_service("jobs --control-port " + port);
  EXPECT_EQ(listed, 0);
  EXPECT_THAT(table, HasSubstr("JOB"));
  EXPECT_THAT(table, HasSubstr(id));
  EXPECT_THAT(table, HasSubstr("queued"));

  struct Case {
    std::string args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"print --control-port " + port + " --computer PC --printer Desk --copies 0 " + file_, 1,
       "the service refused the job (400): \"copies\" must be an integer from 1 to 999"},
      {"print --control-port " + port + " --computer PC --printer Desk /nonexistent/file", 1,
       "cannot open /nonexistent/file"},
      {"print --control-port 1 --computer PC --printer Desk " + file_, 1,
       "no service on 127.0.0.1:1"},
      {"print --computer PC " + file_, 2, "--printer is required"},
      {"jobs --control-port 1", 1, "no service on 127.0.0.1:1"},
  };
  for (const Case& c : cases) {
    auto [code, text] = run_service(c.args);
    EXPECT_EQ(code, c.status) << c.args;
    EXPECT_THAT(text, HasSubstr(c.message)) << c.args;
  }
  EXPECT_THAT(run_service("--help").second, HasSubstr("quillpost-service print"));
}

}  // namespace
}  // namespace quillpost::service
