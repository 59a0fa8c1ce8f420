// A launcher process for the end-to-end tests: the start-up of main() from the
// shutdown flag on, with a fixed configuration instead of the command line.
//
//   start_driver BASE_DIR SHUTDOWN_ON_SIGINT(0|1) [EMAIL PASSWORD]
//
// Prints "started" once the application runs, so that tests know when to
// signal it.
#include <iostream>

#include "quillpost/host/config/build_info.h"
#include "quillpost/host/world/paths.h"
#include "quillpost/main/signals.h"
#include "quillpost/main/start.h"
#include "quillpost/main/system_info.h"

int main(int argc, char** argv) {
  using namespace quillpost;
  if (argc != 3 && argc != 5) return 64;
  auto sigint = main::configure_initial_shutdown_handler();
  auto sigterm = main::configure_initial_termination_handler();
  RuntimeConfig config;
  config.base_dir = argv[1];
  config.headless = true;
  config.shutdown_on_sigint = std::string(argv[2]) == "1";
  if (argc == 5) {
    config.email = argv[3];
    config.password = argv[4];
  }
  BuildInfo build = compiled_build_info();
  build.develop = false;  // SIGINT shutdown only as configured
  main::configure_multiprocessing();
  const Paths paths(get_base_dir(argv[1], true), "resources");
  const SystemInfo system_info = main::get_system_info(main::real_system_probes(process_getenv));
  const auto logger = main::configure_logging(paths.logs_dir(), system_info, true, build);
  AppServices services;
  services.getenv = process_getenv;
  services.application_starter = [](const AppContext& context) {
    auto app = start_headless_application(context);
    std::cout << "started" << std::endl;
    return app;
  };
  return main::start_quillpost(config, paths, system_info, *sigint, *sigterm, logger, build,
                               services);
}
