#include "quillpost/host/runtime/crash/agent.h"

#include <ctime>
#include <thread>
#include <utility>

#include "quillpost/host/curl/transfer.h"
#include "quillpost/host/process/private_files.h"
#include "quillpost/host/process/threads.h"
#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/comms/http_exchange.h"
#include "quillpost/host/runtime/crash/report.h"
#include "quillpost/host/runtime/crash/symbols.h"

namespace quillpost::crash {

namespace {

constexpr const char* kStatusFile = "last-crash.json";

std::string utc_text(std::int64_t seconds) {
  const auto t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

// Sends `body` as JSON to `url` with the configured engine. Empty when the
// service took it (2xx), else why not.
std::string post(const CrashReportSettings& s, const std::string& body) {
  auto headers = s.headers;
  headers.emplace_back("Content-Type", "application/json");
  if (s.http_config.engine == "pycurl") {
    struct Answer : curl::Receiver {
      bool write(std::string_view bytes) override {
        return bytes.size() + seen < 65536 && (seen += bytes.size(), true);
      }
      std::size_t seen = 0;
    } answer;
    curl::Get request{s.url, headers, &s.http_config};
    request.body = body;
    request.timeout = std::chrono::seconds(30);
    const curl::Outcome outcome = curl::get(request, answer);
    if (outcome.kind == curl::Outcome::Kind::ok && outcome.status / 100 == 2) return {};
    if (outcome.status != 0) return "HTTP " + std::to_string(outcome.status);
    return curl::failure_text(outcome, s.http_config, false);
  }
  comms::HttpRequest request;
  request.method = "POST";
  request.url = s.url;
  request.headers = headers;
  request.body = body;
  request.timeout = std::chrono::seconds(30);
  request.max_body = 65536;
  try {
    const comms::HttpAnswer answer = comms::http_exchange(request, s.http_config);
    if (answer.status / 100 == 2) return {};
    return "HTTP " + std::to_string(answer.status);
  } catch (const std::exception& e) {
    return e.what();
  }
}

// Symbolises and sends one report file; removes it once the service took it
// (or when it is no report at all).
CrashReportAgent::SendOutcome send_one(const CrashReportSettings& s,
                                       const std::filesystem::path& file,
                                       const logs::Logger& logger) {
  CrashReportAgent::SendOutcome outcome;
  outcome.file = file.filename().string();
  std::optional<CrashReport> report;
  try {
    const auto text = read_private_file(file, MAX_REPORT_BYTES);
    if (text && text->size() <= MAX_REPORT_BYTES) report = parse_crash_report(*text);
  } catch (const std::exception& e) {
    outcome.why = e.what();
    return outcome;
  }
  if (!report) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
    outcome.why = "not a crash report; removed";
    return outcome;
  }
  outcome.time = report->time;
  outcome.signal_name = report->signal_name;
  std::vector<SymbolisedFrame> frames = frames_of(*report);
  try {
    symbolise(*report, frames);
  } catch (const ModuleError& e) {
    logger.warning("Crash report %s goes without function names: %s", outcome.file, e.what());
  }
  outcome.why = post(s, crash_report_json(*report, frames).dump());
  if (outcome.why.empty()) {
    outcome.sent = true;
    std::error_code ec;
    std::filesystem::remove(file, ec);
  }
  return outcome;
}

}  // namespace

std::string CrashStatus::when() const {
  if (!time) return {};
  return utc_text(*time) + " (" + (signal_name.empty() ? "signal" : signal_name) + ")";
}

std::string CrashStatus::text() const {
  if (!time) return {};
  return when() + "; report " + (sent ? "sent" : "kept, not sent");
}

CrashReportAgent::CrashReportAgent(CrashReportSettings settings)
    : settings_(std::move(settings)), logger_(agent::create_logger("crash_reports")) {}

void CrashReportAgent::before() {
  // What the last start knew.
  try {
    if (auto text = read_private_file(settings_.dir / kStatusFile, 4096);
        text && text->size() <= 4096) {
      const auto json = nlohmann::json::parse(*text, nullptr, false);
      if (json.is_object() && json.value("time", nlohmann::json()).is_number_integer()) {
        status_.time = json["time"].get<std::int64_t>();
        const auto signal = json.value("signal", std::string());
        status_.signal_name = signal.size() <= 16 ? signal : std::string();
        status_.sent = json.value("sent", false);
      }
    }
  } catch (const std::exception& e) {
    logger_.warning("Cannot read the last crash's record: %s", e.what());
  }

  std::vector<std::filesystem::path> files = crash_report_files(settings_.dir);
  while (files.size() > MAX_KEPT_REPORTS) {
    std::error_code ec;
    std::filesystem::remove(files.front(), ec);
    logger_.info("Crash report %s removed: only the %s newest are kept",
                 files.front().filename().string(), std::to_string(MAX_KEPT_REPORTS));
    files.erase(files.begin());
  }
  if (!files.empty()) {
    // The newest report is the last crash, whatever the record says.
    try {
      if (const auto text = read_private_file(files.back(), MAX_REPORT_BYTES)) {
        if (const auto report = parse_crash_report(*text)) {
          status_ = CrashStatus{report->time, report->signal_name, false};
          save_status();
        }
      }
    } catch (const std::exception& e) {
      logger_.warning("Cannot read crash report %s: %s", files.back().filename().string(),
                      e.what());
    }
    const std::string line =
        "The last run crashed at " + status_.when() +
        (settings_.send ? ". Sending its report." : ". Its report is kept and not sent.");
    channel(std::string(core::CoreAgent::name))
        .send(core::LOG_TO_GUI, GuiLog{GuiLogEvent::CRASH_REPORT, line});
    if (!settings_.send) {
      logger_.info("%s crash report(s) kept in %s; sending them is off (send_crash_report)",
                   std::to_string(files.size()), settings_.dir.string());
    } else {
      const agent::Mailbox mailbox =
          context().system_ref->get_mailbox(context().agent_ref, "crash reports");
      start_thread([settings = settings_, files, mailbox, logger = logger_] {
        for (const auto& file : files) mailbox.send(DONE, send_one(settings, file, logger));
      }).detach();
    }
  }
  publish();
}

void CrashReportAgent::receive(const std::string& event, const agent::Payload& payload) {
  if (event != DONE) return;
  const auto& outcome = agent::payload_as<SendOutcome>(payload);
  if (!outcome.sent) {
    logger_.warning("Crash report %s not sent: %s", outcome.file, outcome.why);
    return;
  }
  logger_.info("Crash report %s sent to the service and removed", outcome.file);
  if (status_.time && *status_.time == outcome.time) {
    status_.sent = true;
    save_status();
    channel(std::string(core::CoreAgent::name))
        .send(core::LOG_TO_GUI, GuiLog{GuiLogEvent::CRASH_REPORT,
                                       "The report of the crash at " + status_.text() + "."});
    publish();
  }
}

void CrashReportAgent::save_status() {
  if (!status_.time) return;
  try {
    write_file_atomically(
        settings_.dir / kStatusFile,
        nlohmann::json{
            {"time", *status_.time}, {"signal", status_.signal_name}, {"sent", status_.sent}}
            .dump());
  } catch (const std::exception& e) {
    logger_.warning("Cannot record the last crash: %s", e.what());
  }
}

void CrashReportAgent::publish() {
  channel(std::string(agent::PubSubAgent::name))
      .send(agent::PubSubAgent::PUBLISH, agent::publication(CRASH_STATUS, status_));
}

}  // namespace quillpost::crash
