// The crash reports agent, registered as "crash_reports": at start it looks
// for reports a crashed run left in the settings directory
// (process/crash_handler.h). With `send` it symbolises each (the libdw
// module, opened only then), sends it with POST /v1/crash-reports through the
// configured engine and proxy, and removes it once the service took it; a
// report that could not be sent stays for the next start. Without `send` the
// reports stay on the disk, unsent. At most MAX_KEPT_REPORTS are kept.
//
// What it knows of the last crash (when, which signal, sent or not) is kept
// in `last-crash.json` beside the reports and published through "pubsub"
// under CRASH_STATUS (payload CrashStatus) for the status page and the window.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/comms/defs.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/logging/logs.h"

namespace quillpost::crash {

inline constexpr std::string_view CRASH_STATUS = "crash_status";

struct CrashStatus {
  std::optional<std::int64_t> time;  // the last crash, seconds since 1970; none: no crash known
  std::string signal_name;
  bool sent = false;
  // "2026-12-10 13:40:12 UTC (SIGSEGV)"; empty when no crash is known.
  std::string when() const;
  // when() and "; report sent" or "; report kept, not sent".
  std::string text() const;
};

struct CrashReportSettings {
  std::filesystem::path dir;  // the reports' folder
  bool send = false;
  std::string url;  // POST target
  HttpConfig http_config;
  std::vector<std::pair<std::string, std::string>> headers;
};

class CrashReportAgent : public agent::SimpleAgent {
 public:
  static constexpr std::string_view name = "crash_reports";
  static constexpr std::string_view DONE = "crash_report_done";  // payload: SendOutcome

  struct SendOutcome {
    std::string file;
    std::int64_t time = 0;
    std::string signal_name;
    bool sent = false;
    std::string why;  // when not sent
  };

  explicit CrashReportAgent(CrashReportSettings settings);

  void before() override;
  void receive(const std::string& event, const agent::Payload& payload) override;

 private:
  void save_status();
  void publish();

  CrashReportSettings settings_;
  logs::Logger logger_;
  CrashStatus status_;
};

}  // namespace quillpost::crash
