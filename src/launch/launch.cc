// The host process: hands the real process to the launcher and exits with its
// result.
#include <malloc.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <system_error>

#include "application.h"
#include "quillpost/host/base/text.h"
#include "quillpost/host/config/build_info.h"
#include "quillpost/host/config/qp_config.h"
#include "quillpost/host/gui/desktop.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/environment.h"
#include "quillpost/host/process/module.h"
#include "quillpost/host/process/stack.h"
#include "quillpost/main/launcher.h"

namespace {

// The resources travel with the program: "../resources" beside bin/ in a build
// tree, "../share/quillpost/resources" in an installed tree. A service manager
// starts the program in "/", so the working directory is no guide.
std::string resources_dir() {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return "./resources";
  const fs::path prefix = exe.parent_path().parent_path();
  for (const fs::path& candidate :
       {prefix / "share" / "quillpost" / "resources", prefix / "resources"}) {
    if (fs::is_directory(candidate, ec)) return candidate.string();
  }
  return "./resources";
}

// An unexpected failure ends the process with 1 and one line on standard
// output (and in the log when it exists), never with an abort.
int unexpected_failure(std::string_view what) {
  const std::string line = "Unexpected failure: " + quillpost::escape_control(what);
  quillpost::logs::logger("main").exception("%s", line);
  std::cout << line << std::endl;
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // The memory holds the password and the client key: no core dump, and no
  // other process of the same user may read it through ptrace or /proc. Done
  // first, before the command line (which may carry the password) is read. A
  // development build stays debuggable.
  if (!quillpost::compiled_build_info().develop) ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  // glibc gives each thread that allocates an arena of its own (up to eight per
  // core), each holding on to its own free pages. The client has a handful of
  // threads that allocate little and rarely at once: two arenas serve them
  // without contention worth the name and keep the resident set smaller. Set
  // before the first thread starts.
  ::mallopt(M_ARENA_MAX, 2);

  quillpost::main::Process process;
  process.resources_dir = resources_dir();
  process.args.assign(argv + 1, argv + argc);
  process.build = quillpost::compiled_build_info();
  // The application comes from its module, opened only now that it is needed.
  process.app_services.application_starter =
      [&build = process.build](const quillpost::AppContext& context) {
        namespace launch = quillpost::launch;
        // What start-up touched below this frame is not needed again.
        quillpost::release_stack_below_caller();
        const auto start = quillpost::module_entry<launch::StartApplicationEntry>(
            launch::kApplicationModule, launch::kApplicationEntry);
        std::shared_ptr<quillpost::Application> application;
        start(&context, &build, &application);
        return application;
      };
  // The GUI module, opened only by a run that is not headless.
  process.open_desktop = []() -> std::string {
    try {
      std::string problem;
      quillpost::module_entry<quillpost::gui::OpenEntry>(quillpost::gui::kGuiModule,
                                                         quillpost::gui::kOpenEntry)(&problem);
      return problem.empty() ? "" : "The display cannot be used: " + problem;
    } catch (const quillpost::ModuleError& e) {
      return std::string("The GUI is not installed: ") + e.what();
    }
  };
  process.out = &std::cout;
  process.stdout_is_terminal = ::isatty(STDOUT_FILENO) == 1;
  process.getenv = quillpost::process_getenv;
  try {
    // The user's configuration file, or the service's when a service manager
    // names its configuration directory.
    const int code =
        quillpost::main::main(nullptr, quillpost::default_config_location(process.getenv), process);
    std::cout.flush();
    return code;
  } catch (const quillpost::main::ProcessExit& exit) {
    std::cout.flush();
    return exit.status();
  } catch (const std::exception& e) {
    return unexpected_failure(e.what());
  } catch (...) {
    return unexpected_failure("an error of unknown kind");
  }
}
