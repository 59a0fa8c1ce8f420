// The libcups module against a real private scheduler: what it lists, what
// reaches the printer, and how each refusal and outage comes back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "quillpost/host/runtime/printing/job.h"
#include "quillpost/host/runtime/printing/print_system.h"
#include "quillpost/host/runtime/printing/worker.h"
#include "support/cups_scheduler.h"
#include "support/temp_dir.h"

namespace quillpost::printing {
namespace {

using namespace std::chrono_literals;
using testing::CupsScheduler;
using Kind = SystemError::Kind;

class CupsSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!CupsScheduler::available()) GTEST_SKIP() << "needs root and cupsd";
    cups_ = std::make_unique<CupsScheduler>();
    PrintSystemSettings settings;
    settings.server = cups_->socket();
    settings.io_timeout = 2s;
    std::string error;
    system_ = PrintWorker::open_module(settings, error);
    ASSERT_TRUE(system_) << error;
  }

  std::filesystem::path document(const std::string& bytes) {
    const auto path = dir_ / "document";
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  SubmitRequest request(const std::string& printer, const std::string& bytes) {
    SubmitRequest r;
    r.printer = printer;
    r.job_name = printer_job_name("t-1");
    r.title = "A title";
    r.document_format = "application/octet-stream";
    r.document = document(bytes);
    return r;
  }

  // Polls until the job is final; its last state.
  SystemJob wait_final(std::int64_t id) {
    SystemJob job;
    for (int i = 0; i < 500; ++i) {
      if (!system_->job(id, job) && is_final(job.state)) break;
      std::this_thread::sleep_for(10ms);
    }
    return job;
  }

  testing::TempDir dir_;
  std::unique_ptr<CupsScheduler> cups_;
  std::unique_ptr<PrintSystem> system_;
  std::atomic<bool> stop_{false};
};

TEST_F(CupsSystemTest, ListsThePrintersWithTheirStateAndCapabilities) {
  ASSERT_EQ(cups_->admin("cupsdisable -r 'paper jam' Lab").status, 0);
  ASSERT_EQ(cups_->admin("cupsreject Lab").status, 0);
  std::vector<Printer> printers;
  ASSERT_FALSE(system_->printers(printers));
  ASSERT_EQ(printers.size(), 2u);
  const Printer& desk = printers[0].name == "Desk" ? printers[0] : printers[1];
  const Printer& lab = printers[0].name == "Desk" ? printers[1] : printers[0];
  EXPECT_TRUE(desk.is_default);
  EXPECT_EQ(desk.description, "Desk queue");
  EXPECT_EQ(desk.location, "Room Desk");
  EXPECT_EQ(desk.state, PrinterState::idle);
  EXPECT_TRUE(desk.accepting_jobs);
  // A raw queue reports copies and formats, and nothing about media, sides or colour.
  ASSERT_TRUE(desk.capabilities.copies);
  EXPECT_EQ(desk.capabilities.copies->first, 1);
  ASSERT_TRUE(desk.capabilities.document_formats);
  EXPECT_NE(std::find(desk.capabilities.document_formats->begin(),
                      desk.capabilities.document_formats->end(), "application/pdf"),
            desk.capabilities.document_formats->end());
  EXPECT_FALSE(desk.capabilities.media);
  EXPECT_FALSE(lab.is_default);
  EXPECT_EQ(lab.state, PrinterState::stopped);
  EXPECT_EQ(lab.state_reasons, std::vector<std::string>{"paused"});
  EXPECT_FALSE(lab.accepting_jobs);
}

TEST_F(CupsSystemTest, TheExactBytesAndTheOptionsReachThePrinter) {
  std::string bytes(300000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) % 256);
  SubmitRequest r = request("Desk", bytes);
  r.copies = 2;
  r.options = {"iso_a4_210x297mm", "two-sided-long-edge", "monochrome", "1-2,5"};
  CreatedJob created;
  std::int64_t id = 0;
  ASSERT_FALSE(system_->submit(
      r, [&](const CreatedJob& c) { created = c; }, stop_, id));
  EXPECT_EQ(created.id, id);
  EXPECT_GT(created.subscription, 0);
  // Held with its whole document until released.
  SystemJob held;
  ASSERT_FALSE(system_->job(id, held));
  EXPECT_EQ(held.state, SystemJob::State::held);
  EXPECT_EQ(held.uuid, created.uuid);
  EXPECT_TRUE(held.uuid.starts_with("urn:uuid:")) << held.uuid;
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(cups_->captured("Desk").empty());
  ASSERT_FALSE(system_->release(id));
  const SystemJob job = wait_final(id);
  EXPECT_EQ(job.state, SystemJob::State::completed);
  EXPECT_EQ(job.name, "qp-t-1");
  EXPECT_GE(job.documents, 1);
  EXPECT_EQ(cups_->captured("Desk").at(id), bytes);
  const auto args = cups_->captured_args("Desk", id);
  ASSERT_EQ(args.size(), 5u);
  EXPECT_EQ(args[2], "qp-t-1");
  EXPECT_EQ(args[3], "2");
  for (const char* option : {"media=iso_a4_210x297mm", "sides=two-sided-long-edge",
                             "print-color-mode=monochrome", "page-ranges=1-2,5"}) {
    EXPECT_NE(args[4].find(option), std::string::npos) << option << " in " << args[4];
  }
  // Found again by its name, finished jobs included.
  std::vector<SystemJob> found;
  ASSERT_FALSE(system_->find_jobs("qp-t-1", found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, id);
  EXPECT_GE(found[0].documents, 1);
}

TEST_F(CupsSystemTest, AForgottenJobsEndIsReadFromItsEvents) {
  // A scheduler that drops every finished job from its list at once.
  cups_.reset();
  cups_ = std::make_unique<CupsScheduler>(
      CupsScheduler::Options{{"Desk", "Lab"}, {"PreserveJobHistory No", "PreserveJobFiles No"}});
  PrintSystemSettings settings;
  settings.server = cups_->socket();
  std::string error;
  system_ = PrintWorker::open_module(settings, error);
  ASSERT_TRUE(system_) << error;
  CreatedJob created;
  std::int64_t id = 0;
  ASSERT_FALSE(system_->submit(
      request("Desk", "forgotten"), [&](const CreatedJob& c) { created = c; }, stop_, id));
  ASSERT_FALSE(system_->release(id));
  SystemJob job;
  for (int i = 0; i < 500 && !system_->job(id, job); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(system_->job(id, job).kind, Kind::not_found);
  // Reading leaves the events for a reader that dies before it records
  // them; only unsubscribe ends them.
  for (int read = 0; read < 2; ++read) {
    JobOutcome outcome;
    ASSERT_FALSE(system_->outcome(created.subscription, id, outcome));
    EXPECT_TRUE(outcome.known);
    EXPECT_EQ(outcome.state, SystemJob::State::completed);
  }
  system_->unsubscribe(created.subscription);
  JobOutcome outcome;
  EXPECT_EQ(system_->outcome(created.subscription, id, outcome).kind, Kind::not_found);
}

TEST_F(CupsSystemTest, ASubmissionStoppedMidwayLeavesNothingPrinted) {
  SubmitRequest r = request("Desk", std::string(4 << 20, 'x'));
  std::int64_t id = 0;
  const SystemError error = system_->submit(
      r, [&](const CreatedJob&) { stop_.store(true); }, stop_, id);
  EXPECT_EQ(error.kind, Kind::stopped);
  ASSERT_GT(id, 0);
  std::vector<SystemJob> found;
  ASSERT_FALSE(system_->find_jobs("qp-t-1", found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].documents, 0);
  EXPECT_FALSE(system_->cancel(id));
  EXPECT_EQ(wait_final(id).state, SystemJob::State::canceled);
  EXPECT_TRUE(cups_->captured("Desk").empty());
}

TEST_F(CupsSystemTest, RefusalsAndOutagesComeBackAsTheirKinds) {
  ASSERT_EQ(cups_->admin("cupsreject Lab").status, 0);
  std::int64_t id = 0;
  const auto run = [&](const SubmitRequest& r) {
    return system_->submit(
        r, [](const CreatedJob&) {}, stop_, id);
  };
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(run(request("Nowhere", "x")).kind, Kind::no_printer);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_EQ(run(request("Lab", "x")).kind, Kind::not_accepting);
  SubmitRequest missing = request("Desk", "x");
  missing.document = dir_ / "missing";
  EXPECT_EQ(run(missing).kind, Kind::document);
  SystemJob job;
  EXPECT_EQ(system_->job(999999, job).kind, Kind::not_found);

  cups_->stop();
  std::vector<Printer> printers;
  EXPECT_EQ(system_->printers(printers).kind, Kind::unreachable);
  EXPECT_EQ(run(request("Desk", "x")).kind, Kind::unreachable);
  // Back again: the same system reconnects by itself.
  cups_->start();
  EXPECT_FALSE(system_->printers(printers));
  EXPECT_EQ(printers.size(), 2u);
}

}  // namespace
}  // namespace quillpost::printing
