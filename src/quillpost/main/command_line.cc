#include "quillpost/main/command_line.h"

#include <docopt/docopt.h>

#include <array>
#include <charconv>
#include <limits>
#include <set>
#include <string_view>

#include "quillpost/host/base/text.h"
#include "quillpost/host/config/values.h"
#include "quillpost/host/world/world.h"
#include "quillpost/main/errors.h"

namespace quillpost::main {
namespace {

// The elements of the first usage form, one per line.
constexpr std::string_view kUsageElements[] = {
    "[(--email=<string> --password=<string> | --client-key=<string> | "
    "--use-enviroment-variables)]",
    "[(--web-interface [--web-interface-port=<port>] [--web-interface-listen=<string>] "
    "[--web-interface-shutdown])]",
    "[((--proxy-http | --proxy-socks4 | --proxy-socks5 | --proxy-none) --proxy-host=<string> "
    "--proxy-port=<int> [(--proxy-username=<string> --proxy-password=<string>)]) | --proxy-none]",
    "[(--computer-name=<string> | --computer-name-regkey=<string>)]",
    "[(--settings-dir=<string> [--settings-dir-create])]",
    "[--headless] [--disable-systray] [--high-dpi-gui]",
    "[--shutdown-on-sigint]",
    "[--send-crash-report=<bool>]",
    "[--retain-printjobs=<bool>]",
    "[--no-ssl-verify] [--no-windows-system-certs] [--cacert-file=<string>]",
    "[--http-library=<string>]",
    "[--no-ntp-check]",
    "[--remove-scales-support]",
    "[--allow-multiple-instances]",
    "[--scales-enabled=<bool>]",
    "[--service-discovery-param=<string>]...",
    "[--max-http-redirects=<int>]",
    "[(--config-file=<string> [--check])]",
    "[--computer-id=<int>]",
};

// Options the parser accepts but the help screen never shows.
constexpr std::string_view kHiddenElements[] = {
    "[--disable-printer-removal]",
    "[--server-protocol-logfile=<string>]",
    "[--override-server-address=<string>]",
    "[--log-all]",
    "[(--win32-error-3012-retry-delay=<int> --win32-error-3012-retry-count=<int>)]",
    "[(--win32-print-retry-count=<int> --win32-print-retry-delay=<int>)]",
};

constexpr std::string_view kConfigHintMarker = "{default_config_location_doc}";

struct OptionLine {
  std::string_view option;
  std::string_view description;
  std::string_view continuation1 = {};
  std::string_view continuation2 = {};
};

constexpr OptionLine kOptionLines[] = {
    {"-h --help", "Show this screen."},
    {"-v --version", "Show version."},
    {"--settings-dir=<string>",
     "A absolute path to a directory used for client settings, logs and document storage."},
    {"--settings-dir-create",
     "Create settings directory if this does not exist. If --settings-dir doesn't exist and this "
     "flag is not set a error is returned."},
    {"--email=<string>", "The email address of the account to login as."},
    {"--password=<string>", "The password of the account to login as."},
    {"--use-enviroment-variables",
     "Use PRINT_CLIENT_EMAIL and PRINT_CLIENT_PASSWORD enviroment variables for login "
     "credentials."},
    {"--client-key=<string>",
     "The ClientKey used by the client to identify and authenticate with."},
    {"--computer-name=<string>", "Name of computer. Default is computer's hostname."},
    {"--computer-name-regkey=<string>", "Registry key for computer name. Windows client only."},
    {"--headless", "Run the client without a GUI."},
    {"--high-dpi-gui",
     "Run the client with increased window and font-sizes to better support High DPI displays"},
    {"--disable-systray",
     "Run the client without a system tray icon. System tray icons can cause problems on some "
     "Linux systems."},
    {"--no-ntp-check", "Disable the client NTP agent checker."},
    {"--shutdown-on-sigint",
     "Exit the client on SIGINT signal. This is the default with --headless and required when "
     "running as a service."},
    {"--allow-multiple-instances", "Allow multiple run instances of the client."},
    {"--no-ssl-verify", "Disable SSL verification checks on all HTTP requests."},
    {"--no-windows-system-certs", "Don't use windows' system certificates cert store."},
    {"--cacert-file=<string>", "CA certificate store file in PEM format."},
    {"--remove-scales-support", "Remove scales support entirely and remove tab from GUI."},
    {"--scales-enabled=<bool>",
     "Run the client with scales enabled or disabled. This sets the \"Enable scales\" checkbox in "
     "the scales in the UI."},
    {"--service-discovery-param=<string>",
     "A key=value parameter to send to Service Discovery. This argument may be repeated."},
    {"--send-crash-report=<bool>",
     "Send a report to QuillPost in the event of a crash. With --headless this defaults to True."},
    {"--retain-printjobs=<bool>", "Retain printjob contents after printing."},
    {"--http-library=<string>",
     "The HTTP library the client will use for HTTP requests. Allowed values are \"requests\" or "
     "\"pycurl\"."},
    {"--max-http-redirects=<int>",
     "Max num of HTTP redirects to follow when retriving documents. Allowed values [0, 30]. "
     "Default 1."},
    {"--proxy-none", "Don't use a proxy and remove any stored proxy settings."},
    {"--proxy-http", "Use a HTTP/HTTPS proxy for network communications."},
    {"--proxy-socks4", "Use a socks4 proxy for network communications."},
    {"--proxy-socks5", "Use a socks5 proxy for network communications."},
    {"--proxy-host=<string>", "Proxy hostname."},
    {"--proxy-port=<int>", "Proxy port."},
    {"--proxy-username=<string>", "Proxy username if proxy requires authentication."},
    {"--proxy-password=<string>", "Proxy password if proxy requires authentication."},
    {"--computer-id=<int>", "Set a computerId. Used for debugging."},
    {"--web-interface", "Enable the client HTTP web interface."},
    {"--web-interface-port=<int>", "Port for the client HTTP web interface. Default to 8888."},
    {"--web-interface-listen=<string>",
     "Accept connections/requests to the client HTTP web interface from a specified address.",
     "May be either an IP address, hostname or a empty string. Empty string listens on all "
     "interfaces. Default is listen on all interfaces."},
    {"--web-interface-shutdown", "Allow client to be shutdown via the web interface."},
    {"--config-file=<string>",
     "{default_config_location_doc}Configuration file to use for client settings. Must be a fully "
     "qualified file path (e.g. not a relative path).",
     "The precedence order for configuration is;",
     "application-settings, config-file, command-line-arguments. Later values override earlier "
     "values."},
    {"--check",
     "Check that --config-file is a valid configuration file. Returns a non zero exit code and "
     "error detail on STDOUT if config file is not ok."},
};

// Descriptions start at column 41; continuation lines are indented to it.
constexpr std::size_t kDescriptionColumn = 40;
const std::string kElementIndent(11, ' ');

std::string option_lines(std::string_view config_hint) {
  std::string out;
  for (const auto& line : kOptionLines) {
    std::string text = "    " + std::string(line.option);
    text.resize(std::max(kDescriptionColumn, text.size() + 2), ' ');
    std::string description(line.description);
    if (const auto at = description.find(kConfigHintMarker); at != std::string::npos) {
      description.replace(at, kConfigHintMarker.size(), config_hint);
    }
    out += text + description + "\n";
    for (auto more : {line.continuation1, line.continuation2}) {
      if (!more.empty()) out += std::string(kDescriptionColumn, ' ') + std::string(more) + "\n";
    }
  }
  return out;
}

// The long options named in the usage text, each with whether it takes a
// value ("--name=<...>" somewhere in the text).
std::map<std::string, bool> long_options(const std::string& docs) {
  std::map<std::string, bool> options;
  for (std::size_t at = docs.find("--"); at != std::string::npos; at = docs.find("--", at + 2)) {
    std::size_t end = at + 2;
    while (end < docs.size() && (std::isalnum(static_cast<unsigned char>(docs[end])) ||
                                 docs[end] == '-' || docs[end] == '_')) {
      ++end;
    }
    if (end == at + 2) continue;
    options[docs.substr(at, end - at)] |= end < docs.size() && docs[end] == '=';
  }
  return options;
}

// The parser reads "--opt VALUE" as "no value given" when VALUE is empty or is
// "--", where the usage language takes VALUE as the option's value. Joining
// such pairs into "--opt=VALUE" before parsing gives the usage language's
// meaning; every other argument is passed through untouched.
std::vector<std::string> join_option_values(const std::string& docs,
                                            const std::vector<std::string>& args) {
  const auto known = long_options(docs);
  std::vector<std::string> out;
  out.reserve(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() <= 2 || arg.rfind("--", 0) != 0 || arg.find('=') != std::string::npos ||
        i + 1 == args.size()) {
      out.push_back(arg);
      continue;
    }
    // An exact name, or else a prefix shared by exactly one option.
    std::string resolved;
    if (known.count(arg)) {
      resolved = arg;
    } else {
      int matches = 0;
      for (const auto& entry : known) {
        if (entry.first.rfind(arg, 0) == 0) {
          resolved = entry.first;
          ++matches;
        }
      }
      if (matches != 1) resolved.clear();
    }
    if (!resolved.empty() && known.at(resolved)) {
      out.push_back(resolved + "=" + args[++i]);
    } else {
      out.push_back(arg);
    }
  }
  return out;
}

ArgValue convert(const docopt::value& v) {
  if (v.isBool()) return v.asBool();
  if (v.isString()) return v.asString();
  if (v.isStringList()) return v.asStringList();
  if (v.isLong()) return std::to_string(v.asLong());
  return std::monostate{};
}

const ArgValue* find(const Arguments& arguments, const std::string& name) {
  const auto it = arguments.find(name);
  return it == arguments.end() ? nullptr : &it->second;
}

bool is_true(const ArgValue& value) {
  if (const bool* b = std::get_if<bool>(&value)) return *b;
  if (const auto* s = std::get_if<std::string>(&value)) return !s->empty();
  if (const auto* l = std::get_if<std::vector<std::string>>(&value)) return !l->empty();
  return false;
}

}  // namespace

std::string version_text(const BuildInfo& build) {
  return "v" + build.version + " " + build.edition + " edition";
}

UsageDocs make_usage_docs(const BuildInfo& build,
                          const std::optional<std::string>& default_config_location) {
  std::string hint;
  if (default_config_location && !default_config_location->empty()) {
    hint = "Default value is " + shell_quote(*default_config_location) + ". ";
  }
  // The text on either side of the insertion point for the hidden options.
  std::string before = "v" + build.version + " " + build.edition + " edition.\n\nUsage:\n";
  for (std::size_t i = 0; i < std::size(kUsageElements); ++i) {
    before += (i == 0 ? "    launch " : "\n" + kElementIndent) + std::string(kUsageElements[i]);
  }
  std::string after =
      "\n    launch --config-file=<string> --check"
      "\n    launch (-h | --help)"
      "\n    launch (-v | --version)"
      "\n\nOptions:\n" +
      option_lines(hint) + "\n\n";
  // Line feeds are trimmed from both ends of the whole text; the insertion
  // point sits inside it, so each half loses only its outer end.
  before.erase(0, before.find_first_not_of('\n'));
  after.erase(after.find_last_not_of('\n') + 1);

  std::string hidden;
  for (auto element : kHiddenElements) hidden += "\n" + kElementIndent + std::string(element);
  return UsageDocs{before + after, before + hidden + after};
}

ParseResult parse_command_line(const UsageDocs& docs, const std::vector<std::string>& args) {
  std::map<std::string, docopt::value> parsed;
  try {
    parsed = docopt::docopt_parse(docs.parse_docs, join_option_values(docs.parse_docs, args),
                                  /*help=*/false, /*version=*/true);
  } catch (const docopt::DocoptExitVersion&) {
    return VersionRequested{};
  } catch (const docopt::DocoptArgumentError&) {
    throw InvalidCommandLine(docs.public_docs);
  }
  Arguments arguments;
  for (const auto& [name, value] : parsed) arguments.emplace(name, convert(value));
  if (docopt_bool_arg(arguments, "--help").value_or(false)) return HelpRequested{};
  return arguments;
}

std::optional<bool> docopt_bool_arg(const Arguments& arguments, const std::string& arg_name,
                                    std::optional<bool> default_value) {
  const ArgValue* value = find(arguments, arg_name);
  return value && is_true(*value) ? std::optional<bool>(true) : default_value;
}

std::optional<std::string> docopt_text_arg(const Arguments& arguments,
                                           const std::string& arg_name) {
  const ArgValue* value = find(arguments, arg_name);
  if (!value) return std::nullopt;
  if (const auto* s = std::get_if<std::string>(value)) return *s;
  return std::nullopt;
}

std::optional<std::int64_t> docopt_int_arg(const Arguments& arguments, const std::string& arg_name,
                                           std::optional<std::int64_t> v_min,
                                           std::optional<std::int64_t> v_max,
                                           std::optional<std::int64_t> default_value) {
  const auto text = docopt_text_arg(arguments, arg_name);
  if (!text) return default_value;
  if (!is_int(*text)) throw InvalidCommandLineArg(arg_name, *text, "not a integer");

  std::string_view digits = *text;
  while (!digits.empty() && std::isspace(static_cast<unsigned char>(digits.front()))) {
    digits.remove_prefix(1);
  }
  while (!digits.empty() && std::isspace(static_cast<unsigned char>(digits.back()))) {
    digits.remove_suffix(1);
  }
  if (digits.front() == '+') digits.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Beyond what the program can hold: say which bound it passed, with the
    // value as converted (sign and digits, no leading zeros) like any other.
    const bool negative = digits.front() == '-';
    std::string_view magnitude = digits.substr(negative ? 1 : 0);
    while (magnitude.size() > 1 && magnitude.front() == '0') magnitude.remove_prefix(1);
    const std::string converted = (negative ? "-" : "") + std::string(magnitude);
    if (negative) {
      const auto bound = v_min.value_or(std::numeric_limits<std::int64_t>::min());
      throw InvalidCommandLineArg(arg_name, converted, "is less than " + std::to_string(bound));
    }
    const auto bound = v_max.value_or(std::numeric_limits<std::int64_t>::max());
    throw InvalidCommandLineArg(arg_name, converted, "is greater than " + std::to_string(bound));
  }
  if (v_min && value < *v_min) {
    throw InvalidCommandLineArg(arg_name, std::to_string(value),
                                "is less than " + std::to_string(*v_min));
  }
  if (v_max && value > *v_max) {
    throw InvalidCommandLineArg(arg_name, std::to_string(value),
                                "is greater than " + std::to_string(*v_max));
  }
  return value;
}

std::optional<ProxySetting> get_proxy_from_arguments(const Arguments& arguments) {
  if (docopt_bool_arg(arguments, "--proxy-none").value_or(false)) return ProxySetting{NoProxy{}};
  std::string type;
  if (docopt_bool_arg(arguments, "--proxy-http").value_or(false)) {
    type = "http";
  } else if (docopt_bool_arg(arguments, "--proxy-socks4").value_or(false)) {
    type = "socks4";
  } else if (docopt_bool_arg(arguments, "--proxy-socks5").value_or(false)) {
    type = "socks5";
  } else {
    return std::nullopt;
  }
  const auto user = docopt_text_arg(arguments, "--proxy-username").value_or("");
  const auto password = docopt_text_arg(arguments, "--proxy-password").value_or("");
  Proxy proxy{type, docopt_text_arg(arguments, "--proxy-host").value_or(""),
              docopt_text_arg(arguments, "--proxy-port").value_or(""), std::nullopt};
  if (!user.empty() && !password.empty()) proxy.auth = std::pair{user, password};
  return ProxySetting{std::move(proxy)};
}

ParamMap parse_service_discovery_param_args(const std::vector<std::string>& args) {
  static const std::set<std::string, std::less<>> kReserved{
      "version", "edition", "address", "computer_name", "world_id", "instance_id"};
  ParamMap params;
  for (const auto& text : args) {
    std::string message;
    try {
      auto [key, value] = parse_service_discovery_param_arg(text);
      std::string lower = key;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (!kReserved.count(lower)) {
        params.set(key, value);
        continue;
      }
      message = "'" + key + "' is not a allowed key";
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
    throw InvalidCommandLineArg("--service-discovery-param", text, message);
  }
  return params;
}

}  // namespace quillpost::main
