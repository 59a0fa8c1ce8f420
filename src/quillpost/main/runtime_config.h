// The command-line layer of the configuration.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillpost/host/config/records.h"
#include "quillpost/main/launcher.h"

namespace quillpost::main {

// Turns the process arguments into the command-line RuntimeConfig, in which
// every setting the command line leaves open is unset, and the "--check" flag.
// Prints and throws ProcessExit(0) for "--help" and "--version"; throws
// InvalidCommandLine (or a subtype) for a command line that cannot be used.
std::pair<RuntimeConfig, bool> get_runtime_config(
    const std::optional<std::string>& default_config_location, const std::vector<std::string>& args,
    const Process& process);

// (e-mail, password) from PRINT_CLIENT_EMAIL and PRINT_CLIENT_PASSWORD. Throws
// InvalidCommandLineArg naming the first variable that is not set.
std::pair<std::string, std::string> get_enviroment_variables(const Process& process);

}  // namespace quillpost::main
