#include "quillpost/main/runtime_config.h"

#include <ostream>
#include <stdexcept>

#include "quillpost/host/config/values.h"
#include "quillpost/host/process/registry.h"
#include "quillpost/host/world/world.h"
#include "quillpost/main/command_line.h"
#include "quillpost/main/errors.h"

namespace quillpost::main {
namespace {

std::optional<bool> boolean_text(const Arguments& arguments, const std::string& name) {
  const auto text = docopt_text_arg(arguments, name);
  if (!text) return std::nullopt;
  return boolval(*text, /*fail_to=*/true);
}

// A negative switch ("--no-ssl-verify") sets its setting to false, else leaves it open.
std::optional<bool> false_when_set(const Arguments& arguments, const std::string& name) {
  return docopt_bool_arg(arguments, name) ? std::optional<bool>(false) : std::nullopt;
}

std::optional<std::string> computer_name(const Arguments& arguments, const Process& process) {
  auto computer = docopt_text_arg(arguments, "--computer-name");
  if (computer && !computer->empty() && !is_valid_computername(*computer)) {
    throw InvalidComputerName(*computer);
  }
  const auto regkey = docopt_text_arg(arguments, "--computer-name-regkey");
  if (!regkey) return computer;
  if (process.system_name != "Windows") {
    throw InvalidCommandLine("--computer-name-regkey is only supported on windows");
  }
  std::optional<std::string> value;
  try {
    value = process.read_registry ? process.read_registry(*regkey)
                                  : windows::registry::win32_get_registry_value(*regkey);
  } catch (const std::runtime_error& e) {
    throw InvalidCommandLineArg("--computer-name-regkey", *regkey, e.what());
  }
  if (!value) throw InvalidCommandLineArg("--computer-name-regkey", *regkey, "is not a string");
  if (!is_valid_computername(*value)) throw InvalidComputerName(*value);
  return value;
}

ServerAddress override_server_address(const Arguments& arguments) {
  const auto text = docopt_text_arg(arguments, "--override-server-address");
  if (!text || text->empty()) return {};
  const auto colon = text->find(':');
  if (colon == std::string::npos || text->find(':', colon + 1) != std::string::npos) {
    throw InvalidCommandLineArg("--override-server-address", *text,
                                "should be in format '<host>:<port>'");
  }
  const std::string port = text->substr(colon + 1);
  if (!is_int(port)) {
    throw InvalidCommandLineArg("--override-server-address", *text, "port is not a integer");
  }
  // An integer too large for the port's type is refused like any bad port,
  // instead of escaping as std::out_of_range.
  std::int64_t number = 0;
  try {
    number = std::stoll(port);
  } catch (const std::out_of_range&) {
    throw InvalidCommandLineArg("--override-server-address", *text, "port is out of range");
  }
  return ServerAddress{text->substr(0, colon), number};
}

}  // namespace

std::pair<std::string, std::string> get_enviroment_variables(const Process& process) {
  std::string values[2];
  const char* names[2] = {"PRINT_CLIENT_EMAIL", "PRINT_CLIENT_PASSWORD"};
  for (int i = 0; i < 2; ++i) {
    auto value = process.getenv ? process.getenv(names[i]) : std::nullopt;
    if (!value) {
      throw InvalidCommandLineArg("--use-enviroment-varibales", std::nullopt,
                                  std::string("enviroment variable '") + names[i] + "' not set");
    }
    values[i] = std::move(*value);
  }
  return {values[0], values[1]};
}

std::pair<RuntimeConfig, bool> get_runtime_config(
    const std::optional<std::string>& default_config_location, const std::vector<std::string>& args,
    const Process& process) {
  const UsageDocs docs = make_usage_docs(process.build, default_config_location);
  const ParseResult parsed = parse_command_line(docs, args);
  if (std::holds_alternative<VersionRequested>(parsed)) {
    if (process.out) *process.out << version_text(process.build) << '\n' << std::flush;
    throw ProcessExit(0);
  }
  if (std::holds_alternative<HelpRequested>(parsed)) {
    if (process.out) *process.out << docs.public_docs << '\n' << std::flush;
    throw ProcessExit(0);
  }
  const Arguments& arguments = std::get<Arguments>(parsed);
  const auto flag = [&](const std::string& name) { return docopt_bool_arg(arguments, name); };
  const auto text = [&](const std::string& name) { return docopt_text_arg(arguments, name); };

  RuntimeConfig c;
  c.scales_enabled = boolean_text(arguments, "--scales-enabled");
  c.retain_printjobs = boolean_text(arguments, "--retain-printjobs");
  c.max_http_redirects = docopt_int_arg(arguments, "--max-http-redirects", 0, 30);
  c.web_interface_port = docopt_int_arg(arguments, "--web-interface-port", 1, 65535);
  c.web_interface_listen = text("--web-interface-listen");
  c.web_interface_shutdown = flag("--web-interface-shutdown");
  c.computer_id = docopt_int_arg(arguments, "--computer-id", 1);
  c.headless = flag("--headless");
  c.send_crash_report = boolean_text(arguments, "--send-crash-report");

  if (flag("--use-enviroment-variables")) {
    std::tie(c.email, c.password) = get_enviroment_variables(process);
  } else {
    c.email = text("--email");
    c.password = text("--password");
  }

  c.startup_mutex = false_when_set(arguments, "--allow-multiple-instances");
  c.ssl_verify = false_when_set(arguments, "--no-ssl-verify");
  c.use_windows_system_certs = false_when_set(arguments, "--no-windows-system-certs");
  c.ntp_check = false_when_set(arguments, "--no-ntp-check");

  c.config_file = text("--config-file");
  c.config_file_using_default =
      !c.config_file && default_config_location && !default_config_location->empty();
  if (*c.config_file_using_default) c.config_file = default_config_location;

  c.disable_printer_removal = docopt_bool_arg(arguments, "--disable-printer-removal", false);

  // The 3012 retry is off unless both values are given and non-zero.
  const auto retry_3012_delay = docopt_int_arg(arguments, "--win32-error-3012-retry-delay", 0, 300);
  const auto retry_3012_count = docopt_int_arg(arguments, "--win32-error-3012-retry-count", 0, 10);
  if (retry_3012_delay.value_or(0) && retry_3012_count.value_or(0)) {
    c.win32_error_3012_retry = RetrySetting{*retry_3012_delay, *retry_3012_count};
  }
  // The print retry needs both values; a count of 0 still gives a setting.
  const auto print_retry_count = docopt_int_arg(arguments, "--win32-print-retry-count", 0, 10);
  const auto print_retry_delay = docopt_int_arg(arguments, "--win32-print-retry-delay", 2, 59);
  if (print_retry_count && print_retry_delay) {
    c.win32_print_retry = RetrySetting{*print_retry_delay, *print_retry_count};
  }

  c.computer = computer_name(arguments, process);

  c.override_server_address = ServerAddress{};
  if (process.build.develop) {
    c.server_protocol_logfile = text("--server-protocol-logfile");
    c.override_server_address = override_server_address(arguments);
  }

  const auto* params =
      std::get_if<std::vector<std::string>>(&arguments.at("--service-discovery-param"));
  c.service_discovery_params =
      parse_service_discovery_param_args(params ? *params : std::vector<std::string>{});

  c.base_dir = text("--settings-dir");
  c.base_dir_create = flag("--settings-dir-create");
  c.remove_scales_support = flag("--remove-scales-support");
  c.disable_systray = flag("--disable-systray");
  c.shutdown_on_sigint = flag("--shutdown-on-sigint");
  c.client_key = text("--client-key");
  c.proxy = get_proxy_from_arguments(arguments);
  c.web_interface = flag("--web-interface");
  c.log_all = flag("--log-all");
  c.cacert_file = text("--cacert-file");
  c.http_engine = text("--http-library");
  c.high_dpi_gui = flag("--high-dpi-gui");

  return {std::move(c), flag("--check").value_or(false)};
}

}  // namespace quillpost::main
