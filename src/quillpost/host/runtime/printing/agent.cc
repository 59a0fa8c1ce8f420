// The printing agent's messages, the link, the offers and the printers. The
// jobs are the JobLifecycle's (job_lifecycle.cc).
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
      logger_(agent::create_logger("printing")),
      link_(settings_.account) {}

PrintingAgent::~PrintingAgent() {
  // The worker first: it may be streaming a document from a file.
  // The downloads stop when the jobs go, after it.
  worker_.reset();
  jobs_.set_system({});
}

agent::Mailbox PrintingAgent::mailbox() {
  return context().system_ref->get_mailbox(context().agent_ref, "printing");
}

void PrintingAgent::send_status(nlohmann::json status) {
  send_server("print.status", std::move(status));
}

void PrintingAgent::schedule(std::string_view event, agent::Payload payload, double seconds) {
  send_self(event, std::move(payload), seconds);
}

void PrintingAgent::set_system(System system, std::string error) {
  system_ = system;
  system_error_ = std::move(error);
  jobs_.set_system(
      {worker_.get(), system_ == System::reachable, system_ == System::unreachable, system_text()});
}

void PrintingAgent::before() {
  pubsub_ = channel(std::string(agent::PubSubAgent::name));
  pubsub_.send(agent::PubSubAgent::SUBSCRIBE, comms::UPDATE_CONNECTION);
  pubsub_.send(agent::PubSubAgent::SUBSCRIBE, comms::SERVER_MESSAGE);
  pubsub_.send(agent::PubSubAgent::SUBSCRIBE, core::HTTP_CONFIG_UPDATE);
  pubsub_.send(agent::PubSubAgent::SUBSCRIBE, core::UPDATE_ACCOUNT);
  jobs_.load();
  probe();
  jobs_.advance();
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
  } else if (event == SYSTEM_UNUSABLE) {
    set_system(System::unusable, payload_as<std::string>(payload));
    logger_.error("The printing system cannot be used: %s", system_error_);
    printers_known_ = true;
    send_printers(false);
  } else if (!jobs_.receive(event, payload)) {
    logger_.debug("printing ignores the message %s", event);
  }
  take_deferred();
  jobs_.advance();
  publish_overview();
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
  PrintSystemSettings system_settings;
  system_settings.server = *server;
  worker_ = std::make_unique<PrintWorker>(mailbox(), system_settings, settings_.timings.worker,
                                          settings_.maker);
  set_system(System::starting, "");
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
  jobs_.link_up();
}

void PrintingAgent::server_message(const comms::ServerMessage& message) {
  if (message.event == "print") {
    offer(message.payload);
  } else if (message.event == "print.cancel") {
    jobs_.cancel_request(message.payload);
  }
}

void PrintingAgent::printers_polled(const PrintersReport& report) {
  if (report.error) {
    if (system_ != System::unreachable) {
      logger_.warning("The printing system does not answer: %s", report.error.text);
    }
    set_system(System::unreachable, report.error.text);
    // The printers are still there, but cannot be reached now.
    for (Printer& printer : printers_) {
      printer.state = PrinterState::stopped;
      printer.accepting_jobs = false;
      printer.state_reasons = {std::string(OFFLINE_REASON)};
    }
  } else {
    if (system_ != System::reachable) logger_.info("The printing system answers");
    set_system(System::reachable, "");
    printers_ = merge_printers(printers_, report.printers, settings_.keep_removed_printers);
  }
  printers_known_ = true;
  send_printers(false);
  jobs_.printers_polled(report);
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

void PrintingAgent::offer(const nlohmann::json& payload) {
  auto parsed = parse_offer(payload);
  if (jobs_.answer_known(parsed)) return;
  if (const auto* o = std::get_if<JobOffer>(&parsed);
      o && jobs_.open_jobs() >= settings_.max_open_jobs) {
    // Not a failure: the job waits, unanswered, until one of those ends. An
    // offer made again (after a handshake: perhaps a new URL) replaces it.
    const auto known = std::find_if(deferred_.begin(), deferred_.end(),
                                    [&](const auto& entry) { return entry.first == o->job_id; });
    if (known != deferred_.end()) {
      known->second = offer_json(*o);
      return;
    }
    if (deferred_.size() >= MAX_DEFERRED_OFFERS) {
      logger_.warning(
          "Print job %s is left for later: the client has %d jobs open and %d more "
          "waiting; the service offers it again after the next handshake",
          o->job_id, settings_.max_open_jobs, deferred_.size());
      return;
    }
    logger_.warning("Print job %s waits: the client has %d jobs open", o->job_id,
                    settings_.max_open_jobs);
    // The checked offer, not the frame: its size is bounded by the offer's own limits.
    deferred_.emplace_back(o->job_id, offer_json(*o));
    return;
  }
  jobs_.take(std::move(parsed));
}

void PrintingAgent::take_deferred() {
  while (!deferred_.empty() && jobs_.open_jobs() < settings_.max_open_jobs) {
    const nlohmann::json payload = std::move(deferred_.front().second);
    deferred_.pop_front();
    offer(payload);
  }
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
  for (const auto& [id, record] : jobs_.jobs()) recent.push_back(&record);
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
