#include "quillpost/host/config/qp_config.h"

#include <toml++/toml.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

#include "quillpost/host/base/http_url.h"
#include "quillpost/host/config/md5.h"
#include "quillpost/host/process/private_files.h"

namespace quillpost {
namespace {

// Settings that a file may not hold: they describe the file itself.
constexpr std::array<std::string_view, 2> kNotInFile{"config_file", "config_file_using_default"};

struct Range {
  std::string_view key;
  std::int64_t low;
  std::int64_t high;
};

// The bounds of every integer setting, the same as on the command line.
constexpr std::array<Range, 10> kRanges{{
    {"computer_id", 1, std::numeric_limits<std::int64_t>::max()},
    {"web_interface_port", 1, 65535},
    {"max_http_redirects", 0, 30},
    {"download_retry_minutes", 0, 7 * 24 * 60},
    {"win32_error_3012_retry.delay", 0, 300},
    {"win32_error_3012_retry.count", 0, 10},
    {"win32_print_retry.delay", 2, 59},
    {"win32_print_retry.count", 0, 10},
    {"proxy.port", 1, 65535},
    {"override_server_address.port", 1, 65535},
}};

// Where a value came from, for error texts.
struct Where {
  const std::string& source;
  std::string key;

  Where sub(std::string_view name) const { return Where{source, key + "." + std::string(name)}; }

  [[noreturn]] void fail(CfgErr err, const std::string& problem) const {
    throw BadConfigError(err, "Config file '" + source + "': key '" + key + "' " + problem);
  }
};

std::string read_string(const toml::node& node, const Where& where) {
  if (const auto* s = node.as_string()) return s->get();
  where.fail(CfgErr::WRONG_TYPE, "must be a string");
}

bool read_bool(const toml::node& node, const Where& where) {
  if (const auto* b = node.as_boolean()) return b->get();
  where.fail(CfgErr::WRONG_TYPE, "must be true or false");
}

std::int64_t check_range(std::int64_t value, const Where& where) {
  for (const auto& range : kRanges) {
    if (range.key != where.key) continue;
    if (value < range.low || value > range.high) {
      const std::string high = range.high == std::numeric_limits<std::int64_t>::max()
                                   ? std::string("or more")
                                   : "to " + std::to_string(range.high);
      where.fail(CfgErr::OUT_OF_RANGE, "must be from " + std::to_string(range.low) + " " + high +
                                           ", not " + std::to_string(value));
    }
  }
  return value;
}

std::int64_t read_int(const toml::node& node, const Where& where) {
  if (const auto* i = node.as_integer()) return check_range(i->get(), where);
  where.fail(CfgErr::WRONG_TYPE, "must be an integer");
}

const toml::table& read_table(const toml::node& node, const Where& where,
                              std::initializer_list<std::string_view> allowed) {
  const auto* table = node.as_table();
  if (!table) where.fail(CfgErr::WRONG_TYPE, "must be a table");
  for (const auto& [key, value] : *table) {
    bool known = allowed.size() == 0;
    for (auto name : allowed) known = known || key.str() == name;
    if (!known) where.sub(key.str()).fail(CfgErr::UNKNOWN_KEY, "is not a setting");
  }
  return *table;
}

ProxySetting read_proxy(const toml::node& node, const Where& where) {
  if (const auto* b = node.as_boolean()) {
    if (!b->get()) return NoProxy{};
    where.fail(CfgErr::OUT_OF_RANGE,
               "must be false (no proxy) or a table with type, host and port");
  }
  const auto& table = read_table(node, where, {"type", "host", "port", "user", "password"});
  const auto required = [&](std::string_view name) -> const toml::node& {
    const toml::node* value = table.get(name);
    if (!value) where.sub(name).fail(CfgErr::WRONG_TYPE, "is missing");
    return *value;
  };
  Proxy proxy;
  proxy.type = read_string(required("type"), where.sub("type"));
  if (proxy.type != "http" && proxy.type != "socks4" && proxy.type != "socks5") {
    where.sub("type").fail(
        CfgErr::OUT_OF_RANGE,
        "must be \"http\", \"socks4\" or \"socks5\", not \"" + proxy.type + "\"");
  }
  proxy.host = read_string(required("host"), where.sub("host"));
  if (proxy.host.empty()) where.sub("host").fail(CfgErr::OUT_OF_RANGE, "must not be empty");
  const toml::node& port = required("port");
  if (const auto* text = port.as_string()) {
    const std::string& digits = text->get();
    std::int64_t number = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (ec == std::errc::result_out_of_range) {
      where.sub("port").fail(CfgErr::OUT_OF_RANGE, "must be from 1 to 65535");
    }
    if (ec != std::errc() || end != digits.data() + digits.size()) {
      where.sub("port").fail(CfgErr::WRONG_TYPE, "must be an integer");
    }
    check_range(number, where.sub("port"));
    proxy.port = text->get();
  } else {
    proxy.port = std::to_string(read_int(port, where.sub("port")));
  }
  const toml::node* user = table.get("user");
  const toml::node* password = table.get("password");
  if ((user == nullptr) != (password == nullptr)) {
    where.fail(CfgErr::WRONG_TYPE, "needs both user and password, or neither");
  }
  if (user) {
    proxy.auth = std::make_pair(read_string(*user, where.sub("user")),
                                read_string(*password, where.sub("password")));
  }
  return proxy;
}

RetrySetting read_retry(const toml::node& node, const Where& where) {
  const auto& table = read_table(node, where, {"delay", "count"});
  const toml::node* delay = table.get("delay");
  const toml::node* count = table.get("count");
  if (!delay || !count) where.fail(CfgErr::WRONG_TYPE, "needs both delay and count");
  return RetrySetting{read_int(*delay, where.sub("delay")), read_int(*count, where.sub("count"))};
}

ParamMap read_params(const toml::node& node, const Where& where) {
  const auto& table = read_table(node, where, {});
  ParamMap params;
  for (const auto& [key, value] : table) {
    params.set(std::string(key.str()), read_string(value, where.sub(key.str())));
  }
  return params;
}

ServerAddress read_address(const toml::node& node, const Where& where) {
  const auto& table = read_table(node, where, {"host", "port"});
  ServerAddress address;
  if (const toml::node* host = table.get("host"))
    address.host = read_string(*host, where.sub("host"));
  if (const toml::node* port = table.get("port")) address.port = read_int(*port, where.sub("port"));
  return address;
}

// The service's base URL must be one the connection can use.
void check_service_url(const std::string& url, const Where& where) {
  if (const auto problem = comms::service_url_problem(url)) {
    where.fail(CfgErr::OUT_OF_RANGE, "is not a usable service URL: " + *problem);
  }
}

template <typename T>
T read_value(const toml::node& node, const Where& where) {
  if constexpr (std::is_same_v<T, std::string>) {
    return read_string(node, where);
  } else if constexpr (std::is_same_v<T, bool>) {
    return read_bool(node, where);
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    return read_int(node, where);
  } else if constexpr (std::is_same_v<T, ProxySetting>) {
    return read_proxy(node, where);
  } else if constexpr (std::is_same_v<T, RetrySetting>) {
    return read_retry(node, where);
  } else if constexpr (std::is_same_v<T, ParamMap>) {
    return read_params(node, where);
  } else {
    static_assert(std::is_same_v<T, ServerAddress>);
    return read_address(node, where);
  }
}

std::string read_file(const std::filesystem::path& path) {
  const std::string shown = path.string();
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found) {
    throw BadConfigError(CfgErr::DOES_NOT_EXIST, "Config file '" + shown + "' does not exist");
  }
  if (ec) {
    throw BadConfigError(CfgErr::UNREADABLE,
                         "Config file '" + shown + "' cannot be read: " + ec.message());
  }
  if (status.type() == std::filesystem::file_type::directory) {
    throw BadConfigError(CfgErr::UNREADABLE, "Config file '" + shown + "' is not a file");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int err = errno;
    throw BadConfigError(CfgErr::UNREADABLE,
                         "Config file '" + shown + "' cannot be read: " + std::strerror(err));
  }
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) {
    throw BadConfigError(CfgErr::UNREADABLE, "Config file '" + shown + "' cannot be read");
  }
  return content.str();
}

}  // namespace

std::string_view name(CfgErr err) {
  switch (err) {
    case CfgErr::DOES_NOT_EXIST:
      return "DOES_NOT_EXIST";
    case CfgErr::UNREADABLE:
      return "UNREADABLE";
    case CfgErr::INVALID_SYNTAX:
      return "INVALID_SYNTAX";
    case CfgErr::UNKNOWN_KEY:
      return "UNKNOWN_KEY";
    case CfgErr::WRONG_TYPE:
      return "WRONG_TYPE";
    case CfgErr::OUT_OF_RANGE:
      return "OUT_OF_RANGE";
  }
  return "UNKNOWN";
}

RuntimeConfig parse_runtime_config(std::string_view text, const std::string& source) {
  toml::table table;
  try {
    table = toml::parse(text, source);
  } catch (const toml::parse_error& e) {
    const auto& begin = e.source().begin;
    throw BadConfigError(CfgErr::INVALID_SYNTAX,
                         "Config file '" + source + "' is not valid TOML (line " +
                             std::to_string(begin.line) + ", column " +
                             std::to_string(begin.column) + "): " + std::string(e.description()));
  }
  RuntimeConfig config;
  for (const auto& entry : table) {
    // Named references rather than a structured binding: the lambda below
    // captures the node, which clang 14 cannot do with a binding.
    const std::string name(entry.first.str());
    const toml::node& node = entry.second;
    const Where where{source, name};
    for (auto refused : kNotInFile) {
      if (name == refused) where.fail(CfgErr::UNKNOWN_KEY, "cannot be set in a configuration file");
    }
    bool found = false;
    for_each_config_field([&](const auto& field) {
      using T = typename std::decay_t<decltype(field)>::value_type;
      if (found || field.name != name) return;
      found = true;
      config.*field.member = read_value<T>(node, where);
    });
    if (!found) where.fail(CfgErr::UNKNOWN_KEY, "is not a setting");
    if (name == "service_url") check_service_url(*config.service_url, where);
  }
  return config;
}

RuntimeConfig get_runtime_config_from_file(const std::filesystem::path& path) {
  return parse_runtime_config(read_file(path), path.string());
}

namespace {

std::string file_content(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + path.string());
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Writes the sample over `to` atomically, so that a reader never sees half a
// file, in a private directory.
void copy_sample(const std::string& sample, const std::filesystem::path& to) {
  make_private_directories(to.parent_path());
  write_file_atomically(to, sample);
}

// The first absolute path of a colon-separated list.
std::optional<std::filesystem::path> first_absolute(const std::optional<std::string>& list) {
  if (!list) return std::nullopt;
  const std::string first = list->substr(0, list->find(':'));
  if (first.empty() || first.front() != '/') return std::nullopt;
  return std::filesystem::path(first);
}

}  // namespace

std::optional<std::string> default_config_location(const Getenv& getenv) {
  if (const auto dir = first_absolute(read_env(getenv, "CONFIGURATION_DIRECTORY"))) {
    return (*dir / "client.conf").string();
  }
  if (const auto dir = first_absolute(read_env(getenv, "XDG_CONFIG_HOME"))) {
    return (*dir / "quillpost" / "client.conf").string();
  }
  if (const auto home = first_absolute(read_env(getenv, "HOME"))) {
    return (*home / ".config" / "quillpost" / "client.conf").string();
  }
  return std::nullopt;
}

std::pair<bool, std::string> copy_default_config(
    const std::optional<std::string>& default_config_location,
    const std::filesystem::path& sample_config_location, const std::vector<std::string>& md5sums) {
  if (!default_config_location || default_config_location->empty()) {
    return {false, "No default config location; no sample config copied"};
  }
  const std::filesystem::path target(*default_config_location);
  try {
    if (!std::filesystem::is_regular_file(sample_config_location)) {
      return {false, "Sample config '" + sample_config_location.string() +
                         "' not found; no sample config copied"};
    }
    const std::string sample = file_content(sample_config_location);
    if (!std::filesystem::exists(std::filesystem::symlink_status(target))) {
      copy_sample(sample, target);
      return {true, "Copied sample config to '" + target.string() + "'"};
    }
    const std::string current = md5_hex(file_content(target));
    if (current == md5_hex(sample)) {
      return {false, "Config '" + target.string() + "' is the current sample config"};
    }
    for (const auto& sum : md5sums) {
      if (sum == current) {
        copy_sample(sample, target);
        return {true, "Replaced the unchanged older sample config '" + target.string() +
                          "' with the current one"};
      }
    }
    return {false, "Config '" + target.string() + "' has been edited; left as it is"};
  } catch (const std::exception& e) {
    return {false, "Could not copy sample config to '" + target.string() + "': " + e.what()};
  }
}

}  // namespace quillpost
