#include "quillpost/main/runtime_config.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "quillpost/main/errors.h"

namespace quillpost::main {
namespace {

struct Fixture {
  std::map<std::string, std::string> env;
  std::ostringstream out;
  Process process;

  explicit Fixture(bool develop = false, std::string system = "Linux") {
    process.build.version = "1.2.3";
    process.build.edition = "test";
    process.build.develop = develop;
    process.out = &out;
    process.system_name = std::move(system);
    process.getenv = [this](const std::string& name) -> std::optional<std::string> {
      const auto it = env.find(name);
      if (it == env.end()) return std::nullopt;
      return it->second;
    };
  }

  RuntimeConfig config(const std::vector<std::string>& args,
                       const std::optional<std::string>& default_location = std::nullopt) {
    return get_runtime_config(default_location, args, process).first;
  }

  std::string error(const std::vector<std::string>& args) {
    try {
      get_runtime_config(std::nullopt, args, process);
    } catch (const InvalidCommandLine& e) {
      return e.what();
    }
    return "(accepted)";
  }
};

TEST(GetRuntimeConfig, NoOptionsLeaveEverythingOpen) {
  Fixture f;
  const auto [config, check] = get_runtime_config(std::nullopt, {}, f.process);
  RuntimeConfig expected;
  expected.config_file_using_default = false;
  expected.disable_printer_removal = false;
  expected.service_discovery_params = ParamMap{};
  expected.override_server_address = ServerAddress{};
  EXPECT_EQ(config, expected) << config.to_text();
  EXPECT_FALSE(check);

  const auto with_default = f.config({}, std::string("/etc/qp.conf"));
  EXPECT_EQ(with_default.config_file, "/etc/qp.conf");
  EXPECT_EQ(with_default.config_file_using_default, true);
}

TEST(GetRuntimeConfig, ExplicitConfigFileIsNotTheDefault) {
  Fixture f;
  const auto [config, check] = get_runtime_config(
      std::string("/etc/qp.conf"), {"--config-file=/etc/qp.conf", "--check"}, f.process);
  EXPECT_EQ(config.config_file, "/etc/qp.conf");
  EXPECT_EQ(config.config_file_using_default, false);
  EXPECT_TRUE(check);
}

TEST(GetRuntimeConfig, FlagsAndNegativeSwitches) {
  Fixture f;
  const auto c = f.config({"--headless", "--no-ssl-verify", "--allow-multiple-instances",
                           "--no-ntp-check", "--no-windows-system-certs", "--log-all",
                           "--shutdown-on-sigint", "--settings-dir=/s", "--settings-dir-create"});
  EXPECT_EQ(c.headless, true);
  EXPECT_EQ(c.ssl_verify, false);
  EXPECT_EQ(c.startup_mutex, false);
  EXPECT_EQ(c.ntp_check, false);
  EXPECT_EQ(c.use_windows_system_certs, false);
  EXPECT_EQ(c.log_all, true);
  EXPECT_EQ(c.shutdown_on_sigint, true);
  EXPECT_EQ(c.base_dir, "/s");
  EXPECT_EQ(c.base_dir_create, true);
  EXPECT_EQ(c.disable_systray, std::nullopt);

  const auto open = f.config({});
  EXPECT_EQ(open.headless, std::nullopt);
  EXPECT_EQ(open.ssl_verify, std::nullopt);
  EXPECT_EQ(open.startup_mutex, std::nullopt);
}

TEST(GetRuntimeConfig, BooleanTextsFallBackToTrue) {
  Fixture f;
  const auto c =
      f.config({"--send-crash-report=maybe", "--retain-printjobs=no", "--scales-enabled=TRUE"});
  EXPECT_EQ(c.send_crash_report, true);
  EXPECT_EQ(c.retain_printjobs, false);
  EXPECT_EQ(c.scales_enabled, true);
}

TEST(GetRuntimeConfig, IntegersAndTexts) {
  Fixture f;
  const auto c = f.config({"--max-http-redirects=30", "--web-interface", "--web-interface-port",
                           "9000", "--web-interface-listen=", "--computer-id=123456789012",
                           "--http-library=pycurl", "--cacert-file=/ca.pem", "--client-key=ck"});
  EXPECT_EQ(c.max_http_redirects, 30);
  EXPECT_EQ(c.web_interface, true);
  EXPECT_EQ(c.web_interface_port, 9000);
  EXPECT_EQ(c.web_interface_listen, "");
  EXPECT_EQ(c.computer_id, 123456789012);
  EXPECT_EQ(c.http_engine, "pycurl");
  EXPECT_EQ(c.cacert_file, "/ca.pem");
  EXPECT_EQ(c.client_key, "ck");
}

TEST(GetRuntimeConfig, Retries) {
  Fixture f;
  EXPECT_EQ(f.config({"--win32-error-3012-retry-delay=5", "--win32-error-3012-retry-count=2"})
                .win32_error_3012_retry,
            (RetrySetting{5, 2}));
  EXPECT_EQ(f.config({"--win32-error-3012-retry-delay=5", "--win32-error-3012-retry-count=0"})
                .win32_error_3012_retry,
            std::nullopt);
  EXPECT_EQ(
      f.config({"--win32-print-retry-count=0", "--win32-print-retry-delay=2"}).win32_print_retry,
      (RetrySetting{2, 0}));
  EXPECT_EQ(f.error({"--win32-print-retry-count=1", "--win32-print-retry-delay=1"}),
            "Error with commandline argument '--win32-print-retry-delay', '1' is less than 2.");
  EXPECT_EQ(f.error({"--win32-error-3012-retry-delay=301", "--win32-error-3012-retry-count=1"}),
            "Error with commandline argument '--win32-error-3012-retry-delay', '301' is greater "
            "than 300.");
}

TEST(GetRuntimeConfig, EnvironmentCredentials) {
  Fixture f;
  EXPECT_EQ(f.error({"--use-enviroment-variables"}),
            "Error with commandline argument '--use-enviroment-varibales', enviroment variable "
            "'PRINT_CLIENT_EMAIL' not set.");
  f.env["PRINT_CLIENT_PASSWORD"] = "pw";
  EXPECT_EQ(f.error({"--use-enviroment-variables"}),
            "Error with commandline argument '--use-enviroment-varibales', enviroment variable "
            "'PRINT_CLIENT_EMAIL' not set.");
  f.env["PRINT_CLIENT_EMAIL"] = "";
  const auto c = f.config({"--use-enviroment-variables"});
  EXPECT_EQ(c.email, "");
  EXPECT_EQ(c.password, "pw");
  f.env.erase("PRINT_CLIENT_PASSWORD");
  EXPECT_EQ(f.error({"--use-enviroment-variables"}),
            "Error with commandline argument '--use-enviroment-varibales', enviroment variable "
            "'PRINT_CLIENT_PASSWORD' not set.");
}

TEST(GetRuntimeConfig, ComputerName) {
  Fixture f;
  EXPECT_EQ(f.config({"--computer-name=print-01.local"}).computer, "print-01.local");
  EXPECT_EQ(f.config({"--computer-name="}).computer, "");
  EXPECT_EQ(f.error({"--computer-name=bad name"}),
            "Computer name 'bad name' is not valid. Computer names can only contain ASCII "
            "letters, numbers and '.' and '-'.");
  bool registry_read = false;
  f.process.read_registry = [&](const std::string&) -> std::optional<std::string> {
    registry_read = true;
    return "x";
  };
  EXPECT_EQ(f.error({"--computer-name-regkey=HKLM\\X"}),
            "--computer-name-regkey is only supported on windows");
  EXPECT_FALSE(registry_read);
}

TEST(GetRuntimeConfig, ComputerNameFromTheRegistry) {
  struct Case {
    std::function<std::optional<std::string>(const std::string&)> reader;
    const char* expected;  // computer name, or the error text
    bool is_error;
  };
  const Case cases[] = {
      {[](const std::string&) { return std::optional<std::string>("PC-7"); }, "PC-7", false},
      {[](const std::string&) { return std::optional<std::string>(); },
       "Error with commandline argument '--computer-name-regkey', 'HKLM\\X' is not a string.",
       true},
      {[](const std::string&) -> std::optional<std::string> {
         throw std::runtime_error("access denied");
       },
       "Error with commandline argument '--computer-name-regkey', 'HKLM\\X' access denied.", true},
      {[](const std::string&) { return std::optional<std::string>("no way"); },
       "Computer name 'no way' is not valid. Computer names can only contain ASCII letters, "
       "numbers and '.' and '-'.",
       true},
  };
  for (const auto& c : cases) {
    Fixture f(false, "Windows");
    f.process.read_registry = c.reader;
    if (c.is_error) {
      EXPECT_EQ(f.error({"--computer-name-regkey=HKLM\\X"}), c.expected);
    } else {
      EXPECT_EQ(f.config({"--computer-name-regkey=HKLM\\X"}).computer, c.expected);
    }
  }
}

TEST(GetRuntimeConfig, DevelopmentOptionsOnlyInDevelopmentBuilds) {
  const std::vector<std::string> args = {"--override-server-address=h:80",
                                         "--server-protocol-logfile=/tmp/p.log"};
  Fixture release;
  const auto r = release.config(args);
  EXPECT_EQ(r.override_server_address, ServerAddress{});
  EXPECT_EQ(r.server_protocol_logfile, std::nullopt);
  EXPECT_EQ(release.config({"--override-server-address=::1:80"}).override_server_address,
            ServerAddress{});

  Fixture develop(true);
  const auto d = develop.config(args);
  EXPECT_EQ(d.override_server_address, (ServerAddress{"h", 80}));
  EXPECT_EQ(d.server_protocol_logfile, "/tmp/p.log");
  EXPECT_EQ(develop.error({"--override-server-address=::1:80"}),
            "Error with commandline argument '--override-server-address', '::1:80' should be in "
            "format '<host>:<port>'.");
  EXPECT_EQ(develop.error({"--override-server-address=h"}),
            "Error with commandline argument '--override-server-address', 'h' should be in "
            "format '<host>:<port>'.");
  EXPECT_EQ(develop.error({"--override-server-address=h:x"}),
            "Error with commandline argument '--override-server-address', 'h:x' port is not a "
            "integer.");
  // A port beyond 64-bit integers is refused, not thrown past the launcher.
  EXPECT_EQ(develop.error({"--override-server-address=h:99999999999999999999"}),
            "Error with commandline argument '--override-server-address', "
            "'h:99999999999999999999' port is out of range.");
  EXPECT_EQ(develop.error({"--override-server-address=h:-9223372036854775809"}),
            "Error with commandline argument '--override-server-address', "
            "'h:-9223372036854775809' port is out of range.");
}

TEST(GetRuntimeConfig, HelpAndVersionPrintAndEndTheProcess) {
  Fixture f;
  try {
    get_runtime_config(std::nullopt, {"--version"}, f.process);
    ADD_FAILURE() << "returned";
  } catch (const ProcessExit& e) {
    EXPECT_EQ(e.status(), 0);
  }
  EXPECT_EQ(f.out.str(), "v1.2.3 test edition\n");
  f.out.str("");
  EXPECT_THROW(get_runtime_config(std::nullopt, {"-h"}, f.process), ProcessExit);
  EXPECT_EQ(f.out.str().substr(0, 22), "v1.2.3 test edition.\n\n");
  EXPECT_EQ(f.out.str().back(), '\n');
}

}  // namespace
}  // namespace quillpost::main
