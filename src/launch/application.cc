#include "application.h"

#include "quillpost/client/client.h"
#include "quillpost/host/app/main_loop.h"
#include "quillpost/host/base/text.h"
#include "quillpost/host/comms/login.h"
#include "quillpost/host/gui/desktop.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/crash_handler.h"
#include "quillpost/host/process/module.h"
#include "quillpost/host/runtime/agent/core.h"
#include "quillpost/host/runtime/agent/pubsub.h"
#include "quillpost/host/runtime/agent/runtime.h"
#include "quillpost/host/runtime/agent/schedule.h"
#include "quillpost/host/runtime/agent/service_manager.h"
#include "quillpost/host/runtime/clock/agent.h"
#include "quillpost/host/runtime/comms/url.h"
#include "quillpost/host/runtime/crash/agent.h"
#include "quillpost/host/runtime/printing/agent.h"
#include "quillpost/host/runtime/scales/agent.h"
#include "quillpost/host/runtime/web/web_interface.h"
#include "quillpost/host/world/world.h"

namespace quillpost::launch {
namespace {

// The core agent's view of the persisted account.
class PersistedAccounts : public core::AccountStore {
 public:
  PersistedAccounts(quillpost::AccountStore& store, World& world) : store_(store), world_(world) {}

  void save(const agent::Payload& payload) override {
    const Account account = to_account(payload);
    world_.configuration.account = account;
    store_.save(account);
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
  // A crash from here on leaves a report of its own in the settings directory.
  const std::filesystem::path crash_dir = context.paths.base_dir() / CRASH_REPORTS_FOLDER;
  try {
    install_crash_handler(crash_dir, build.version + " " + build.edition + " " + build.info);
  } catch (const std::exception& e) {
    logs::logger("main").warning("Crash reports are off: %s", e.what());
  }
  auto runtime = std::make_shared<agent::Runtime>();
  runtime->spawn(std::make_shared<agent::PubSubAgent>());
  runtime->spawn(std::make_shared<agent::ScheduleAgent>());
  runtime->spawn(std::make_shared<agent::ServiceManagerAgent>(context.getenv));

  // The web status page, when configured. A page that cannot listen is
  // reported and the client runs without it.
  std::shared_ptr<web::WebInterface> web_interface;
  try {
    web_interface = web::start_web_interface(
        context.config, context.world, *runtime,
        [queue = context.main_loop_queue](const std::string& reason, int exit_code) {
          queue->put(ExitRequest{reason, exit_code});
        });
  } catch (const web::WebInterfaceError& e) {
    logs::logger("web").error("The web interface is not available: %s", e.what());
  }

  EventLogger& event_logger = context.event_logger;
  runtime->spawn(std::make_shared<core::CoreAgent>(
      [&event_logger, web_interface](const GuiLog& line) {
        event_logger.report_gui_log(line);
        if (web_interface) web_interface->report_gui_log(line);
      },
      std::make_shared<PersistedAccounts>(context.account_store, context.world)));

  // Reports of a crash of an earlier run: sent (or kept) at start.
  crash::CrashReportSettings crash_reports;
  crash_reports.dir = crash_dir;
  crash_reports.send = context.config.send_crash_report.value_or(false);
  crash_reports.url = comms::UrlFactory(context.service_url, {}).url("crash-reports", {});
  crash_reports.http_config = context.http_config;
  crash_reports.headers = comms::request_headers(build);
  runtime->spawn(std::make_shared<crash::CrashReportAgent>(std::move(crash_reports)));

  // The clock check: no traffic of its own unless time servers are configured.
  if (context.config.ntp_check.value_or(true)) {
    clock::ClockCheckSettings clock_check;
    std::vector<std::string> refused;
    clock_check.servers =
        clock::parse_sntp_servers(context.config.ntp_servers.value_or(""), &refused);
    for (const auto& entry : refused) {
      logs::logger("clock").warning("ntp_servers: '%s' is not a host or host:port; left out",
                                    entry);
    }
    runtime->spawn(std::make_shared<clock::ClockCheckAgent>(std::move(clock_check)));
  }

  const World& world = context.world;
  comms::UrlFactory url_factory(
      context.service_url,
      comms::UrlContext{build.version, build.edition, world.configuration.computer.name,
                        world.configuration.world_id, world.state.instance_id});
  runtime->spawn(std::make_shared<client::Client>(
      world, context.system_info, context.main_loop_queue, context.http_config,
      std::move(url_factory), comms::request_headers(build),
      context.config.service_discovery_params.value_or(ParamMap{}), context.paths.logs_dir(),
      context.config.override_server_address.value_or(ServerAddress{}),
      context.config.server_protocol_logfile.value_or("")));
  // The printing back end: the computer's printers served through the link.
  printing::PrintingSettings printing;
  printing.dir = context.paths.base_dir() / "printing";
  printing.retain_documents = context.config.retain_printjobs.value_or(false);
  printing.keep_removed_printers = context.config.disable_printer_removal.value_or(false);
  printing.allow_raw_formats = context.config.allow_raw_printing.value_or(false);
  if (context.config.download_retry_minutes) {
    printing.timings.retry_window = std::chrono::minutes(*context.config.download_retry_minutes);
  }
  printing.http_config = context.http_config;
  printing.getenv = context.getenv;
  printing.account = world.configuration.account;
  runtime->spawn(std::make_shared<printing::PrintingAgent>(std::move(printing)));
  // The scales: none at all with remove_scales_support; a serial_scales
  // setting that cannot be used is reported and those scales left out.
  if (!context.config.remove_scales_support.value_or(false)) {
    scales::ScalesSettings scales_settings;
    scales_settings.dir = context.paths.base_dir() / "scales";
    scales_settings.enabled = context.config.scales_enabled;
    scales_settings.account = world.configuration.account;
    scales_settings.devices.root = context.config.scales_device_root.value_or("/");
    const auto serial = scales::parse_serial_scales(context.config.serial_scales.value_or(""));
    if (const auto* error = std::get_if<std::string>(&serial)) {
      logs::logger("scales").error("The serial scales cannot be used: %s", escape_control(*error));
    } else {
      scales_settings.devices.serial = std::get<0>(serial);
    }
    runtime->spawn(std::make_shared<scales::ScalesAgent>(std::move(scales_settings)));
  }
  auto on_stop = [runtime, web_interface] {
    if (web_interface) web_interface->stop();
    // The main loop may end while the agents still hand each other work that
    // must not be lost (a client key the service destroyed, on its way to
    // the account file): let what is queued finish, within a bound.
    if (!runtime->drain(std::chrono::seconds(2))) {
      logs::logger("main").warning("Agents still busy after 2 s; stopping them anyway");
    }
    runtime->stop();
  };
  std::shared_ptr<Application> application;
  if (!context.config.headless.value_or(true)) {
    // The launcher opened the GUI module: the desktop's agent is spawned
    // before the runtime starts, so it sees every status the client publishes.
    const gui::DesktopStart start{&context, runtime.get(), on_stop};
    module_entry<gui::StartEntry>(gui::kGuiModule, gui::kStartEntry)(&start, &application);
  } else {
    application = std::make_shared<HeadlessApplication>(context.main_loop_queue, on_stop);
  }
  runtime->start();
  return application;
}

}  // namespace quillpost::launch

extern "C" __attribute__((visibility("default"))) void quillpost_start_client_application(
    const quillpost::AppContext* context, const quillpost::BuildInfo* build,
    std::shared_ptr<quillpost::Application>* application) {
  *application = quillpost::launch::start_client_application(*context, *build);
}
