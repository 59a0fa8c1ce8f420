// The launcher's command line: one usage text that is both the help screen and
// the grammar, and the conversions of parsed option texts into typed values.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "quillpost/host/config/build_info.h"
#include "quillpost/host/config/records.h"

namespace quillpost::main {

// One parsed option: absent (monostate), a flag, a text, or the texts of a
// repeatable option.
using ArgValue = std::variant<std::monostate, bool, std::string, std::vector<std::string>>;

// Option name with its dashes ("--headless") to parsed value. Options with a
// short synonym are keyed by their long name.
using Arguments = std::map<std::string, ArgValue>;

// The usage text in its two forms.
struct UsageDocs {
  std::string public_docs;  // the help screen: no hidden option anywhere
  std::string parse_docs;   // what the parser reads: the hidden options inserted
};

// Assembles the usage text for this build. `default_config_location`, when
// non-empty, is shown (shell-quoted) at the start of the --config-file line.
UsageDocs make_usage_docs(const BuildInfo& build,
                          const std::optional<std::string>& default_config_location);

// The version text: "v0.1.0 community edition".
std::string version_text(const BuildInfo& build);

// The outcome of reading the command line when it does not simply give arguments.
struct HelpRequested {};
struct VersionRequested {};
using ParseResult = std::variant<Arguments, HelpRequested, VersionRequested>;

// Matches `args` (without the program name) against the usage forms. Throws
// InvalidCommandLine carrying the whole help screen when no form matches.
ParseResult parse_command_line(const UsageDocs& docs, const std::vector<std::string>& args);

// The option's value when it is set (a true flag, a non-empty text or list),
// else `default_value`.
std::optional<bool> docopt_bool_arg(const Arguments& arguments, const std::string& arg_name,
                                    std::optional<bool> default_value = std::nullopt);

// The option's text, nullopt when absent.
std::optional<std::string> docopt_text_arg(const Arguments& arguments, const std::string& arg_name);

// The option's integer within the inclusive bounds, `default_value` when absent.
// Throws InvalidCommandLineArg for a text that is no integer or a value out of bounds.
std::optional<std::int64_t> docopt_int_arg(
    const Arguments& arguments, const std::string& arg_name,
    std::optional<std::int64_t> v_min = std::nullopt,
    std::optional<std::int64_t> v_max = std::nullopt,
    std::optional<std::int64_t> default_value = std::nullopt);

// NoProxy for --proxy-none, a Proxy when a proxy type is chosen, else nullopt.
std::optional<ProxySetting> get_proxy_from_arguments(const Arguments& arguments);

// The --service-discovery-param texts as ordered key=value pairs. Throws
// InvalidCommandLineArg for a malformed text or a key the service reserves.
ParamMap parse_service_discovery_param_args(const std::vector<std::string>& args);

}  // namespace quillpost::main
