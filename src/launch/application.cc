#include "application.h"

#include "quillpost/client/client.h"
#include "quillpost/host/agent/core.h"
#include "quillpost/host/agent/pubsub.h"
#include "quillpost/host/agent/runtime.h"
#include "quillpost/host/agent/schedule.h"
#include "quillpost/host/comms/url.h"
#include "quillpost/host/credentials.h"
#include "quillpost/host/logs.h"
#include "quillpost/host/world.h"

namespace quillpost::launch {
namespace {

// The core agent's view of the persisted account.
class PersistedAccounts : public core::AccountStore {
 public:
  PersistedAccounts(quillpost::AccountStore& store, World& world) : store_(store), world_(world) {}

  void save(const agent::Payload& payload) override {
    const Account account = to_account(payload);
    store_.save(account);
    world_.configuration.account = account;
  }

  agent::Payload logout(const std::string& reason) override {
    Account emptied = world_.configuration.account.value_or(Account{});
    emptied.email.reset();
    emptied.client_key.reset();
    logs::logger("core").info("Logging out: %s", reason);
    store_.save(emptied);
    world_.configuration.account = emptied;
    return emptied;
  }

 private:
  static Account to_account(const agent::Payload& payload) {
    if (const auto* account = std::any_cast<Account>(&payload)) return *account;
    return agent::payload_as<std::optional<Account>>(payload).value_or(Account{});
  }

  quillpost::AccountStore& store_;
  World& world_;
};

}  // namespace

std::shared_ptr<Application> start_client_application(const AppContext& context,
                                                      const BuildInfo& build) {
  auto runtime = std::make_shared<agent::Runtime>();
  EventLogger& event_logger = context.event_logger;
  runtime->spawn(std::make_shared<agent::PubSubAgent>());
  runtime->spawn(std::make_shared<agent::ScheduleAgent>());
  runtime->spawn(std::make_shared<core::CoreAgent>(
      [&event_logger](const GuiLog& line) { event_logger.report_gui_log(line); },
      std::make_shared<PersistedAccounts>(context.account_store, context.world)));

  const World& world = context.world;
  comms::UrlFactory url_factory(
      service_base_url(),
      comms::UrlContext{build.version, build.edition, world.configuration.computer.name,
                        world.configuration.world_id, world.state.instance_id});
  runtime->spawn(std::make_shared<client::Client>(
      world, context.system_info, context.main_loop_queue, context.http_config,
      std::move(url_factory), comms::request_headers(build),
      context.config.service_discovery_params.value_or(ParamMap{}), context.paths.logs_dir(),
      context.config.override_server_address.value_or(ServerAddress{}),
      context.config.server_protocol_logfile.value_or("")));
  runtime->start();
  return std::make_shared<HeadlessApplication>(context.main_loop_queue,
                                               [runtime] { runtime->stop(); });
}

}  // namespace quillpost::launch
