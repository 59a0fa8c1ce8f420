// The job lifecycle against a printing system in memory: how a job is handed
// over (held, recorded as released, let go), and what a restart finds and
// does with each state the printing system may be in. Runs on any machine.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <thread>

#include "agent_harness.h"
#include "document_server.h"
#include "fake_print_system.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace quillpost::printing {
namespace {

using namespace std::chrono_literals;
using State = SystemJob::State;
using test::AgentHarness;
using test::FakeJob;
using test::FakePrintSystem;
using test::FakeScheduler;

constexpr const char* kUnknown =
    "released to the printer; the printing system kept no record of the outcome";

class Lifecycle : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HasFailure()) {
      for (const auto& record : log_.records()) {
        std::cerr << "  log " << record.logger << ": " << record.text << "\n";
      }
    }
  }

  PrintingSettings settings() const {
    PrintingSettings s;
    s.dir = dir_ / "printing";
    s.getenv = [](const std::string& name) -> std::optional<std::string> {
      if (name == "CUPS_SERVER") return std::string("fake-scheduler");
      return std::nullopt;
    };
    s.maker = [scheduler = scheduler_](const PrintSystemSettings&, std::string&) {
      return std::unique_ptr<PrintSystem>(std::make_unique<FakePrintSystem>(scheduler));
    };
    s.timings.probe = 50ms;
    s.timings.worker.printer_poll = 50ms;
    s.timings.worker.job_poll = 20ms;
    return s;
  }

  nlohmann::json offer(const std::string& job_id) {
    documents_.add(job_id, kDocument);
    return {{"jobId", job_id},
            {"printer", "Desk"},
            {"title", "Doc"},
            {"url", documents_.url(job_id)},
            {"contentType", "application/pdf"},
            {"size", kDocument.size()},
            {"sha256", test::sha256_hex(kDocument)}};
  }

  // The journal as an earlier run left it: the job in `phase`, its document
  // on disk.
  JobRecord journaled(const std::string& job_id, JobPhase phase) {
    Journal journal(dir_ / "printing");
    journal.load();
    JobRecord record;
    record.offer = std::get<JobOffer>(parse_offer(offer(job_id)));
    record.phase = phase;
    journal.save(record, Durability::synced);
    std::ofstream(journal.document_path(job_id), std::ios::binary) << kDocument;
    return record;
  }
  void rewrite(const JobRecord& record) {
    Journal journal(dir_ / "printing");
    journal.load();
    journal.save(record, Durability::synced);
  }
  std::string phase_on_disk(const std::string& job_id) const {
    const auto text = testing::read_file(dir_ / "printing/jobs" / (job_id + ".json"));
    return text.empty() ? "" : nlohmann::json::parse(text).value("phase", "");
  }

  const std::string kDocument = "%PDF-1.4 the document";
  logs::Capture log_;
  testing::TempDir dir_;
  std::shared_ptr<FakeScheduler> scheduler_ = std::make_shared<FakeScheduler>();
  test::DocumentServer documents_;
};

TEST_F(Lifecycle, AJobIsHeldUntilItsReleaseIsOnTheDisk) {
  std::string phase_at_release;
  std::string mark_at_release;
  bool held_with_document = false;
  scheduler_->after_document = [&](FakeJob& job) {
    held_with_document = job.held && job.document_whole;
    return SystemError{};
  };
  scheduler_->on_release = [&](FakeJob&) {
    phase_at_release = phase_on_disk("j-1");
    mark_at_release = testing::read_file(dir_ / "printing/jobs/j-1.phase");
  };
  scheduler_->complete_on_release = false;
  AgentHarness agent(settings());
  agent.handshake();
  agent.message("print", offer("j-1"));
  ASSERT_TRUE(scheduler_->wait([&] { return scheduler_->releases == 1; }));
  EXPECT_TRUE(held_with_document);
  EXPECT_EQ(phase_at_release, "releasing");
  EXPECT_EQ(mark_at_release, "R");  // the synced word
  scheduler_->finish(1, State::completed);
  EXPECT_TRUE(agent.status("j-1", "completed"));
  EXPECT_EQ(scheduler_->printed_count("qp-j-1"), 1);
}

// What a restart finds in the printing system for a job, and how the job ends.
TEST_F(Lifecycle, ARestartEndsEachJobOnceWhateverThePrintingSystemKept) {
  struct Case {
    std::string name;
    JobPhase phase;  // in the journal
    // The printing system as the crash left it; returns the job id to record
    // (0: none recorded).
    std::function<std::int64_t(FakeScheduler&, const std::string& job_name)> before;
    std::string state;  // the final status
    int printed;        // copies on paper in the end
    std::string reason = "";
    bool withdrawn = false;  // the job was cancelled held by the earlier run
  };
  const std::vector<Case> cases = {
      // Never released: nothing printed, a new copy goes.
      {"none", JobPhase::submitting, [](auto&, auto&) { return 0; }, "completed", 1},
      // Held leftovers (the document whole, or still incoming) are cancelled
      // before the new copy.
      {"held", JobPhase::submitting,
       [](FakeScheduler& s, const std::string& n) { return s.add_job(n, State::held); },
       "completed", 1},
      {"incoming", JobPhase::submitting,
       [](FakeScheduler& s, const std::string& n) {
         return s.add_job(n, State::held, {"job-incoming"});
       },
       "completed", 1},
      // Cancelled held by the earlier run, which then died: the scheduler may
      // give it a time at processing; it never printed.
      {"withdrawn", JobPhase::submitting,
       [](FakeScheduler& s, const std::string& n) {
         return s.add_job(n, State::canceled, {"job-canceled-by-user"}, 1700000000);
       },
       "completed", 1, "", true},
      // A job the printer started and a person cancelled (its files dropped):
      // its end, never a second copy.
      {"cancelled-midway", JobPhase::submitting,
       [](FakeScheduler& s, const std::string& n) {
         return s.add_job(n, State::canceled, {"job-canceled-by-user"}, 1700000000);
       },
       "cancelled", 0, "cancelled in the printing system"},
      {"aborted-midway", JobPhase::submitting,
       [](FakeScheduler& s, const std::string& n) {
         return s.add_job(n, State::aborted, {"aborted-by-system"}, 1700000000);
       },
       "failed", 0, "gave up"},
      // Released before the crash: never submitted again.
      {"releasing-held", JobPhase::releasing,
       [](FakeScheduler& s, const std::string& n) { return s.add_job(n, State::held); },
       "completed", 1},
      {"releasing-forgotten", JobPhase::releasing,
       [](FakeScheduler& s, const std::string& n) {
         const auto id = s.add_job(n, State::completed);
         s.printed.push_back(id);
         s.forgotten[id] = true;
         return id;
       },
       "unknown", 1, kUnknown},
      {"printing-forgotten", JobPhase::printing,
       [](FakeScheduler& s, const std::string& n) {
         const auto id = s.add_job(n, State::processing, {}, 1700000000);
         s.forgotten[id] = true;
         return id;
       },
       "unknown", 0, kUnknown},
      // The id names another user's job now (a reset scheduler): not ours.
      {"printing-id-reused", JobPhase::printing,
       [](FakeScheduler& s, const std::string&) {
         return s.add_job("someone-else", State::processing, {}, 1700000000);
       },
       "unknown", 0, kUnknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string job_name = printer_job_name(c.name);
    JobRecord record = journaled(c.name, c.phase);
    if (const std::int64_t id = c.before(*scheduler_, job_name)) {
      if (c.phase >= JobPhase::releasing) record.printer_job_id = id;
      if (c.withdrawn) record.withdrawn = {id};
      rewrite(record);
    }
  }
  AgentHarness agent(settings());
  agent.handshake();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto final = agent.status(c.name, c.state, 10s);
    ASSERT_TRUE(final) << phase_on_disk(c.name);
    EXPECT_NE(final->value("reason", "").find(c.reason), std::string::npos) << *final;
    const auto l = scheduler_->lock();
    EXPECT_EQ(scheduler_->printed_count(printer_job_name(c.name)), c.printed);
    // Nothing of ours is left held, and another's job is left alone.
    for (const auto& [id, job] : scheduler_->jobs) {
      if (job.job.name == printer_job_name(c.name)) {
        EXPECT_FALSE(job.held) << id;
      }
      if (job.job.name == "someone-else") {
        EXPECT_EQ(job.job.state, State::processing);
      }
    }
  }
}

TEST_F(Lifecycle, AJobThatVanishesTakesItsEndFromItsEventsOrIsUnknown) {
  scheduler_->complete_on_release = false;
  scheduler_->forget_finished = true;
  AgentHarness agent(settings());
  agent.handshake();
  struct Case {
    std::string job_id;
    State end;          // as the printer ends it
    bool events_kept;   // the subscription still holds its end
    std::string state;  // the status
  };
  const std::vector<Case> cases = {
      {"done", State::completed, true, "completed"},
      {"stopped-by-person", State::canceled, true, "cancelled"},
      {"gave-up", State::aborted, true, "failed"},
      {"no-trace", State::completed, false, "unknown"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.job_id);
    agent.message("print", offer(c.job_id));
    ASSERT_TRUE(agent.status(c.job_id, "printing"));
    std::int64_t id = 0;
    ASSERT_TRUE(scheduler_->wait([&] {
      for (const auto& [i, job] : scheduler_->jobs) {
        if (job.job.name == printer_job_name(c.job_id) && !job.held) id = i;
      }
      return id != 0;
    }));
    {
      auto l = scheduler_->lock();
      FakeJob& job = scheduler_->jobs.at(id);
      // Ended and forgotten between two polls: the poll never sees the end.
      job.job.state = c.end;
      if (c.end == State::completed) scheduler_->printed.push_back(id);
      if (c.events_kept) scheduler_->events[job.subscription] = JobOutcome{true, c.end, ""};
      scheduler_->forgotten[id] = true;
    }
    EXPECT_TRUE(agent.status(c.job_id, c.state));
    EXPECT_EQ(scheduler_->printed_count(printer_job_name(c.job_id)),
              c.end == State::completed ? 1 : 0);
  }
}

TEST_F(Lifecycle, ASubmissionCutOffAfterItsDocumentIsCancelledBeforeASecondCopy) {
  // The scheduler has the whole document, but the answer never comes (a
  // time-out on a busy scheduler): the held job is cancelled, then a copy goes.
  // Also when the job was already cancelled by the failed submission and the
  // scheduler gives it a time at processing.
  for (const bool cancelled_with_time : {false, true}) {
    SCOPED_TRACE(cancelled_with_time);
    const std::string id = cancelled_with_time ? "cut-cancelled" : "cut";
    int failures = 1;
    std::int64_t first = 0;
    scheduler_->after_document = [&](FakeJob& job) {
      if (failures-- <= 0) return SystemError{};
      first = job.job.id;
      if (cancelled_with_time) {
        job.held = false;
        job.job.state = State::canceled;
        job.job.processing_at = 1700000000;
      }
      return SystemError{SystemError::Kind::unreachable, "timed out"};
    };
    AgentHarness agent(settings());
    agent.handshake();
    agent.message("print", offer(id));
    ASSERT_TRUE(agent.status(id, "completed"));
    const auto l = scheduler_->lock();
    EXPECT_EQ(scheduler_->printed_count(printer_job_name(id)), 1);
    EXPECT_EQ(scheduler_->jobs.at(first).job.state, State::canceled);
  }
}

TEST_F(Lifecycle, WaitingJobsAreFollowedWithOneListPerPoll) {
  scheduler_->complete_on_release = false;  // as on a paused printer
  AgentHarness agent(settings());
  agent.handshake();
  constexpr int kJobs = 20;
  for (int i = 0; i < kJobs; ++i) agent.message("print", offer("w-" + std::to_string(i)));
  ASSERT_TRUE(scheduler_->wait([&] { return scheduler_->releases == kJobs; }));
  std::this_thread::sleep_for(100ms);
  {
    auto l = scheduler_->lock();
    scheduler_->polls = scheduler_->lists = 0;
  }
  std::this_thread::sleep_for(500ms);
  const auto l = scheduler_->lock();
  EXPECT_EQ(scheduler_->polls, 0);  // no request per job
  EXPECT_GE(scheduler_->lists, 1);
  EXPECT_LE(scheduler_->lists, 30);  // one per poll interval (20 ms at the least)
}

// The document server fails for a while: an outage that passes is waited out
// (the status says so) and the job prints once; a refusal that will not pass
// fails the job at once; an outage longer than the window fails it then.
TEST_F(Lifecycle, AnOutageIsWaitedOutAndARefusalIsNot) {
  struct Case {
    std::string job_id;
    std::string answer;  // during the outage; empty: the connection closes unanswered
    std::chrono::milliseconds outage;
    std::chrono::milliseconds window;
    std::string state;                 // how the job ends
    std::string reason;                // in a waiting status, or in the end's reason
    std::chrono::milliseconds gap{0};  // the least wait before the second try
  };
  const std::vector<Case> cases = {
      {"deploy", "503 Service Unavailable", 1s, 1h, "completed", "waiting: ", 0ms},
      {"crash", "500 Internal Server Error", 1s, 1h, "completed", "HTTP 500", 0ms},
      {"slow-down", "429 Too Many Requests\r\nRetry-After: 1", 1s, 1h, "completed", "HTTP 429", 1s},
      {"network", "", 1s, 1h, "completed", "waiting: ", 0ms},
      {"down-for-good", "502 Bad Gateway", 1h, 500ms, "failed", "(tried for 1 s)", 0ms},
      {"gone", "404 Not Found", 1h, 1h, "failed", "HTTP 404", 0ms},
      {"forbidden", "403 Forbidden", 1h, 1h, "failed", "HTTP 403", 0ms},
      {"no-waiting", "500 Internal Server Error", 1h, 0ms, "failed", "HTTP 500", 0ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.job_id);
    auto s = settings();
    s.timings.retry_first = 50ms;
    s.timings.retry_longest = 200ms;
    s.timings.retry_window = c.window;
    AgentHarness agent(std::move(s));
    agent.handshake();
    const auto job = offer(c.job_id);
    documents_.outage(c.job_id, c.outage, c.answer);
    agent.message("print", job);
    EXPECT_TRUE(agent.reason(c.job_id, c.reason));
    ASSERT_TRUE(agent.status(c.job_id, c.state));
    const auto asked = documents_.asked(c.job_id);
    if (c.state == "completed") {
      EXPECT_EQ(scheduler_->printed_count(printer_job_name(c.job_id)), 1);
      ASSERT_GE(asked.size(), 2u);
      EXPECT_GE(asked[1] - asked[0], c.gap);
    } else if (c.job_id != "down-for-good") {
      EXPECT_EQ(asked.size(), 1u);  // never asked again
    }
  }
}

// Offers beyond the open jobs the client takes wait, unanswered, until one
// ends; the same offer again is still one job.
TEST_F(Lifecycle, OffersBeyondTheOpenJobsWaitForRoom) {
  scheduler_->complete_on_release = false;
  auto s = settings();
  s.max_open_jobs = 2;
  AgentHarness agent(std::move(s));
  agent.handshake();
  for (const char* id : {"a", "b", "c", "c"}) agent.message("print", offer(id));
  ASSERT_TRUE(agent.status("b", "printing"));
  EXPECT_FALSE(agent.status("c", "received", 300ms));
  scheduler_->finish(1, State::completed);
  ASSERT_TRUE(agent.status("c", "printing"));
  auto l = scheduler_->lock();
  int copies = 0;
  for (const auto& [id, fake] : scheduler_->jobs) copies += fake.job.name == "qp-c";
  EXPECT_EQ(copies, 1);
}

// A long upload has a connection and a thread of its own: while it goes, the
// printers are polled and another job's cancel is carried out.
TEST_F(Lifecycle, ALongUploadHoldsUpNeitherPollsNorOtherJobs) {
  scheduler_->complete_on_release = false;
  AgentHarness agent(settings());
  agent.handshake();
  agent.message("print", offer("first"));
  ASSERT_TRUE(scheduler_->wait([&] { return scheduler_->releases == 1; }));
  std::atomic<bool> go{false};
  std::atomic<bool> started{false};
  scheduler_->uploading = [&] {
    started = true;
    while (!go) std::this_thread::sleep_for(5ms);
  };
  agent.message("print", offer("big"));
  ASSERT_TRUE(scheduler_->wait([&] { return started.load(); }));
  int lists = 0;
  {
    auto l = scheduler_->lock();
    lists = scheduler_->printer_lists;
  }
  agent.message("print.cancel", {{"jobId", "first"}});
  EXPECT_TRUE(agent.status("first", "cancelled", 5s));
  EXPECT_TRUE(scheduler_->wait([&] { return scheduler_->printer_lists > lists; }, 5s));
  go = true;
  EXPECT_TRUE(agent.status("big", "printing"));
}

}  // namespace
}  // namespace quillpost::printing
