// The configuration file: a TOML file whose keys are RuntimeConfig field names.
//
//   headless = true
//   web_interface_port = 9000
//   [proxy]
//   type = "socks5"
//   host = "proxy.example"
//   port = 1080
//
// resources/sample_config.conf documents every key. A key the file leaves out
// stays unset, so the file is one layer among the others.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillpost/host/config/records.h"
#include "quillpost/host/process/environment.h"

namespace quillpost {

// Why a configuration file was refused.
enum class CfgErr {
  DOES_NOT_EXIST,  // no file at that path
  UNREADABLE,      // the file exists but cannot be read (permissions, a directory, ...)
  INVALID_SYNTAX,  // not valid TOML
  UNKNOWN_KEY,     // a key that is not a setting
  WRONG_TYPE,      // a value of the wrong kind
  OUT_OF_RANGE,    // a value outside the setting's range or list
};

std::string_view name(CfgErr err);

// A configuration file that cannot be used. The text names the file and, for a
// bad key, the key and the problem; it never shows the value of a secret.
class BadConfigError : public std::runtime_error {
 public:
  BadConfigError(CfgErr cfg_err, const std::string& message)
      : std::runtime_error(message), cfg_err_(cfg_err) {}
  CfgErr cfg_err() const noexcept { return cfg_err_; }

 private:
  CfgErr cfg_err_;
};

// The layer read from the file at `path`. Throws BadConfigError.
RuntimeConfig get_runtime_config_from_file(const std::filesystem::path& path);

// The layer read from TOML text; `source` names it in error texts.
RuntimeConfig parse_runtime_config(std::string_view text, const std::string& source);

// The default configuration file: $CONFIGURATION_DIRECTORY/client.conf when a
// service manager names the service's configuration directory (the first of
// several), else $XDG_CONFIG_HOME/quillpost/client.conf, else
// $HOME/.config/quillpost/client.conf. Relative or empty values are skipped;
// nullopt when nothing is left.
std::optional<std::string> default_config_location(const Getenv& getenv);

// Puts the sample configuration at the default location: when no file is there,
// or when the file there is an untouched sample of an earlier release (its md5
// sum is one of `md5sums`). A file the user changed is never replaced. The copy
// is private to the user (it may come to hold a password), in a directory
// made private when missing. Returns
// (whether a file was copied, a line for the debug log). Never throws: a failed
// copy is reported in the line.
std::pair<bool, std::string> copy_default_config(
    const std::optional<std::string>& default_config_location,
    const std::filesystem::path& sample_config_location, const std::vector<std::string>& md5sums);

}  // namespace quillpost
