// The host process: hands the real process to the launcher and exits with its
// result.
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "quillpost/host/build_info.h"
#include "quillpost/main/launcher.h"

int main(int argc, char** argv) {
  quillpost::main::Process process;
  process.args.assign(argv + 1, argv + argc);
  process.build = quillpost::compiled_build_info();
  process.out = &std::cout;
  process.stdout_is_terminal = ::isatty(STDOUT_FILENO) == 1;
  process.getenv = [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (!value) return std::nullopt;
    return std::string(value);
  };
  try {
    const int code = quillpost::main::main(nullptr, std::nullopt, process);
    std::cout.flush();
    return code;
  } catch (const quillpost::main::ProcessExit& exit) {
    std::cout.flush();
    return exit.status();
  }
}
