// The printing back end's checks and records without a printing system:
// offers from the network, texts from the printing system, the journal.
#include <gtest/gtest.h>

#include <fstream>

#include "quillpost/host/runtime/printing/agent.h"
#include "quillpost/host/runtime/printing/clean_text.h"
#include "quillpost/host/runtime/printing/document_format.h"
#include "quillpost/host/runtime/printing/journal.h"
#include "quillpost/host/runtime/printing/offer.h"
#include "quillpost/host/runtime/printing/printer.h"
#include "quillpost/host/runtime/printing/printer_updates.h"
#include "support/temp_dir.h"

namespace quillpost::printing {
namespace {

const std::string kSha(64, 'a');

nlohmann::json good_offer() {
  return {{"jobId", "j-17"},
          {"printer", "Desk"},
          {"title", "Report.pdf"},
          {"url", "http://127.0.0.1:8470/v1/documents/j-17?token=secret"},
          {"contentType", "application/pdf"},
          {"size", 102400},
          {"sha256", kSha},
          {"copies", 2},
          {"options",
           {{"media", "iso_a4_210x297mm"},
            {"sides", "two-sided-long-edge"},
            {"colorMode", "monochrome"},
            {"pageRanges", "1-3,5"}}}};
}

TEST(Offer, AGoodOfferIsReadWhole) {
  const auto parsed = parse_offer(good_offer());
  ASSERT_TRUE(std::holds_alternative<JobOffer>(parsed));
  const auto& offer = std::get<JobOffer>(parsed);
  EXPECT_EQ(offer.job_id, "j-17");
  EXPECT_EQ(offer.size, 102400u);
  EXPECT_EQ(offer.copies, 2);
  EXPECT_EQ(offer.options,
            (PrintOptions{"iso_a4_210x297mm", "two-sided-long-edge", "monochrome", "1-3,5"}));
  // What the journal keeps reads back the same.
  EXPECT_EQ(std::get<JobOffer>(parse_offer(offer_json(offer))), offer);
}

TEST(Offer, EveryMalformedValueIsRefusedWithItsJobIdWhenThatIsUsable) {
  struct Case {
    const char* key;
    nlohmann::json value;  // null: the key removed
    bool job_id_usable;
  };
  const std::vector<Case> cases = {
      {"jobId", nullptr, false},
      {"jobId", "../../etc", false},
      {"jobId", std::string(65, 'a'), false},
      {"jobId", 17, false},
      {"printer", nullptr, true},
      {"printer", "Desk/../x", true},
      {"printer", "Desk\nLab", true},
      {"printer", std::string(128, 'p'), true},
      {"url", "ftp://host/doc", true},
      {"url", "http://host/doc with space", true},
      {"url", "http://host/" + std::string(9000, 'a'), true},
      {"contentType", "pdf", true},
      {"contentType", "text/plain; charset", true},
      {"size", -1, true},
      {"size", (std::int64_t{2} << 30) + 1, true},
      {"size", "100", true},
      {"size", 1.5, true},
      {"sha256", "abc", true},
      {"sha256", std::string(64, 'g'), true},
      {"copies", 0, true},
      {"copies", 1000, true},
      {"options", "a4", true},
  };
  for (const auto& c : cases) {
    nlohmann::json payload = good_offer();
    if (c.value.is_null()) {
      payload.erase(c.key);
    } else {
      payload[c.key] = c.value;
    }
    const auto parsed = parse_offer(payload);
    ASSERT_TRUE(std::holds_alternative<OfferError>(parsed)) << c.key << "=" << c.value;
    const auto& error = std::get<OfferError>(parsed);
    EXPECT_EQ(error.job_id.has_value(), c.job_id_usable) << c.key;
    EXPECT_FALSE(error.reason.empty());
    // The URL's token never appears in a reason.
    EXPECT_EQ(error.reason.find("secret"), std::string::npos);
  }
  EXPECT_TRUE(std::holds_alternative<OfferError>(parse_offer(nlohmann::json::array())));
}

TEST(Offer, OptionsAreCheckedAsThePrintingSystemWouldRefuseThem) {
  const std::vector<std::pair<nlohmann::json, bool>> cases = {
      {{{"pageRanges", "1-3,5"}}, true},    {{{"pageRanges", "7"}}, true},
      {{{"pageRanges", "0-2"}}, false},     {{{"pageRanges", "3-1"}}, false},
      {{{"pageRanges", "1-3,2-4"}}, false}, {{{"pageRanges", "5,1"}}, false},
      {{{"pageRanges", "1-,2"}}, false},    {{{"pageRanges", "99999999999"}}, false},
      {{{"sides", "three-sided"}}, false},  {{{"colorMode", "purple"}}, false},
      {{{"media", "A4 paper"}}, false},     {{{"media", "na_letter_8.5x11in"}}, true},
      {{{"unknownKey", 1}}, true},
  };
  for (const auto& [options, ok] : cases) {
    nlohmann::json payload = good_offer();
    payload["options"] = options;
    EXPECT_EQ(std::holds_alternative<JobOffer>(parse_offer(payload)), ok) << options;
  }
}

TEST(CleanText, OutsideTextsBecomeValidUtf8WithoutControlsAndBounded) {
  EXPECT_EQ(clean_text("Desk \xC3\xA9t\xC3\xA9", 100), "Desk \xC3\xA9t\xC3\xA9");
  EXPECT_EQ(clean_text("a\nb\x1b[31m\x7f", 100), "a b [31m ");
  EXPECT_EQ(clean_text("\xC2\x9B"
                       "x",
                       100),
            " x");                                                     // C1 control
  EXPECT_EQ(clean_text("\xFF\xC3", 100), "\xEF\xBF\xBD\xEF\xBF\xBD");  // not UTF-8
  EXPECT_EQ(clean_text("\xED\xA0\x80", 100), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(clean_text("\xC3\xA9\xC3\xA9\xC3\xA9", 2), "\xC3\xA9\xC3\xA9");
  // Whatever it gets, the result can be sent as JSON.
  EXPECT_NO_THROW(nlohmann::json(clean_text("\xC0\xAF\xF8\x88\x80\x80\x80", 10)).dump());
}

TEST(Printers, ThePayloadIsBoundedAndRemovedPrintersStayWhenAsked) {
  Printer desk{"Desk", "D", "L", "Raw", true, PrinterState::idle, {}, true, {}};
  desk.capabilities.copies = {{1, 9999}};
  Printer lab = desk;
  lab.name = "Lab";
  lab.is_default = false;
  lab.description = std::string(5000, 'x') + "\x01";
  lab.capabilities.media = std::vector<std::string>(1000, "iso_a4_210x297mm");
  const auto payload = printers_payload({desk, lab});
  ASSERT_EQ(payload["printers"].size(), 2u);
  EXPECT_EQ(payload["printers"][0]["capabilities"]["copies"],
            (nlohmann::json{{"min", 1}, {"max", 9999}}));
  EXPECT_TRUE(payload["printers"][0]["capabilities"]["media"].is_null());
  EXPECT_EQ(payload["printers"][1]["description"].get<std::string>().size(), MAX_TEXT_CHARS);
  EXPECT_EQ(payload["printers"][1]["capabilities"]["media"].size(), MAX_LIST_ENTRIES);
  // A list too long for one message goes without capability lists.
  std::vector<Printer> many(300, lab);
  for (std::size_t i = 0; i < many.size(); ++i) many[i].name = "P" + std::to_string(i);
  const std::string big = printers_payload(many).dump();
  EXPECT_LE(big.size(), MAX_PRINTERS_PAYLOAD_BYTES + 64);
  EXPECT_EQ(printers_payload(many)["printers"].size(), MAX_LIST_ENTRIES);
  // What is cut is said: printers left out, a list or a text cut, capability
  // lists dropped for size; an entry that fits is not.
  EXPECT_EQ(printers_payload(many)["truncated"], true);
  EXPECT_EQ(printers_payload({lab})["truncated"], true);
  EXPECT_EQ(printers_payload({desk})["truncated"], false);
  std::vector<Printer> big_lists(200, desk);
  for (std::size_t i = 0; i < big_lists.size(); ++i) {
    big_lists[i].name = "B" + std::to_string(i);
    big_lists[i].capabilities.media = std::vector<std::string>(200, std::string(30, 'm'));
  }
  EXPECT_EQ(printers_payload(big_lists)["truncated"], true);

  const auto kept = merge_printers({desk, lab}, {lab}, true);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].name, "Desk");
  EXPECT_EQ(kept[0].state, PrinterState::stopped);
  EXPECT_EQ(kept[0].state_reasons, std::vector<std::string>{"offline"});
  EXPECT_FALSE(kept[0].accepting_jobs);
  EXPECT_EQ(merge_printers({desk, lab}, {lab}, false).size(), 1u);
}

TEST(Printers, AnOfferThePrinterCannotDoIsToldWhy) {
  Printer p{"Desk", "", "", "", false, PrinterState::idle, {}, true, {}};
  JobOffer offer = std::get<JobOffer>(parse_offer(good_offer()));
  EXPECT_EQ(offer_mismatch(p, offer), "");  // nothing reported, nothing held against it
  p.capabilities = {std::vector<std::string>{"na_letter_8.5x11in"}, false, false,
                    std::pair<std::int64_t, std::int64_t>{1, 1},
                    std::vector<std::string>{"text/plain"}};
  EXPECT_NE(offer_mismatch(p, offer).find("application/pdf"), std::string::npos);
  p.capabilities.document_formats->push_back("application/PDF");
  EXPECT_NE(offer_mismatch(p, offer).find("media"), std::string::npos);
  p.capabilities.media->push_back("iso_a4_210x297mm");
  EXPECT_NE(offer_mismatch(p, offer).find("both sides"), std::string::npos);
  p.capabilities.duplex = true;
  EXPECT_NE(offer_mismatch(p, offer).find("2 copies"), std::string::npos);
}

TEST(Journal, RecordsSurviveAndAnUnreadableOneIsSetAsideAndNamed) {
  testing::TempDir dir;
  JobRecord record;
  record.offer = std::get<JobOffer>(parse_offer(good_offer()));
  record.phase = JobPhase::submitting;
  record.printer_job_id = 42;
  record.withdrawn = {7, 9};
  record.received_at = 1;
  record.updated_at = 2;
  {
    Journal journal(dir / "printing");
    EXPECT_TRUE(journal.load().jobs.empty());
    journal.save(record, Durability::synced);
    record.offer.job_id = "j-18";
    record.offer.url = "http://x/2";
    journal.save(record, Durability::synced);
  }
  std::ofstream(dir / "printing/jobs/j-18.json") << "{ half a rec";
  std::ofstream(dir / "printing/jobs/j-19.json.tmp-abc123") << "left by a crash";
  Journal journal(dir / "printing");
  const auto loaded = journal.load();
  ASSERT_EQ(loaded.jobs.size(), 1u);
  EXPECT_EQ(loaded.jobs.at("j-17").printer_job_id, 42);
  EXPECT_EQ(loaded.jobs.at("j-17").phase, JobPhase::submitting);
  EXPECT_EQ(loaded.jobs.at("j-17").withdrawn, (std::vector<std::int64_t>{7, 9}));
  EXPECT_EQ(loaded.unreadable, std::set<std::string>{"j-18"});
  EXPECT_FALSE(std::filesystem::exists(dir / "printing/jobs/j-18.json"));
  EXPECT_FALSE(std::filesystem::exists(dir / "printing/jobs/j-19.json.tmp-abc123"));
  EXPECT_EQ(
      std::filesystem::status(dir / "printing/jobs").permissions() & std::filesystem::perms::all,
      std::filesystem::perms::owner_all);
  // A job id of dots never names the documents directory itself.
  EXPECT_EQ(journal.document_path("..").filename(), "...document");
}

TEST(Journal, EveryNameIsToldApartByItsExactEnd) {
  testing::TempDir dir;
  JobRecord record;
  record.offer = std::get<JobOffer>(parse_offer(good_offer()));
  {
    Journal journal(dir / "printing");
    journal.load();
    // Job ids that look like the journal's other names.
    for (const char* id : {"r.json.tmp-1", "r.json.tmp-abc123", "a.look-first", "x.document"}) {
      record.offer.job_id = id;
      journal.save(record, Durability::handed_over);
    }
  }
  const auto jobs = dir / "printing/jobs";
  std::ofstream(jobs / "j-5.json.tmp-Ab12cD") << "left by a crash";
  std::ofstream(jobs / "j-6.json") << "{ half a rec";
  std::filesystem::create_directory(jobs / "j-7.json");  // the system cannot read it
  {
    Journal journal(dir / "printing");
    const auto loaded = journal.load();
    EXPECT_EQ(loaded.jobs.size(), 4u);
    EXPECT_EQ(loaded.unreadable, std::set<std::string>{"j-6"});
    EXPECT_EQ(loaded.inaccessible.size(), 1u);
    EXPECT_TRUE(loaded.inaccessible.contains("j-7"));
    EXPECT_TRUE(std::filesystem::is_directory(jobs / "j-7.json"));  // left alone
    EXPECT_FALSE(std::filesystem::exists(jobs / "j-5.json.tmp-Ab12cD"));
  }
  // The lost record's mark outlives the start that found it, until cleared.
  Journal journal(dir / "printing");
  EXPECT_EQ(journal.load().unreadable, std::set<std::string>{"j-6"});
  journal.clear_look_first("j-6");
  EXPECT_TRUE(journal.load().unreadable.empty());
  // A record made again before it reached the printing system: the mark
  // stands, and the job is looked for there first.
  record.offer.job_id = "j-8";
  record.phase = JobPhase::received;
  journal.save(record, Durability::synced);
  std::ofstream(jobs / "j-8.look-first");
  const auto again = journal.load();
  EXPECT_EQ(again.jobs.at("j-8").phase, JobPhase::submitting);
  EXPECT_TRUE(again.unreadable.empty());
  EXPECT_TRUE(std::filesystem::exists(jobs / "j-8.look-first"));

  const struct {
    const char* file;
    std::optional<std::string> job_id;
  } documents[] = {
      {"a.document", "a"},
      {"x.document.document", "x.document"},
      {"a.document.b", std::nullopt},
      {"a.document.tmp", std::nullopt},
      {".document", std::nullopt},
  };
  for (const auto& d : documents) {
    EXPECT_EQ(Journal::document_job_id(d.file), d.job_id) << d.file;
  }
}

// The phase file may be ahead of the record (only its byte is synced before a
// release), missing (a journal of an earlier version) or damaged: a job is
// never taken for one that was not let go when it may have been.
TEST(Journal, ThePhaseFileKeepsAReleaseWhateverTheRecordLost) {
  testing::TempDir dir;
  const auto jobs = dir / "printing/jobs";
  const struct {
    const char* job_id;
    JobPhase recorded;
    std::optional<std::string> phase_file;  // nullopt: none
    JobPhase loaded;
  } cases[] = {
      {"older-version", JobPhase::submitting, std::nullopt, JobPhase::submitting},
      {"made", JobPhase::submitting, "S", JobPhase::submitting},
      {"byte-lost", JobPhase::submitting, "", JobPhase::submitting},
      {"zeroed", JobPhase::submitting, std::string(1, '\0'), JobPhase::submitting},
      {"released", JobPhase::submitting, "R", JobPhase::releasing},
      {"damaged", JobPhase::submitting, "?", JobPhase::releasing},
      {"record-ahead", JobPhase::printing, "R", JobPhase::printing},
      {"before-submit", JobPhase::downloaded, "R", JobPhase::downloaded},
  };
  {
    Journal journal(dir / "printing");
    journal.load();
    JobRecord record;
    record.offer = std::get<JobOffer>(parse_offer(good_offer()));
    for (const auto& c : cases) {
      record.offer.job_id = c.job_id;
      record.phase = c.recorded;
      journal.save(record, Durability::handed_over);
      if (c.phase_file) std::ofstream(jobs / (std::string(c.job_id) + ".phase")) << *c.phase_file;
    }
  }
  std::ofstream(jobs / "gone.phase") << "R";  // its record was removed
  Journal journal(dir / "printing");
  const auto loaded = journal.load();
  for (const auto& c : cases) {
    EXPECT_EQ(loaded.jobs.at(c.job_id).phase, c.loaded) << c.job_id;
  }
  EXPECT_FALSE(std::filesystem::exists(jobs / "gone.phase"));

  // The journal's own round: made with `submitting`, marked, read back.
  journal.prepare_release_mark("made");
  EXPECT_EQ(journal.load().jobs.at("made").phase, JobPhase::submitting);
  EXPECT_TRUE(journal.mark_releasing("made"));
  EXPECT_EQ(journal.load().jobs.at("made").phase, JobPhase::releasing);
  // Never made (a record of an earlier version): the caller syncs the record.
  EXPECT_FALSE(journal.mark_releasing("older-version"));
  EXPECT_FALSE(std::filesystem::exists(jobs / "older-version.phase"));
  journal.remove("made");
  EXPECT_FALSE(std::filesystem::exists(jobs / "made.phase"));
}

TEST(Journal, OnlyTheNewestFinishedJobsAreKept) {
  testing::TempDir dir;
  Journal journal(dir / "printing");
  journal.load();
  std::map<std::string, JobRecord> jobs;
  const JobOffer offer = std::get<JobOffer>(parse_offer(good_offer()));
  for (std::size_t i = 0; i < Journal::MAX_FINISHED_RECORDS + 5; ++i) {
    JobRecord r;
    r.offer = offer;
    r.offer.job_id = "j" + std::to_string(i);
    r.phase = i == 0 ? JobPhase::printing : JobPhase::completed;
    r.updated_at = static_cast<std::int64_t>(i);
    jobs[r.offer.job_id] = r;
  }
  journal.prune(jobs);
  EXPECT_EQ(jobs.size(), Journal::MAX_FINISHED_RECORDS + 1);
  EXPECT_TRUE(jobs.contains("j0"));  // unfinished: never dropped
  EXPECT_FALSE(jobs.contains("j1"));
  EXPECT_TRUE(jobs.contains("j1004"));
}

}  // namespace
}  // namespace quillpost::printing

namespace quillpost::printing {
namespace {

TEST(DocumentFormats, OnlyConvertedFormatsPrintAndRawOnesOnlyWhenAllowed) {
  struct Case {
    std::string type;
    bool allow_raw;
    std::string format;   // what the printing system is given; empty: refused
    std::string refused;  // a part of the reason
  };
  const Case cases[] = {
      {"application/pdf", false, "application/pdf", ""},
      {"Application/PDF", false, "application/pdf", ""},
      {"text/plain; charset=utf-8", false, "text/plain", ""},
      {"image/png", false, "image/png", ""},
      {"application/postscript", false, "application/postscript", ""},
      {"application/octet-stream", false, "application/octet-stream", ""},
      {"application/vnd.cups-raw", false, "", "allow_raw_printing = true"},
      {"application/vnd.cups-command", false, "", "allow_raw_printing = true"},
      {"application/vnd.cups-raw", true, "application/vnd.cups-raw", ""},
      {"application/vnd.cups-command", true, "application/vnd.cups-command", ""},
      {"application/vnd.cups-postscript", true, "", "is not printed"},
      {"text/html", true, "", "is not printed"},
      {"application/x-shellscript", false, "", "is not printed"},
  };
  for (const Case& c : cases) {
    const DocumentFormat got = document_format(c.type, c.allow_raw);
    EXPECT_EQ(got.format, c.format) << c.type << " " << c.allow_raw;
    EXPECT_EQ(got.refused.empty(), c.refused.empty()) << c.type;
    EXPECT_NE(got.refused.find(c.refused), std::string::npos) << got.refused;
  }
}

TEST(PrinterUpdates, StatesGoAloneAtMostOncePerPrinterASecondAndTheListOnlyWhenItChanges) {
  using namespace std::chrono_literals;
  const auto payload = [](PrinterState desk, PrinterState lab, const std::string& location = "") {
    Printer d{"Desk", "", location, "", true, desk, {}, true, {}};
    Printer l{"Lab", "", "", "", false, lab, {}, true, {}};
    if (lab == PrinterState::stopped) l.state_reasons = {"paused"};
    return printers_payload({d, l});
  };
  using S = PrinterState;
  struct Step {
    std::chrono::milliseconds at;
    nlohmann::json payload;
    std::string sent;   // "printers", "printers.state Desk,Lab" or ""
    int call_again_ms;  // -1: none
  };
  const Step steps[] = {
      {0ms, payload(S::idle, S::idle), "printers", -1},
      {100ms, payload(S::idle, S::idle), "", -1},
      {200ms, payload(S::printing, S::idle), "printers.state Desk", -1},
      {300ms, payload(S::idle, S::stopped), "printers.state Lab", 1200},
      {900ms, payload(S::idle, S::idle), "", 1200},  // both held back
      {1200ms, payload(S::idle, S::idle), "printers.state Desk", 1300},
      {1300ms, payload(S::idle, S::idle), "printers.state Lab", -1},
      {1320ms, payload(S::idle, S::idle), "", -1},
      {1350ms, payload(S::idle, S::idle, "Attic"), "printers", -1},
  };
  PrinterUpdates updates;
  const auto start = PrinterUpdates::Clock::time_point{};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.at.count());
    const auto update = updates.update(step.payload, start + step.at);
    std::string sent;
    for (const auto& message : update.messages) {
      sent += message.event;
      if (message.event == "printers.state") {
        std::string names;
        for (const auto& p : message.payload["printers"]) {
          names += (names.empty() ? " " : ",") + p["name"].get<std::string>();
          EXPECT_EQ(p.size(), 4u) << "name, state, stateReasons, acceptingJobs";
        }
        sent += names;
      }
    }
    EXPECT_EQ(sent, step.sent);
    EXPECT_EQ(update.call_again ? (*update.call_again - start) / 1ms : -1, step.call_again_ms);
  }
  updates.reset();
  EXPECT_EQ(updates.update(payload(S::idle, S::idle), start + 2s).messages.at(0).event, "printers")
      << "a new link gets the whole list";
}

TEST(Retries, WaitsDoubleToTheLongestHonourTheServerAndEndWithTheWindow) {
  using namespace std::chrono_literals;
  PrintingTimings t;  // 1 s doubling to 5 min
  struct Case {
    std::size_t attempt;
    std::chrono::seconds retry_after;
    double jitter;
    PrintingTimings::Duration left;
    PrintingTimings::Duration wait;
  };
  for (const auto& c : std::vector<Case>{
           {0, 0s, 0.0, 1h, 1s},
           {3, 0s, 0.0, 1h, 8s},
           {3, 0s, 1.0, 1h, 4s},  // jitter takes up to a half
           {9, 0s, 0.0, 1h, 5min},
           {1000, 0s, 0.5, 1h, 225s},  // no overflow however many tries
           {0, 120s, 1.0, 1h, 120s},   // Retry-After is waited at least
           {8, 0s, 0.0, 30s, 30s},     // never past the window
           {0, 0s, 0.0, 0s, 0s},
       }) {
    EXPECT_EQ(retry_delay(t, c.attempt, c.retry_after, c.jitter, c.left), c.wait) << c.attempt;
  }
}

TEST(Retries, RetryAfterIsSecondsOrAnHttpDateAndAtMostADay) {
  using namespace std::chrono_literals;
  // 1994-11-06 08:49:37 UTC.
  const auto now = std::chrono::system_clock::time_point(784111777s);
  const std::vector<std::pair<std::string, std::optional<std::chrono::seconds>>> cases = {
      {"120", 120s},
      {" 7 ", 7s},
      {"0", 0s},
      {"99999999999999999999", 86400s},
      {"Sun, 06 Nov 1994 08:50:07 GMT", 30s},
      {"Sun, 06 Nov 1994 08:00:00 GMT", 0s},  // a date gone by: at once
      {"Sun, 06 Nov 1995 08:49:37 GMT", 86400s},
      {"-5", std::nullopt},
      {"1.5", std::nullopt},
      {"", std::nullopt},
      {"soon", std::nullopt},
      {"Sun, 06 Foo 1994 08:50:07 GMT", std::nullopt},
      {"Sun, 06 Nov 1994 08:50:07 GMT trailing", std::nullopt},
      {std::string(100, '1'), std::nullopt},
  };
  for (const auto& [text, wait] : cases) EXPECT_EQ(parse_retry_after(text, now), wait) << text;
}

}  // namespace
}  // namespace quillpost::printing
