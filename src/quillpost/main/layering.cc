#include "quillpost/main/layering.h"

namespace quillpost::main {
namespace {

// A value as the provenance lines show it: secrets become a run of "*" as
// long as the value (in characters), everything else its text form.
template <typename T>
std::string shown(std::string_view field, const T& value) {
  std::string text = to_text(value);
  if (!is_secret_config_field(field)) return text;
  std::size_t characters = 0;
  for (unsigned char c : text) characters += (c & 0xC0) != 0x80;
  return std::string(characters, '*');
}

}  // namespace

RuntimeConfig make_partial_runtime_config(
    const std::vector<std::pair<std::string, ConfigValue>>& defaults) {
  RuntimeConfig config;
  for (const auto& [name, value] : defaults) set_config_field(config, name, value);
  return config;
}

std::pair<RuntimeConfig, std::vector<std::string>> combine_runtime_configs(
    const std::vector<ConfigLayer>& layers) {
  RuntimeConfig merged;
  std::vector<std::string> lines;
  for_each_config_field([&](const auto& field) {
    const std::string name(field.name);
    const std::optional<std::string>* last_layer = nullptr;
    auto& last_value = merged.*field.member;
    for (const auto& [layer_name, config] : layers) {
      const auto& value = config.*field.member;
      if (!value) continue;
      std::string line;
      if (last_value) {
        line = "Config " + to_text(*last_layer) + "/" + name + " value " +
               shown(name, *last_value) + " overridden by " + to_text(layer_name) + "/" + name +
               " to " + shown(name, *value);
      } else {
        line = "Config " + to_text(layer_name) + "/" + name + " value " + shown(name, *value);
      }
      lines.push_back(std::move(line));
      last_layer = &layer_name;
      last_value = value;
    }
  });
  return {std::move(merged), std::move(lines)};
}

}  // namespace quillpost::main
