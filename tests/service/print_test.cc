// Printing on the service as units: the printer lists and job statuses it
// accepts from the network, the job rules, the jobs file's form, document
// files and the print command's arguments.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "service/commands.h"
#include "service/document_file.h"
#include "service/print_jobs.h"
#include "service/printers.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace quillpost::service {
namespace {

using ::testing::HasSubstr;
using ojson = nlohmann::ordered_json;

ojson desk_printer() {
  return ojson::parse(R"({"name": "Desk", "description": "Desk printer", "location": "Room 2",
    "makeAndModel": "Local Raw Printer", "default": true, "state": "idle", "stateReasons": [],
    "acceptingJobs": true, "capabilities": {"media": ["iso_a4_210x297mm"], "color": true,
    "duplex": false, "copies": {"min": 1, "max": 9999}, "documentFormats": ["application/pdf"]}})");
}

TEST(PrinterList, KeepsKnownKeysAndRefusesWhatIsMalformed) {
  auto with = [](const char* key, ojson value) {
    ojson printer = desk_printer();
    printer[key] = std::move(value);
    return ojson{{"printers", {printer}}};
  };
  struct Case {
    const char* name;
    ojson payload;
    const char* error;  // substring; empty: kept
  };
  const Case cases[] = {
      {"the protocol's example", ojson{{"printers", {desk_printer()}}}, ""},
      {"no printers", ojson{{"printers", ojson::array()}}, ""},
      {"not an object", ojson::array(), "not an object"},
      {"no list", ojson{{"printers", 1}}, "printers is not a list"},
      {"null name", with("name", nullptr), "printers[0].name is not a text"},
      {"empty name", with("name", ""), "name is empty"},
      {"unknown state", with("state", "on fire"), "state is not idle, printing or stopped"},
      {"default not boolean", with("default", "yes"), "default is not true or false"},
      {"long text", with("location", std::string(1025, 'x')), "location is over 1024"},
      {"1024 characters of UTF-8",
       with("location",
            [] {
              std::string s;
              for (int i = 0; i < 1024; ++i) s += "\xC3\xA9";
              return s;
            }()),
       ""},
      {"long list", with("stateReasons", ojson(std::vector<std::string>(257, "paused"))),
       "over 256 entries"},
      {"reason not text", with("stateReasons", ojson::array({1})), "stateReasons[0] is not a text"},
      {"capabilities not object", with("capabilities", "all"), "capabilities is not an object"},
      {"copies upside down", with("capabilities", ojson{{"copies", {{"min", 5}, {"max", 1}}}}),
       "copies needs integers"},
      {"colour not boolean", with("capabilities", ojson{{"color", "yes"}}), "color is not true"},
      {"name twice", ojson{{"printers", {desk_printer(), desk_printer()}}}, "name is used twice"},
  };
  for (const Case& c : cases) {
    auto result = validate_printers(c.payload);
    if (*c.error == '\0') {
      EXPECT_TRUE(std::holds_alternative<ojson>(result)) << c.name;
    } else {
      ASSERT_TRUE(std::holds_alternative<std::string>(result)) << c.name;
      EXPECT_THAT(std::get<std::string>(result), HasSubstr(c.error)) << c.name;
    }
  }

  ojson extra = desk_printer();
  extra["secret"] = "dropped";
  extra.erase("capabilities");
  extra.erase("location");
  auto kept = std::get<ojson>(validate_printers(ojson{{"printers", {extra}}}));
  EXPECT_FALSE(kept[0].contains("secret")) << "only known keys are kept";
  EXPECT_EQ(kept[0]["location"], "");
  EXPECT_TRUE(kept[0]["capabilities"]["copies"].is_null()) << "unknown capabilities are null";
}

TEST(PrintJobs, ChecksStatusPayloads) {
  struct Case {
    const char* payload;
    const char* error;  // substring; empty: accepted
  };
  const Case cases[] = {
      {R"({"jobId": "j-1", "state": "printing", "printerJobId": 42, "reason": ""})", ""},
      {R"({"jobId": "j-1", "state": "received"})", ""},
      {R"({"jobId": "j-1", "state": "failed", "printerJobId": null, "reason": "out of paper"})",
       ""},
      {R"([])", "not an object"},
      {R"({"state": "printing"})", "jobId is not a job id"},
      {R"({"jobId": "j 1", "state": "printing"})", "jobId is not a job id"},
      {R"({"jobId": "j-1", "state": "unknown", "reason": "no record of the outcome"})", ""},
      {R"({"jobId": "j-1", "state": "queued"})", "not one of the seven job states"},
      {R"({"jobId": "j-1", "state": "printing", "printerJobId": "42"})", "no integer"},
      {R"({"jobId": "j-1", "state": "printing", "printerJobId": 4.5})", "no integer"},
      {R"({"jobId": "j-1", "state": "failed", "reason": 3})", "reason of job j-1 is not a text"},
  };
  for (const Case& c : cases) {
    auto result = parse_job_status(ojson::parse(c.payload));
    if (*c.error == '\0') {
      EXPECT_TRUE(std::holds_alternative<JobStatus>(result)) << c.payload;
    } else {
      ASSERT_TRUE(std::holds_alternative<std::string>(result)) << c.payload;
      EXPECT_THAT(std::get<std::string>(result), HasSubstr(c.error)) << c.payload;
    }
  }
  auto long_reason = std::get<JobStatus>(parse_job_status(
      ojson{{"jobId", "j-1"}, {"state", "failed"}, {"reason", std::string(5000, 'r')}}));
  EXPECT_EQ(long_reason.reason.size(), 1024u) << "a long reason is cut, the status kept";
  auto quoting = std::get<JobStatus>(
      parse_job_status(ojson{{"jobId", "j-1"},
                             {"state", "failed"},
                             {"reason", "404 from http://h/v1/documents/j-1?token=abc&x=1"}}));
  EXPECT_EQ(quoting.reason, "404 from http://h/v1/documents/j-1?token=***&x=1");
}

TEST(PrintJobs, ChecksJobRequests) {
  struct Case {
    const char* body;
    const char* error;  // substring; empty: accepted
  };
  const Case cases[] = {
      {R"({"computer": "PC", "printer": "Desk", "file": "/tmp/a.pdf", "copies": 2,
           "options": {"sides": "two-sided-long-edge", "pageRanges": "1-3,5"}})",
       ""},
      {R"({"printer": "Desk", "file": "/tmp/a.pdf"})", "\"computer\" must be a non-empty text"},
      {R"({"computer": "PC", "printer": "Desk", "file": "a.pdf"})", "absolute path"},
      {R"({"computer": "PC", "printer": "Desk", "file": "/a", "copies": 0})", "1 to 999"},
      {R"({"computer": "PC", "printer": "Desk", "file": "/a", "options": {"sides": "three"}})",
       "cannot take"},
      {R"({"computer": "PC", "printer": "Desk", "file": "/a", "options": {"staple": "yes"}})",
       "unknown option"},
      {R"({"computer": "PC", "printer": "Desk", "file": "/a", "contentType": "text/plain\r\nX: 1"})",
       "MIME type"},
      {R"({"computer": "PC", "printer": "Desk", "file": "/a", "declaredSha256": "ABC"})",
       "64 lower-case hex"},
      {R"({"computer": "PC", "printer": "Desk", "file": "/a", "copeis": 2})",
       "unknown key \"copeis\""},
  };
  for (const Case& c : cases) {
    auto result = parse_job_request(ojson::parse(c.body));
    if (*c.error == '\0') {
      ASSERT_TRUE(std::holds_alternative<JobRequest>(result)) << std::get<std::string>(result);
      EXPECT_EQ(std::get<JobRequest>(result).content_type, "application/pdf");
      EXPECT_EQ(std::get<JobRequest>(result).title, "a.pdf");
    } else {
      ASSERT_TRUE(std::holds_alternative<std::string>(result)) << c.body;
      EXPECT_THAT(std::get<std::string>(result), HasSubstr(c.error)) << c.body;
    }
  }
}

JobRequest request_for(const std::string& computer) {
  return std::get<JobRequest>(parse_job_request(
      ojson{{"computer", computer}, {"printer", "Desk"}, {"file", "/tmp/doc.pdf"}}));
}

TEST(PrintJobs, StatusesMoveOpenJobsOfTheirOwnComputerOnly) {
  PrintBook book;
  const ComputerKey pc{1, "PC"};
  PrintJob& job = book.add(pc, request_for("PC"), {3, std::string(64, 'a')});
  const std::string id = job.id;
  EXPECT_TRUE(valid_job_id(id)) << id;
  EXPECT_GE(job.token.size(), 32u) << "at least 128 bits";
  EXPECT_NE(book.add(pc, request_for("PC"), {}).token, book.find(id)->token);

  using U = PrintBook::Update;
  EXPECT_EQ(book.apply({1, "OTHER"}, "w", {id, "printing", 7, ""}), U::unknown);
  EXPECT_EQ(book.apply({2, "PC"}, "w", {id, "printing", 7, ""}), U::unknown);
  EXPECT_EQ(book.apply(pc, "w", {id, "printing", 7, ""}), U::changed);
  EXPECT_EQ(book.apply(pc, "w", {id, "printing", std::nullopt, ""}), U::unchanged);
  EXPECT_EQ(book.apply(pc, "w", {id, "completed", std::nullopt, ""}), U::changed);
  EXPECT_EQ(book.apply(pc, "w", {id, "failed", std::nullopt, "late"}), U::ended);
  EXPECT_EQ(book.apply(pc, "w", {id, "completed", std::nullopt, ""}), U::unchanged);
  const PrintJob& done = *book.find(id);
  EXPECT_EQ(done.state, "completed");
  EXPECT_EQ(done.printer_job_id, 7) << "a later status without a printer job id keeps it";
  ASSERT_EQ(done.history.size(), 3u);
  EXPECT_EQ(done.history[1]["state"], "printing");
  EXPECT_EQ(book.open_jobs(pc).size(), 1u) << "only the second job is open";
}

TEST(PrintJobs, CancelEndsAJobNeverOfferedAndAsksForTheOthers) {
  PrintBook book;
  const ComputerKey pc{1, "PC"};
  const std::string never = book.add(pc, request_for("PC"), {}).id;
  PrintJob& offered = book.add(pc, request_for("PC"), {});
  offered.offers = 1;
  const std::string sent = offered.id;
  using C = PrintBook::Cancel;
  EXPECT_EQ(book.cancel(never), C::cancelled);
  EXPECT_EQ(book.find(never)->state, "cancelled");
  EXPECT_EQ(book.cancel(sent), C::requested);
  EXPECT_EQ(book.find(sent)->state, "queued") << "the computer decides when it has stopped";
  EXPECT_EQ(book.cancel(never), C::ended);
  EXPECT_EQ(book.cancel("j-none"), C::unknown);
}

TEST(PrintJobs, JobsFileKeepsEverythingAndRefusesGarbage) {
  PrintBook book;
  const ComputerKey pc{1, "PC"};
  PrintJob& job = book.add(pc, request_for("PC"), {10, std::string(64, 'b')});
  job.offers = 2;
  const std::string id = job.id;
  const std::string token = job.token;
  book.apply(pc, "w", {id, "printing", 9, "warming up"});
  book.cancel(id);
  book.set_printers(pc, std::get<ojson>(validate_printers(ojson{{"printers", {desk_printer()}}})),
                    false);

  PrintBook loaded;
  loaded.load(ojson::parse(book.to_file().dump()));
  EXPECT_EQ(loaded.jobs_view(), book.jobs_view());
  EXPECT_EQ(loaded.printers_view(), book.printers_view());
  EXPECT_EQ(loaded.find(id)->token, token);
  EXPECT_EQ(book.jobs_view().dump().find(token), std::string::npos)
      << "the control view never shows a token";
  EXPECT_EQ(loaded.add(pc, request_for("PC"), {}).id.rfind("j-2-", 0), 0u)
      << "the counter goes on where it was";

  for (const char* bad :
       {R"({"version": 2})", R"({"version": 1, "nextJob": 1})",
        R"({"version": 1, "nextJob": 1, "jobs": [{"jobId": "x"}], "computers": []})"}) {
    EXPECT_THROW(loaded.load(ojson::parse(bad)), std::invalid_argument) << bad;
  }
  EXPECT_EQ(loaded.find(id)->token, token) << "a refused document changes nothing";
}

TEST(DocumentFile, DigestsRegularFilesOnly) {
  quillpost::testing::TempDir dir;
  auto file = quillpost::testing::write_file(dir, "abc.txt", "abc");
  auto digest = std::get<FileDigest>(digest_file(file));
  EXPECT_EQ(digest.size, 3u);
  EXPECT_EQ(digest.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_THAT(std::get<std::string>(digest_file(dir / "fifo")), HasSubstr("not a regular file"))
      << "a FIFO would never end";
  EXPECT_THAT(std::get<std::string>(digest_file(dir.path())), HasSubstr("not a regular file"));
  EXPECT_THAT(std::get<std::string>(digest_file(dir / "missing")), HasSubstr("cannot open"));
  EXPECT_THAT(std::get<std::string>(digest_file("abc.txt")), HasSubstr("not absolute"));

  DocumentReader corrupt(file, true);
  corrupt.limit(2);
  char buffer[8];
  ASSERT_EQ(corrupt.read(buffer, sizeof buffer), 2u);
  EXPECT_EQ(buffer[0], static_cast<char>(~'a'));
  EXPECT_EQ(corrupt.read(buffer, sizeof buffer), 0u) << "the limit ends the reading";
  EXPECT_EQ(corrupt.size(), 3u) << "the announced size stays the file's";
}

TEST(PrintCommand, TurnsArgumentsIntoARequest) {
  auto parsed = parse_print_command({"--control-port=9000", "--computer", "PC", "--printer", "Desk",
                                     "--copies", "2", "--option", "sides=one-sided", "--option",
                                     "media=iso_a4_210x297mm", "/tmp/x/../doc.pdf"});
  ASSERT_TRUE(std::holds_alternative<PrintCommand>(parsed)) << std::get<std::string>(parsed);
  const PrintCommand& command = std::get<PrintCommand>(parsed);
  EXPECT_EQ(command.control_port, 9000);
  EXPECT_EQ(command.request, ojson::parse(R"({"computer": "PC", "printer": "Desk", "copies": 2,
              "file": "/tmp/doc.pdf",
              "options": {"sides": "one-sided", "media": "iso_a4_210x297mm"}})"));
  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const Case cases[] = {
      {{"--printer", "Desk", "f"}, "--computer is required"},
      {{"--computer", "PC", "f"}, "--printer is required"},
      {{"--computer", "PC", "--printer", "Desk"}, "exactly one FILE"},
      {{"--computer", "PC", "--printer", "Desk", "--option", "sides", "f"}, "KEY=VALUE"},
      {{"--computer", "PC", "--printer", "Desk", "--colour", "f"}, "unknown option '--colour'"},
      {{"--control-port", "0", "--computer", "PC", "--printer", "D", "f"}, "port number"},
  };
  for (const Case& c : cases) {
    auto result = parse_print_command(c.args);
    ASSERT_TRUE(std::holds_alternative<std::string>(result)) << c.error;
    EXPECT_THAT(std::get<std::string>(result), HasSubstr(c.error));
  }
}

}  // namespace
}  // namespace quillpost::service
