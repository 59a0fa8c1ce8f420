// The printing agent's messages, the link and the printers. The jobs are in
// jobs.cc.
#include "quillpost/host/runtime/printing/agent.h"

#include <algorithm>

#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/printing/clean_text.h"

namespace quillpost::printing {
namespace {

constexpr std::string_view PROBE = "printing_probe";
constexpr std::string_view PRINTERS_FLUSH = "printing_printers_flush";

}  // namespace

PrintingAgent::PrintingAgent(PrintingSettings settings)
    : settings_(std::move(settings)),
      journal_(settings_.dir),
      logger_(agent::create_logger("printing")),
      link_(settings_.account) {}

PrintingAgent::~PrintingAgent() {
  // The worker first: it may be streaming a document from a file.
  worker_.reset();
  for (auto& [id, run] : runs_) {
    if (run.download) run.download->cancel();
  }
  for (auto& [id, run] : runs_) {
    if (run.thread.joinable()) run.thread.join();
  }
}

agent::Mailbox PrintingAgent::mailbox() {
  return context().system_ref->get_mailbox(context().agent_ref, "printing");
}

void PrintingAgent::before() {
  pubsub_ = channel(std::string(agent::PubSubAgent::name));
  pubsub_.send(agent::PubSubAgent::SUBSCRIBE, comms::UPDATE_CONNECTION);
  pubsub_.send(agent::PubSubAgent::SUBSCRIBE, comms::SERVER_MESSAGE);
  pubsub_.send(agent::PubSubAgent::SUBSCRIBE, core::HTTP_CONFIG_UPDATE);
  pubsub_.send(agent::PubSubAgent::SUBSCRIBE, core::UPDATE_ACCOUNT);
  load_journal();
  probe();
  advance();
  publish_overview();
}

void PrintingAgent::receive(const std::string& event, const agent::Payload& payload) {
  using agent::payload_as;
  if (event == comms::UPDATE_CONNECTION) {
    connection(payload_as<comms::Connection>(payload));
  } else if (event == comms::SERVER_MESSAGE) {
    server_message(payload_as<comms::ServerMessage>(payload));
  } else if (event == core::HTTP_CONFIG_UPDATE) {
    settings_.http_config = payload_as<HttpConfig>(payload);
  } else if (event == core::UPDATE_ACCOUNT) {
    const auto* account = std::any_cast<Account>(&payload);
    account_update(account ? std::optional<Account>(*account)
                           : payload_as<std::optional<Account>>(payload));
  } else if (event == PROBE) {
    probe();
  } else if (event == PRINTERS_FLUSH) {
    printers_flush_armed_ = false;
    send_printers(false);
  } else if (event == PRINTERS_POLLED) {
    printers_polled(payload_as<PrintersReport>(payload));
  } else if (event == JOB_CREATED) {
    job_created(payload_as<JobCreated>(payload));
  } else if (event == JOB_SUBMITTED) {
    job_submitted(payload_as<JobSubmitted>(payload));
  } else if (event == JOB_POLLED) {
    job_polled(payload_as<JobPolled>(payload));
  } else if (event == JOBS_FOUND) {
    jobs_found(payload_as<JobsFound>(payload));
  } else if (event == JOB_RELEASED) {
    job_released(payload_as<JobReleased>(payload));
  } else if (event == JOB_OUTCOME) {
    outcome_read(payload_as<JobOutcomeRead>(payload));
  } else if (event == SYSTEM_UNUSABLE) {
    system_ = System::unusable;
    system_error_ = payload_as<std::string>(payload);
    logger_.error("The printing system cannot be used: %s", system_error_);
    printers_known_ = true;
    send_printers(false);
  } else {
    receive_job_event(event, payload);
  }
  take_deferred();
  advance();
  publish_overview();
}

void PrintingAgent::load_journal() {
  try {
    auto loaded = journal_.load();
    journal_ok_ = true;
    unreadable_ = std::move(loaded.unreadable);
    inaccessible_ = std::move(loaded.inaccessible);
    std::vector<std::pair<std::int64_t, std::string>> order;
    for (auto& [id, record] : loaded.jobs) {
      Run& run = runs_[id];
      run.reported = is_final(record.phase);
      // A download or check cut off by the end of the last run starts over;
      // a document found on disk is checked again before it is printed.
      if (record.phase == JobPhase::downloading) record.phase = JobPhase::received;
      if (record.phase == JobPhase::downloaded || record.phase == JobPhase::submitting) {
        run.verify = true;
      }
      order.emplace_back(record.received_at, id);
    }
    jobs_ = std::move(loaded.jobs);
    std::sort(order.begin(), order.end());
    for (auto& [at, id] : order) order_.push_back(std::move(id));
    // Documents of jobs that are gone or over (and not kept) are removed.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(journal_.documents_dir(), ec)) {
      const std::optional<std::string> id = journal_.document_job_id(entry.path().filename());
      if (id && (inaccessible_.contains(*id) || unreadable_.contains(*id))) continue;
      const auto it = id ? jobs_.find(*id) : jobs_.end();
      if (it == jobs_.end() || (is_final(it->second.phase) && !settings_.retain_documents)) {
        std::filesystem::remove(entry.path(), ec);
      }
    }
    if (!jobs_.empty()) logger_.info("Print jobs in the journal: %d", jobs_.size());
  } catch (const std::exception& e) {
    journal_error_ = e.what();
    logger_.error("The print job journal cannot be used: %s", journal_error_);
  }
}

void PrintingAgent::probe() {
  if (worker_) return;
  const std::optional<std::string> server = find_print_server(settings_.getenv);
  if (!server) {
    if (!printers_known_) {
      printers_known_ = true;
      send_printers(false);
    }
    send_self(PROBE, std::chrono::duration<double>(settings_.timings.probe).count());
    return;
  }
  logger_.info("Printing system found at %s", *server);
  system_ = System::starting;
  PrintSystemSettings system_settings;
  system_settings.server = *server;
  worker_ = std::make_unique<PrintWorker>(mailbox(), system_settings, settings_.timings.worker,
                                          settings_.maker);
}

void PrintingAgent::connection(const comms::Connection& connection) {
  follow_link(link_.connection(connection));
}

void PrintingAgent::account_update(const std::optional<Account>& account) {
  follow_link(link_.account(account));
}

void PrintingAgent::follow_link(agent::LinkWatch::Change change) {
  if (change == agent::LinkWatch::Change::up) link_up();
  if (change == agent::LinkWatch::Change::down) printer_updates_.reset();
}

void PrintingAgent::link_up() {
  send_printers(true);
  for (const std::string& id : order_) {
    JobRecord& record = jobs_.at(id);
    if (!runs_[id].reported) report(record);
  }
}

void PrintingAgent::server_message(const comms::ServerMessage& message) {
  if (message.event == "print") {
    offer(message.payload);
  } else if (message.event == "print.cancel") {
    cancel_request(message.payload);
  }
}

void PrintingAgent::printers_polled(const PrintersReport& report) {
  ++printers_generation_;
  if (report.error) {
    if (system_ != System::unreachable) {
      logger_.warning("The printing system does not answer: %s", report.error.text);
    }
    system_ = System::unreachable;
    system_error_ = report.error.text;
    // The printers are still there, but cannot be reached now.
    for (Printer& printer : printers_) {
      printer.state = PrinterState::stopped;
      printer.accepting_jobs = false;
      printer.state_reasons = {std::string(OFFLINE_REASON)};
    }
    for (auto& [id, run] : runs_) run.cancel_sent = false;
  } else {
    if (system_ != System::reachable) logger_.info("The printing system answers");
    system_ = System::reachable;
    system_error_.clear();
    system_printers_ = report.printers;
    printers_ = merge_printers(printers_, report.printers, settings_.keep_removed_printers);
  }
  printers_known_ = true;
  send_printers(false);
  // A stopped or resumed printer changes what its waiting jobs say.
  for (const std::string& id : order_) {
    JobRecord& record = jobs_.at(id);
    Run& run = runs_[id];
    if (record.phase == JobPhase::printing && run.system_job) {
      set_reason(record, printing_reason(record, *run.system_job));
    }
  }
}

void PrintingAgent::send_printers(bool always) {
  if (!printers_known_ || !link_ready()) return;
  if (always) printer_updates_.reset();
  const nlohmann::json payload = printers_payload(printers_);
  if (payload["truncated"] != truncation_logged_) {
    truncation_logged_ = payload["truncated"].get<bool>();
    if (truncation_logged_) {
      logger_.warning(
          "The printer list is cut to what one message carries (%d of %d printers, "
          "at most %d entries a list)",
          payload["printers"].size(), printers_.size(), MAX_LIST_ENTRIES);
    }
  }
  const auto now = PrinterUpdates::Clock::now();
  auto update = printer_updates_.update(payload, now);
  for (auto& message : update.messages) send_server(message.event, std::move(message.payload));
  if (update.call_again && !printers_flush_armed_) {
    printers_flush_armed_ = true;
    send_self(PRINTERS_FLUSH,
              std::chrono::duration<double>(*update.call_again - now).count() + 0.001);
  }
}

void PrintingAgent::send_server(std::string_view event, nlohmann::json payload) {
  pubsub_.send(agent::PubSubAgent::PUBLISH,
               agent::publication(core::SEND_SERVER,
                                  agent::Message{std::string(event), std::move(payload), {}}));
}

std::string PrintingAgent::system_text() const {
  switch (system_) {
    case System::absent:
      return "no printing system runs on this computer";
    case System::starting:
      return "connecting to the printing system";
    case System::reachable:
      return "ready";
    case System::unreachable:
      return "the printing system does not answer: " + system_error_;
    case System::unusable:
      return "the printing system cannot be used: " + system_error_;
  }
  return "";
}

void PrintingAgent::publish_overview() {
  PrintingOverview overview;
  overview.system = clean_text(system_text(), 1024);
  overview.printers = printers_;
  std::vector<const JobRecord*> recent;
  for (const auto& [id, record] : jobs_) recent.push_back(&record);
  std::sort(recent.begin(), recent.end(), [](const JobRecord* a, const JobRecord* b) {
    return a->updated_at != b->updated_at ? a->updated_at > b->updated_at
                                          : a->received_at > b->received_at;
  });
  for (const JobRecord* record : recent) {
    if (overview.jobs.size() >= PrintingOverview::MAX_JOBS) break;
    overview.jobs.push_back(JobLine{record->offer.job_id, record->offer.title,
                                    record->offer.printer,
                                    std::string(wire_state(record->phase, record->printer_job_id)),
                                    clean_text(record->reason, 1024), record->updated_at});
  }
  if (overview_sent_ && *overview_sent_ == overview) return;
  overview_sent_ = overview;
  pubsub_.send(agent::PubSubAgent::PUBLISH,
               agent::publication(PRINTING_OVERVIEW, std::move(overview)));
}

}  // namespace quillpost::printing
