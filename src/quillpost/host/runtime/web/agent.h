// The web interface's agent: keeps the status board up to date from the
// application's messages.
//
// In `before` it subscribes through "pubsub" to the connection status
// (comms::UPDATE_CONNECTION, payload comms::Connection) and to account changes
// (core::UPDATE_ACCOUNT, payload Account) and to the printers and print jobs
// (printing::PRINTING_OVERVIEW, payload printing::PrintingOverview). GUI log entries reach it as
// core::LOG_TO_GUI messages (payload GuiLog), sent by WebInterface::report_gui_log.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "quillpost/host/agent/agent.h"
#include "quillpost/host/runtime/web/status.h"

namespace quillpost::web {

class WebInterfaceAgent : public agent::SimpleAgent {
 public:
  static constexpr std::string_view name = "web_interface";

  explicit WebInterfaceAgent(std::shared_ptr<StatusBoard> board);

  void before() override;
  void receive(const std::string& event, const agent::Payload& payload) override;

 private:
  std::shared_ptr<StatusBoard> board_;
  logs::Logger logger_;
};

}  // namespace quillpost::web
