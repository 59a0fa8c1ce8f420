// Fuzzes the command-line conversion: the launcher's usage text, the option
// parser and the conversion of its texts into the command-line configuration.
//
// Input: the first byte picks the build (bit 0: a development build, whose
// hidden options act; bit 1: a Windows system, where the registry option is
// read from a stub), the rest is the argument vector, split at NUL bytes. A
// refused command line must be refused with InvalidCommandLine; --help and
// --version end with ProcessExit. Anything else escaping is a finding. An
// accepted command line holds each integer within its option's bounds.
//
// The option parser is slow (milliseconds) and deep (its regular expressions
// recurse over the usage text): run with a generous -timeout and on the main
// thread, as scripts/fuzz does.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "checks.h"
#include "quillpost/main/errors.h"
#include "quillpost/main/runtime_config.h"

namespace {

using namespace quillpost;

constexpr const char* kTarget = "command line";

std::vector<std::string> split_at_nul(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(std::move(current));
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (size > 0) args.push_back(std::move(current));
  return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  std::ostringstream out;
  main::Process process;
  process.args = split_at_nul(data + 1, size - 1);
  process.build.version = "0.1.0";
  process.build.edition = "fuzz";
  process.build.develop = (flags & 1) != 0;
  process.out = &out;
  process.system_name = (flags & 2) != 0 ? "Windows" : "Linux";
  process.getenv = [](const std::string& name) -> std::optional<std::string> {
    if (name == "PRINT_CLIENT_EMAIL") return "user@example.test";
    return std::nullopt;
  };
  // The registry holds, under any key, the key's own text.
  process.read_registry = [](const std::string& key) -> std::optional<std::string> { return key; };
  const std::optional<std::string> default_location =
      (flags & 4) != 0 ? std::optional<std::string>("/etc/quillpost/client.conf") : std::nullopt;

  RuntimeConfig config;
  try {
    config = main::get_runtime_config(default_location, process.args, process).first;
  } catch (const main::InvalidCommandLine&) {
    return 0;
  } catch (const main::ProcessExit& e) {
    if (e.status() != 0) fuzz::fail(kTarget, "help or version with a non-zero status");
    if (out.str().empty()) fuzz::fail(kTarget, "help or version printed nothing");
    return 0;
  }
  fuzz::check_integer_ranges(config, kTarget);
  if (!config.config_file_using_default || !config.disable_printer_removal ||
      !config.service_discovery_params || !config.override_server_address) {
    fuzz::fail(kTarget, "a setting the command line always sets is unset");
  }
  if (*config.config_file_using_default && config.config_file != default_location) {
    fuzz::fail(kTarget, "the default configuration file was not used");
  }
  if (!process.build.develop && !(*config.override_server_address == ServerAddress{})) {
    fuzz::fail(kTarget, "a development option acted in a release build");
  }
  (void)config.to_text();
  return 0;
}
