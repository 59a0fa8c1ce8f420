#include "quillpost/host/runtime/agent/core.h"

#include <exception>

#include "quillpost/host/runtime/agent/pubsub.h"

namespace quillpost::core {

CoreAgent::CoreAgent(std::function<void(const GuiLog&)> report_gui_log,
                     std::shared_ptr<AccountStore> accounts)
    : report_gui_log_(std::move(report_gui_log)),
      accounts_(std::move(accounts)),
      logger_(agent::create_logger("core")) {}

void CoreAgent::before() {
  pubsub_ = channel(std::string(agent::PubSubAgent::name));
}

void CoreAgent::receive(const std::string& event, const agent::Payload& payload) {
  if (event == LOG_TO_GUI) {
    report_gui_log_(agent::payload_as<GuiLog>(payload));
  } else if (event == REQUEST_LOGOUT) {
    const auto& request = agent::payload_as<LogoutRequest>(payload);
    logger_.info("logout requested: %s", request.reason);
    publish_account(accounts_->logout(request.reason));
  } else if (event == UPDATE_ACCOUNT) {
    // The application goes on with the new account even when it cannot be
    // kept (a full disk): the client and the other agents must hear of it.
    try {
      accounts_->save(payload);
    } catch (const std::exception& e) {
      logger_.error("The account could not be saved: %s", e.what());
    }
    publish_account(payload);
  } else {
    logger_.warning("core: unhandled '%s'", event);
  }
}

void CoreAgent::publish_account(const agent::Payload& account) {
  pubsub_.send(agent::PubSubAgent::PUBLISH, agent::publication(UPDATE_ACCOUNT, account));
}

}  // namespace quillpost::core
