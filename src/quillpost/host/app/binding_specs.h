// The application's two dependency containers, as plain factories.
//
// The primary container makes the World; the secondary one, given the World,
// makes everything else the launcher and the application's agents take:
//
//   PrimaryBindingSpec primary(config, paths, system_info, sigint);
//   World& world = primary.get_world()();
//   SecondaryBindingSpec secondary(config, paths, system_info, sigint, world);
//   secondary.event_logger().report_gui_log(...);
//
// Each item is made on first use and then kept, so asking twice gives the same
// object, and nothing is built (or loaded) that the run does not ask for. The
// containers keep references to what they are given: those must outlive them.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "quillpost/host/app/bootstrap.h"
#include "quillpost/host/app/event_logger.h"
#include "quillpost/host/app/main_loop.h"
#include "quillpost/host/comms/login.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/process/event.h"
#include "quillpost/host/world/paths.h"
#include "quillpost/host/world/world.h"

namespace quillpost {

// The HTTP settings of the configuration: engine "requests" unless set, the
// configured proxy (none for unset or "no proxy"), SSL verification on unless
// switched off, the CA file and the redirect limit.
HttpConfig make_http_config(const RuntimeConfig& config);

class PrimaryBindingSpec {
 public:
  PrimaryBindingSpec(const RuntimeConfig& config, const Paths& paths, const SystemInfo& system_info,
                     Event& sigint)
      : config_(config), paths_(paths), system_info_(system_info), sigint_(sigint) {}

  // The provider of the shared World. The World is made on the first call: the
  // account at start (a configured client key, else the persisted account), the
  // computer name, the installation's world id and a new instance id.
  std::function<World&()> get_world();

 private:
  const RuntimeConfig& config_;
  const Paths& paths_;
  [[maybe_unused]] const SystemInfo& system_info_;
  [[maybe_unused]] Event& sigint_;
  std::unique_ptr<World> world_;
};

// What the secondary container builds from; tests replace parts.
struct AppServices {
  ApplicationStarter application_starter = start_headless_application;
  // Makes the credentials checker; unset: the HTTP checker against the service.
  std::function<std::unique_ptr<CredentialsChecker>()> make_credentials_checker;
  std::ostream* headless_out = nullptr;  // null: standard output
  Getenv getenv;                         // the environment; unset: an empty one
};

class SecondaryBindingSpec {
 public:
  SecondaryBindingSpec(const RuntimeConfig& config, const Paths& paths,
                       const SystemInfo& system_info, Event& sigint, World& world,
                       AppServices services = {});

  EventLogger& event_logger();
  QuillPostBootstrap& bootstrap();
  Runner& runner();
  CredentialsChecker& credentials_checker();
  const HttpConfig& http_config();
  std::shared_ptr<MainLoopQueue> main_loop_queue();
  // Saves the account the application logs in with from now on.
  AccountStore& account_store() { return account_store_; }

  // What the connection client is built with, by binding key.
  World& world() { return world_; }
  const SystemInfo& system_info() const { return system_info_; }
  const std::filesystem::path& logs_dir() const { return paths_.logs_dir(); }
  ServerAddress override_server_address() const;
  ParamMap service_discovery_params() const;
  std::string server_protocol_logfile() const;
  // The service's base URL without trailing slashes.
  std::string service_url() const;

 private:
  AppContext context();

  const RuntimeConfig& config_;
  const Paths& paths_;
  const SystemInfo& system_info_;
  Event& sigint_;
  World& world_;
  AppServices services_;
  AccountStore account_store_;
  std::optional<HttpConfig> http_config_;
  std::shared_ptr<MainLoopQueue> main_loop_queue_;
  std::unique_ptr<EventLogger> event_logger_;
  std::unique_ptr<QuillPostBootstrap> bootstrap_;
  std::unique_ptr<Runner> runner_;
  std::unique_ptr<CredentialsChecker> credentials_checker_;
};

}  // namespace quillpost
