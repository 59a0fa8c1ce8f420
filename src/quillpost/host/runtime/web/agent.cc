#include "quillpost/host/runtime/web/agent.h"

#include <utility>

#include "quillpost/host/comms/defs.h"
#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/clock/agent.h"
#include "quillpost/host/runtime/crash/agent.h"
#include "quillpost/host/runtime/printing/overview.h"
#include "quillpost/host/runtime/scales/agent.h"

namespace quillpost::web {

WebInterfaceAgent::WebInterfaceAgent(std::shared_ptr<StatusBoard> board)
    : board_(std::move(board)), logger_(agent::create_logger("web_interface")) {}

void WebInterfaceAgent::before() {
  const agent::Channel pubsub = channel(std::string(agent::PubSubAgent::name));
  pubsub.send(agent::PubSubAgent::SUBSCRIBE, comms::UPDATE_CONNECTION);
  pubsub.send(agent::PubSubAgent::SUBSCRIBE, core::UPDATE_ACCOUNT);
  pubsub.send(agent::PubSubAgent::SUBSCRIBE, printing::PRINTING_OVERVIEW);
  pubsub.send(agent::PubSubAgent::SUBSCRIBE, scales::SCALES_OVERVIEW);
  pubsub.send(agent::PubSubAgent::SUBSCRIBE, clock::CLOCK_STATUS);
  pubsub.send(agent::PubSubAgent::SUBSCRIBE, crash::CRASH_STATUS);
}

void WebInterfaceAgent::receive(const std::string& event, const agent::Payload& payload) {
  if (event == comms::UPDATE_CONNECTION) {
    board_->update_connection(agent::payload_as<comms::Connection>(payload));
  } else if (event == core::LOG_TO_GUI) {
    board_->add_gui_log(agent::payload_as<GuiLog>(payload));
  } else if (event == printing::PRINTING_OVERVIEW) {
    board_->update_printing(agent::payload_as<printing::PrintingOverview>(payload));
  } else if (event == scales::SCALES_OVERVIEW) {
    board_->update_scales(agent::payload_as<nlohmann::json>(payload));
  } else if (event == clock::CLOCK_STATUS) {
    board_->set_host_line("clock",
                          clock::status_line(agent::payload_as<clock::ClockStatus>(payload)));
  } else if (event == crash::CRASH_STATUS) {
    board_->set_host_line("last_crash", agent::payload_as<crash::CrashStatus>(payload).text());
  } else if (event == core::UPDATE_ACCOUNT) {
    // The update carries the account, or an optional one (none: logged out).
    // Another kind of record carries nothing the board shows.
    if (const auto* account = std::any_cast<Account>(&payload)) {
      board_->update_account(*account);
    } else if (const auto* maybe = std::any_cast<std::optional<Account>>(&payload);
               maybe && *maybe) {
      board_->update_account(**maybe);
    }
  } else {
    logger_.debug("web interface ignores the message %s", event);
  }
}

}  // namespace quillpost::web
