// The printing agent end to end below the connection: offers in, statuses and
// printers out, a real private scheduler and a real document server, each
// fault ending with its status.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <thread>

#include "agent_harness.h"
#include "document_server.h"
#include "support/cups_scheduler.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace quillpost::printing {
namespace {

using namespace std::chrono_literals;
using test::AgentHarness;
using test::DocumentServer;
using test::Serve;
using testing::CupsScheduler;

class PrintingAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!CupsScheduler::available()) GTEST_SKIP() << "needs root and cupsd";
    cups_ = std::make_unique<CupsScheduler>();
  }
  void TearDown() override {
    // The agent's own account of a failed case.
    if (HasFailure()) {
      for (const auto& record : log_.records()) {
        std::cerr << "  log " << record.logger << ": " << record.text << "\n";
      }
    }
  }

  PrintingSettings settings(const std::filesystem::path& dir) const {
    PrintingSettings s;
    s.dir = dir / "printing";
    s.getenv = [socket = cups_->socket()](const std::string& name) -> std::optional<std::string> {
      if (name == "CUPS_SERVER") return socket;
      return std::nullopt;
    };
    s.timings.probe = 100ms;
    s.timings.worker.printer_poll = 200ms;
    s.timings.worker.job_poll = 50ms;
    s.timings.download.stall = std::chrono::seconds(1);
    // Outages pass quickly here: a few tries, then the job fails.
    s.timings.retry_first = 50ms;
    s.timings.retry_longest = 50ms;
    s.timings.retry_window = 300ms;
    return s;
  }

  // An offer of `bytes` served by `server` under the job's id.
  nlohmann::json offer(const std::string& job_id, const std::string& printer,
                       const std::string& bytes, Serve serve = Serve::ok) {
    documents_.add(job_id, bytes, serve);
    return {{"jobId", job_id},
            {"printer", printer},
            {"title", "Doc " + job_id},
            {"url", documents_.url(job_id)},
            {"contentType", "application/octet-stream"},
            {"size", bytes.size()},
            {"sha256", test::sha256_hex(bytes)}};
  }

  logs::Capture log_;
  testing::TempDir dir_;
  std::unique_ptr<CupsScheduler> cups_;
  DocumentServer documents_;
};

TEST_F(PrintingAgentTest, EachJobAndEachFaultEndsWithItsStatus) {
  AgentHarness agent(settings(dir_.path()));
  agent.handshake();
  ASSERT_TRUE(agent.printers([](const auto& p) { return p.size() == 2; }, 10s));

  struct Case {
    std::string job_id;
    std::function<nlohmann::json()> offer;
    std::string state;
    std::string reason;
    std::function<void()> midway;  // after "received": waits for its moment, acts
  };
  const std::string doc = std::string("%PDF-1.4 exact bytes \0\xff\r\n", 25) + " of a document";
  const auto cancel_at = [&](const std::string& id, const std::string& state) {
    return [&agent, id, state] {
      ASSERT_TRUE(agent.status(id, state));
      agent.message("print.cancel", {{"jobId", id}});
    };
  };
  const auto lab = [&](const std::string& commands) {
    cups_->admin("cupsaccept Lab; cupsenable Lab; " + commands);
  };
  const std::vector<Case> cases = {
      {"ok", [&] { return offer("ok", "Desk", doc); }, "completed", "", {}},
      {"no-printer",
       [&] { return offer("no-printer", "Nowhere", doc); },
       "failed",
       "no printer named Nowhere",
       {}},
      {"http-404",
       [&] { return offer("http-404", "Desk", doc, Serve::not_found); },
       "failed",
       "HTTP 404",
       {}},
      {"http-500",
       [&] { return offer("http-500", "Desk", doc, Serve::server_error); },
       "failed",
       "HTTP 500",
       {}},
      {"loop",
       [&] { return offer("loop", "Desk", doc, Serve::redirect_loop); },
       "failed",
       "redirects",
       {}},
      {"checksum",
       [&] { return offer("checksum", "Desk", doc, Serve::corrupt); },
       "failed",
       "SHA-256",
       {}},
      {"larger",
       [&] { return offer("larger", "Desk", doc, Serve::longer); },
       "failed",
       "the offer said",
       {}},
      {"cut-short",
       [&] { return offer("cut-short", "Desk", doc, Serve::truncated); },
       "failed",
       "cut short",
       {}},
      {"too-large",
       [&] {
         auto o = offer("too-large", "Desk", doc);
         o["size"] = std::int64_t{3} << 30;
         return o;
       },
       "failed",
       "the offer cannot be used",
       {}},
      {"raw",
       [&] {
         auto o = offer("raw", "Desk", doc);
         o["contentType"] = "application/vnd.cups-raw";
         return o;
       },
       "failed",
       "allow_raw_printing = true",
       {}},
      {"rejecting",
       [&] {
         lab("cupsreject Lab");
         return offer("rejecting", "Lab", doc);
       },
       "failed",
       "not accepting jobs",
       {}},
      {"stopped",
       [&] {
         lab("cupsdisable -r 'paper jam' Lab");
         return offer("stopped", "Lab", doc);
       },
       "completed", "",
       [&] {
         ASSERT_TRUE(agent.reason("stopped", "printer Lab is stopped (paused)"));
         lab("");
       }},
      {"cancel-downloading", [&] { return offer("cancel-downloading", "Desk", doc, Serve::hang); },
       "cancelled", "", cancel_at("cancel-downloading", "downloading")},
      {"cancel-printing",
       [&] {
         lab("cupsdisable Lab");
         return offer("cancel-printing", "Lab", doc);
       },
       "cancelled", "", cancel_at("cancel-printing", "printing")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.job_id);
    agent.message("print", c.offer());
    if (c.midway) c.midway();
    const auto final = agent.status(c.job_id, c.state);
    ASSERT_TRUE(final) << testing::read_file(dir_ / "printing/jobs" / (c.job_id + ".json"));
    EXPECT_NE(final->value("reason", "").find(c.reason), std::string::npos) << *final;
  }
  lab("");

  // What printed is the exact document, once per job, under the job's name.
  const auto ok = agent.status("ok", "completed");
  const auto desk = cups_->captured("Desk");
  ASSERT_EQ(desk.size(), 1u);
  EXPECT_EQ(desk.begin()->first, (*ok)["printerJobId"].get<std::int64_t>());
  EXPECT_EQ(desk.begin()->second, doc);
  EXPECT_EQ(cups_->captured_args("Desk", desk.begin()->first)[2], "qp-ok");
  EXPECT_EQ(cups_->captured("Lab").size(), 1u);  // "stopped"; the cancelled one never printed

  // An offer again is answered with the status, never printed again; so is a
  // cancel of a finished job. A cancel of a job never offered is cancelled.
  const std::size_t seen = agent.frames().size();
  agent.message("print", offer("ok", "Desk", doc));
  agent.message("print.cancel", {{"jobId", "ok"}});
  agent.message("print.cancel", {{"jobId", "never-offered"}});
  ASSERT_TRUE(agent.status("never-offered", "cancelled"));
  const auto frames = agent.frames();
  std::size_t answers = 0;
  for (std::size_t i = seen; i < frames.size(); ++i) {
    answers += frames[i].payload.value("jobId", "") == "ok" &&
               frames[i].payload.value("state", "") == "completed";
  }
  EXPECT_EQ(answers, 2u);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(cups_->captured("Desk").size(), 1u);
  // Documents are gone once their jobs are over (not retained).
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "printing/documents"));
}

TEST_F(PrintingAgentTest, PrinterChangesReachTheLinkWithinFiveSeconds) {
  PrintingSettings s = settings(dir_.path());
  s.timings.worker = {};  // the shipped poll interval
  s.keep_removed_printers = true;
  AgentHarness agent(std::move(s));
  agent.handshake();
  ASSERT_TRUE(agent.printers([](const auto& p) { return p.size() == 2; }, 10s));
  const auto named = [](const nlohmann::json& printers, const std::string& name) {
    for (const auto& p : printers) {
      if (p["name"] == name) return p;
    }
    return nlohmann::json();
  };
  const struct {
    std::string command;
    std::function<bool(const nlohmann::json&)> seen;
  } changes[] = {
      {"lpadmin -p New -E -v capture:" + (cups_->dir() / "out/new.prn").string() + " -m raw",
       [&](const auto& p) { return !named(p, "New").is_null(); }},
      {"cupsdisable New",
       [&](const auto& p) { return named(p, "New").value("state", "") == "stopped"; }},
      {"lpadmin -d Lab", [&](const auto& p) { return named(p, "Lab").value("default", false); }},
      {"lpadmin -p Lab -L Attic",
       [&](const auto& p) { return named(p, "Lab").value("location", "") == "Attic"; }},
      // Removed, yet kept as an offline printer.
      {"lpadmin -x Desk",
       [&](const auto& p) {
         return named(p, "Desk").value("stateReasons", nlohmann::json()) ==
                nlohmann::json{"offline"};
       }},
  };
  for (const auto& change : changes) {
    SCOPED_TRACE(change.command);
    const std::size_t from = agent.frames().size();
    ASSERT_EQ(cups_->admin(change.command).status, 0);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(agent.printers(change.seen, 5s, from));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  }
  // After every handshake the whole list goes again.
  agent.disconnect();
  const std::size_t from = agent.frames().size();
  agent.handshake();
  EXPECT_TRUE(agent.printers([](const auto& p) { return p.size() == 3; }, 2s, from));
}

TEST_F(PrintingAgentTest, AJobWaitsForThePrintingSystemAndStatusesWaitForTheLink) {
  PrintingSettings s = settings(dir_.path());
  s.retain_documents = true;
  AgentHarness agent(std::move(s));
  agent.handshake();
  ASSERT_TRUE(agent.printers([](const auto& p) { return p.size() == 2; }, 10s));
  cups_->stop();
  // The printers are still listed, as unreachable.
  ASSERT_TRUE(agent.printers(
      [](const auto& p) {
        return p.size() == 2 && p[0]["stateReasons"] == nlohmann::json{"offline"};
      },
      5s));
  const std::string doc(100 * 1024, 'q');
  agent.message("print", offer("waits", "Desk", doc));
  agent.message("print", offer("dropped", "Desk", doc));
  EXPECT_TRUE(agent.reason("waits", "waiting for the printing system"));
  // A waiting job is cancelled where it waits.
  ASSERT_TRUE(agent.reason("dropped", "waiting for the printing system"));
  agent.message("print.cancel", {{"jobId", "dropped"}});
  EXPECT_TRUE(agent.status("dropped", "cancelled"));
  // The link goes while the scheduler comes back: the end is told after the
  // next handshake.
  agent.disconnect();
  cups_->start();
  // The job prints and the journal records it done; no status goes out yet.
  const auto phase = [&] {
    const auto record = nlohmann::json::parse(testing::read_file(dir_ / "printing/jobs/waits.json"),
                                              nullptr, false);
    return record.is_object() ? record.value("phase", "") : "";
  };
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (phase() != "completed" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(phase(), "completed");
  EXPECT_EQ(cups_->captured("Desk").size(), 1u);
  EXPECT_FALSE(agent.status("waits", "completed", 300ms));
  agent.handshake();
  EXPECT_TRUE(agent.status("waits", "completed", 5s));
  // Asked to, the client keeps what it printed.
  EXPECT_EQ(testing::read_file(dir_ / "printing/documents/waits.document"), doc);
}

TEST_F(PrintingAgentTest, AfterACrashAJobIsFoundByItsNameAndNeverPrintedTwice) {
  // The journal as a crash leaves it: three jobs were being handed over. The
  // scheduler got "taken" whole, "broken" without its whole document (the
  // crash came in the middle of it), and "lost" not at all.
  const std::string doc = "the document";
  {
    Journal journal(dir_ / "printing");
    journal.load();
    for (const char* id : {"taken", "broken", "lost"}) {
      JobRecord record;
      record.offer = std::get<JobOffer>(parse_offer(offer(id, "Desk", doc)));
      record.phase = JobPhase::submitting;
      journal.save(record, Durability::synced);
      std::ofstream(journal.document_path(id), std::ios::binary) << doc;
    }
  }
  std::ofstream(dir_ / "doc") << doc;
  ASSERT_EQ(cups_->admin("lp -d Desk -t qp-taken " + (dir_ / "doc").string()).status, 0);
  {
    PrintSystemSettings system_settings;
    system_settings.server = cups_->socket();
    std::string error;
    const auto system = PrintWorker::open_module(system_settings, error);
    ASSERT_TRUE(system) << error;
    SubmitRequest broken{"Desk",
                         "qp-broken",
                         "",
                         "application/octet-stream",
                         dir_ / "printing/documents/broken.document",
                         1,
                         {}};
    std::atomic<bool> stop{false};
    std::int64_t id = 0;
    system->submit(
        broken, [&](const CreatedJob&) { stop = true; }, stop, id);
  }
  for (int i = 0; i < 200 && cups_->captured("Desk").empty(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(cups_->captured("Desk").size(), 1u);

  AgentHarness agent(settings(dir_.path()));
  agent.handshake();
  for (const char* id : {"taken", "broken", "lost"}) {
    agent.message("print", offer(id, "Desk", doc));
    EXPECT_TRUE(agent.status(id, "completed")) << id;
  }
  std::map<std::string, int> printed;
  for (const auto& [printer_job, bytes] : cups_->captured("Desk")) {
    ++printed[cups_->captured_args("Desk", printer_job)[2]];
  }
  EXPECT_EQ(printed,
            (std::map<std::string, int>{{"qp-broken", 1}, {"qp-lost", 1}, {"qp-taken", 1}}));
}

TEST_F(PrintingAgentTest, AFullDiskIsWaitedOutThenFailsTheJobBeforeItIsFetched) {
  if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, "size=8m") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here";
  }
  struct Unmount {
    const testing::TempDir& dir;
    ~Unmount() { ::umount2(dir.path().c_str(), MNT_DETACH); }
  } unmount{dir_};
  AgentHarness agent(settings(dir_.path()));
  agent.handshake();
  agent.message("print", offer("big", "Desk", std::string(4 << 20, 'b')));
  const auto waiting = agent.reason("big", "waiting: not enough disk space");
  ASSERT_TRUE(waiting);
  EXPECT_EQ((*waiting)["state"], "downloading");
  const auto failed = agent.status("big", "failed");
  ASSERT_TRUE(failed);
  EXPECT_NE((*failed)["reason"].get<std::string>().find("not enough disk space"),
            std::string::npos);
}

}  // namespace
}  // namespace quillpost::printing
