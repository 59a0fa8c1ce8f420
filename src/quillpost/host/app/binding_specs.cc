#include "quillpost/host/app/binding_specs.h"

#include <iostream>

namespace quillpost {

HttpConfig make_http_config(const RuntimeConfig& config) {
  HttpConfig http;
  if (config.http_engine && !config.http_engine->empty()) http.engine = *config.http_engine;
  if (config.proxy) {
    if (const auto* proxy = std::get_if<Proxy>(&*config.proxy)) http.proxy = *proxy;
  }
  http.ssl_verify = config.ssl_verify.value_or(true);
  if (config.cacert_file && !config.cacert_file->empty()) http.cacert_file = config.cacert_file;
  if (config.max_http_redirects) http.max_http_redirects = *config.max_http_redirects;
  return http;
}

std::function<World&()> PrimaryBindingSpec::get_world() {
  return [this]() -> World& {
    if (!world_) {
      auto world = std::make_unique<World>();
      world->configuration.account = initial_account(config_, AccountStore(paths_.state_file()));
      world->configuration.computer.name = computer_name(config_);
      world->configuration.world_id = load_or_create_world_id(paths_.world_id_file());
      world->state.instance_id = new_uuid4();
      world_ = std::move(world);
    }
    return *world_;
  };
}

SecondaryBindingSpec::SecondaryBindingSpec(const RuntimeConfig& config, const Paths& paths,
                                           const SystemInfo& system_info, Event& sigint,
                                           World& world, AppServices services)
    : config_(config),
      paths_(paths),
      system_info_(system_info),
      sigint_(sigint),
      world_(world),
      services_(std::move(services)),
      account_store_(paths.state_file()) {}

EventLogger& SecondaryBindingSpec::event_logger() {
  if (!event_logger_) {
    // A headless run shows the GUI log on standard output; a desktop run, in its window.
    std::ostream* out = services_.headless_out ? services_.headless_out : &std::cout;
    event_logger_ = std::make_unique<EventLogger>(config_.headless.value_or(true) ? out : nullptr);
  }
  return *event_logger_;
}

const HttpConfig& SecondaryBindingSpec::http_config() {
  if (!http_config_) http_config_ = make_http_config(config_);
  return *http_config_;
}

std::shared_ptr<MainLoopQueue> SecondaryBindingSpec::main_loop_queue() {
  if (!main_loop_queue_) main_loop_queue_ = std::make_shared<MainLoopQueue>();
  return main_loop_queue_;
}

AppContext SecondaryBindingSpec::context() {
  return AppContext{config_,        paths_,        system_info_,      sigint_,
                    world_,         http_config(), main_loop_queue(), event_logger(),
                    account_store_, service_url(), services_.getenv};
}

QuillPostBootstrap& SecondaryBindingSpec::bootstrap() {
  if (!bootstrap_) {
    bootstrap_ = std::make_unique<QuillPostBootstrap>(context(), services_.application_starter);
  }
  return *bootstrap_;
}

Runner& SecondaryBindingSpec::runner() {
  if (!runner_) runner_ = std::make_unique<Runner>(main_loop_queue(), services_.getenv);
  return *runner_;
}

CredentialsChecker& SecondaryBindingSpec::credentials_checker() {
  if (!credentials_checker_) {
    credentials_checker_ =
        services_.make_credentials_checker
            ? services_.make_credentials_checker()
            : make_http_credentials_checker(LoginSettings{service_url() + login_path});
  }
  return *credentials_checker_;
}

ServerAddress SecondaryBindingSpec::override_server_address() const {
  return config_.override_server_address.value_or(ServerAddress{});
}

ParamMap SecondaryBindingSpec::service_discovery_params() const {
  return config_.service_discovery_params.value_or(ParamMap{});
}

std::string SecondaryBindingSpec::service_url() const {
  std::string url = service_base_url(config_, services_.getenv).url;
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

std::string SecondaryBindingSpec::server_protocol_logfile() const {
  return config_.server_protocol_logfile.value_or("");
}

}  // namespace quillpost
