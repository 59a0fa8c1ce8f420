// Configuration layers: partial configurations merged field by field, later
// layers winning, with a line recording where every value came from.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillpost/host/config/records.h"

namespace quillpost::main {

// A layer's name ("app-default", the file's path, "command-line", ...; unset
// for an unnamed layer) and its partial configuration.
using ConfigLayer = std::pair<std::optional<std::string>, RuntimeConfig>;

// A RuntimeConfig with the given fields set and every other field unset.
// Names that are not fields are ignored; a value of the wrong kind throws
// std::invalid_argument.
RuntimeConfig make_partial_runtime_config(
    const std::vector<std::pair<std::string, ConfigValue>>& defaults);

// Merges `layers`, lowest precedence first. A layer overrides only what it
// sets. Returns the merged configuration and the provenance lines, in field
// order and, within a field, in layer order. Secrets are masked.
std::pair<RuntimeConfig, std::vector<std::string>> combine_runtime_configs(
    const std::vector<ConfigLayer>& layers);

}  // namespace quillpost::main
