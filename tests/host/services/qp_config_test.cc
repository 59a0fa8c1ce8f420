#include "quillpost/host/config/qp_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

#include "quillpost/host/config/md5.h"
#include "support/files.h"
#include "support/unprivileged.h"

namespace quillpost {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::TempDir;
using testing::write_file;

TEST(QpConfig, ReadsEveryKindOfSetting) {
  const auto config = parse_runtime_config(R"(
base_dir = "/srv/qp"
headless = true
ssl_verify = false
web_interface_port = 9000
computer_id = 7
password = "pw"
proxy = { type = "socks5", host = "proxy.example", port = 1080, user = "u", password = "p" }
win32_error_3012_retry = { delay = 5, count = 3 }
service_discovery_params = { region = "eu" }
override_server_address = { host = "127.0.0.1", port = 8443 }
)",
                                           "test.conf");
  EXPECT_EQ(config.base_dir, "/srv/qp");
  EXPECT_EQ(config.headless, true);
  EXPECT_EQ(config.ssl_verify, false);
  EXPECT_EQ(config.web_interface_port, 9000);
  EXPECT_EQ(config.computer_id, 7);
  EXPECT_EQ(config.password, "pw");
  ASSERT_TRUE(config.proxy);
  EXPECT_EQ(std::get<Proxy>(*config.proxy),
            (Proxy{"socks5", "proxy.example", "1080", std::make_pair("u", "p")}));
  EXPECT_EQ(config.win32_error_3012_retry, (RetrySetting{5, 3}));
  ASSERT_TRUE(config.service_discovery_params);
  EXPECT_EQ(*config.service_discovery_params->find("region"), "eu");
  EXPECT_EQ(config.override_server_address, (ServerAddress{"127.0.0.1", 8443}));
  // Everything the file leaves out stays open for the other layers.
  EXPECT_FALSE(config.email);
  EXPECT_FALSE(config.startup_mutex);
}

TEST(QpConfig, ProxyFalseMeansNoProxyAndTextPortsAreKept) {
  EXPECT_EQ(parse_runtime_config("proxy = false", "f").proxy, ProxySetting(NoProxy{}));
  const auto config =
      parse_runtime_config(R"(proxy = { type = "http", host = "h", port = "3128" })", "f");
  EXPECT_EQ(std::get<Proxy>(*config.proxy).port, "3128");
  EXPECT_FALSE(std::get<Proxy>(*config.proxy).auth);
}

struct BadCase {
  const char* text;
  CfgErr err;
  const char* message_part;
};

class QpConfigRefuses : public ::testing::TestWithParam<BadCase> {};

TEST_P(QpConfigRefuses, NamingTheKeyAndTheProblem) {
  try {
    parse_runtime_config(GetParam().text, "/etc/qp.conf");
    FAIL() << "accepted: " << GetParam().text;
  } catch (const BadConfigError& e) {
    EXPECT_EQ(e.cfg_err(), GetParam().err) << e.what();
    EXPECT_THAT(e.what(), HasSubstr("/etc/qp.conf"));
    EXPECT_THAT(e.what(), HasSubstr(GetParam().message_part));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QpConfigRefuses,
    ::testing::Values(
        BadCase{"headless = ", CfgErr::INVALID_SYNTAX, "not valid TOML (line 1"},
        BadCase{"nonsense = 1", CfgErr::UNKNOWN_KEY, "key 'nonsense' is not a setting"},
        BadCase{"config_file = \"/x\"", CfgErr::UNKNOWN_KEY, "cannot be set in a configuration"},
        BadCase{"headless = \"yes\"", CfgErr::WRONG_TYPE, "key 'headless' must be true or false"},
        BadCase{"web_interface_port = \"80\"", CfgErr::WRONG_TYPE, "must be an integer"},
        BadCase{"base_dir = 3", CfgErr::WRONG_TYPE, "key 'base_dir' must be a string"},
        BadCase{"web_interface_port = 70000", CfgErr::OUT_OF_RANGE,
                "must be from 1 to 65535, not 70000"},
        BadCase{"web_interface_port = 0", CfgErr::OUT_OF_RANGE, "not 0"},
        BadCase{"max_http_redirects = 31", CfgErr::OUT_OF_RANGE, "from 0 to 30"},
        BadCase{"computer_id = 0", CfgErr::OUT_OF_RANGE, "from 1 or more"},
        BadCase{"win32_print_retry = { delay = 1, count = 0 }", CfgErr::OUT_OF_RANGE,
                "key 'win32_print_retry.delay' must be from 2 to 59"},
        BadCase{"win32_print_retry = { delay = 2 }", CfgErr::WRONG_TYPE, "needs both"},
        BadCase{"proxy = { type = \"http\", host = \"h\", port = \"99999999999999999999\" }",
                CfgErr::OUT_OF_RANGE, "key 'proxy.port' must be from 1 to 65535"},
        BadCase{"proxy = { type = \"http\", host = \"h\", port = \"80x\" }", CfgErr::WRONG_TYPE,
                "key 'proxy.port' must be an integer"},
        BadCase{"proxy = true", CfgErr::OUT_OF_RANGE, "must be false (no proxy)"},
        BadCase{"proxy = { type = \"ftp\", host = \"h\", port = 1 }", CfgErr::OUT_OF_RANGE,
                "key 'proxy.type'"},
        BadCase{"proxy = { type = \"http\", host = \"h\" }", CfgErr::WRONG_TYPE,
                "key 'proxy.port' is missing"},
        BadCase{"proxy = { type = \"http\", host = \"h\", port = 1, colour = 1 }",
                CfgErr::UNKNOWN_KEY, "key 'proxy.colour'"},
        BadCase{"proxy = { type = \"http\", host = \"h\", port = 1, user = \"u\" }",
                CfgErr::WRONG_TYPE, "both user and password"},
        BadCase{"service_discovery_params = { a = 1 }", CfgErr::WRONG_TYPE,
                "key 'service_discovery_params.a' must be a string"},
        BadCase{"service_url = \"127.0.0.1:8470\"", CfgErr::OUT_OF_RANGE,
                "key 'service_url' is not a usable service URL: it must begin with http:// or "
                "https://"},
        BadCase{"service_url = \"https://h/x?a=1\"", CfgErr::OUT_OF_RANGE,
                "must not have a query or a fragment"},
        BadCase{"service_url = \"http://h:0\"", CfgErr::OUT_OF_RANGE, "bad port in URL"},
        BadCase{"service_url = \"http://h x\"", CfgErr::OUT_OF_RANGE, "a blank or a control"},
        BadCase{"service_url = \"http://\"", CfgErr::OUT_OF_RANGE, "URL without a host"}));

TEST(QpConfig, NeverShowsTheValueOfASecret) {
  try {
    parse_runtime_config("password = [\"hunter2\"]", "f");
    FAIL();
  } catch (const BadConfigError& e) {
    EXPECT_THAT(e.what(), Not(HasSubstr("hunter2")));
  }
}

TEST(QpConfig, FileErrorsTellMissingFromUnreadable) {
  TempDir dir;
  try {
    get_runtime_config_from_file(dir / "none.conf");
    FAIL();
  } catch (const BadConfigError& e) {
    EXPECT_EQ(e.cfg_err(), CfgErr::DOES_NOT_EXIST);
    EXPECT_EQ(std::string(e.what()),
              "Config file '" + (dir / "none.conf").string() + "' does not exist");
  }
  try {
    get_runtime_config_from_file(dir.path());
    FAIL();
  } catch (const BadConfigError& e) {
    EXPECT_EQ(e.cfg_err(), CfgErr::UNREADABLE);
  }
  testing::where_permissions_apply([] {
    TempDir own;
    const auto locked = write_file(own, "locked.conf", "headless = true\n");
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    try {
      get_runtime_config_from_file(locked);
      FAIL();
    } catch (const BadConfigError& e) {
      EXPECT_EQ(e.cfg_err(), CfgErr::UNREADABLE);
      EXPECT_THAT(e.what(), HasSubstr("Permission denied"));
    }
  });
  EXPECT_EQ(get_runtime_config_from_file(write_file(dir, "ok.conf", "headless = true\n")).headless,
            true);
}

// The sample is what users start from: it must parse as it ships (all
// commented out), and uncommenting each documented line must give a valid
// setting, with every setting a file may hold documented.
TEST(QpConfig, SampleConfigDocumentsEveryKeyAndEachExampleIsValid) {
  const auto sample = std::filesystem::path(QP_SOURCE_DIR) / "resources/sample_config.conf";
  EXPECT_EQ(get_runtime_config_from_file(sample), RuntimeConfig{});
  std::set<std::string> documented;
  const std::regex example(R"(^# ([a-z0-9_]+) = (.*)$)");
  std::istringstream lines(testing::read_file(sample));
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch match;
    if (!std::regex_match(line, match, example)) continue;
    documented.insert(match[1]);
    EXPECT_NO_THROW(parse_runtime_config(line.substr(2), "sample")) << line;
  }
  std::set<std::string> expected;
  for_each_config_field([&](const auto& field) { expected.insert(std::string(field.name)); });
  expected.erase("config_file");
  expected.erase("config_file_using_default");
  EXPECT_EQ(documented, expected);
}

TEST(Md5, KnownDigests) {
  EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5_hex("The quick brown fox jumps over the lazy dog"),
            "9e107d9d372bb6826bd81d3542a419d6");
  // Lengths around the block and padding boundaries.
  EXPECT_EQ(md5_hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
  EXPECT_EQ(md5_hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
  EXPECT_EQ(md5_hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
}

TEST(CopyDefaultConfig, CopiesOnlyWhereNoUserFileWouldBeLost) {
  TempDir dir;
  const auto sample = write_file(dir, "resources/sample_config.conf", "# new sample\n");
  const std::string old_sample = "# old sample\n";
  const std::vector<std::string> sums{md5_hex(old_sample), md5_hex("# new sample\n")};
  const auto target = dir / "settings/quillpost.conf";

  // No location, or no sample: nothing happens.
  EXPECT_FALSE(copy_default_config(std::nullopt, sample, sums).first);
  EXPECT_FALSE(copy_default_config(std::string(), sample, sums).first);
  EXPECT_FALSE(copy_default_config(target.string(), dir / "missing.conf", sums).first);
  EXPECT_FALSE(std::filesystem::exists(target));

  // No file yet: copied, parent directories included.
  EXPECT_TRUE(copy_default_config(target.string(), sample, sums).first);
  EXPECT_EQ(testing::read_file(target), "# new sample\n");
  // The current sample stays as it is.
  EXPECT_FALSE(copy_default_config(target.string(), sample, sums).first);

  // An untouched older sample is replaced.
  write_file(dir, "settings/quillpost.conf", old_sample);
  const auto replaced = copy_default_config(target.string(), sample, sums);
  EXPECT_TRUE(replaced.first);
  EXPECT_THAT(replaced.second, HasSubstr("older sample"));
  EXPECT_EQ(testing::read_file(target), "# new sample\n");

  // A file the user edited is never replaced.
  write_file(dir, "settings/quillpost.conf", "headless = true\n");
  const auto kept = copy_default_config(target.string(), sample, sums);
  EXPECT_FALSE(kept.first);
  EXPECT_THAT(kept.second, HasSubstr("edited"));
  EXPECT_EQ(testing::read_file(target), "headless = true\n");
}

TEST(DefaultConfigLocation, TheServiceManagersDirectoryThenXdgThenHome) {
  struct Case {
    std::map<std::string, std::string> env;
    std::optional<std::string> location;
  };
  const std::vector<Case> cases{
      {{{"CONFIGURATION_DIRECTORY", "/etc/quillpost:/etc/other"},
        {"XDG_CONFIG_HOME", "/x"},
        {"HOME", "/h"}},
       "/etc/quillpost/client.conf"},
      {{{"XDG_CONFIG_HOME", "/x"}, {"HOME", "/h"}}, "/x/quillpost/client.conf"},
      {{{"XDG_CONFIG_HOME", "relative"}, {"HOME", "/h"}}, "/h/.config/quillpost/client.conf"},
      {{{"CONFIGURATION_DIRECTORY", ""}, {"HOME", "/h"}}, "/h/.config/quillpost/client.conf"},
      {{{"HOME", ""}}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    const Getenv getenv = [&](const std::string& name) -> std::optional<std::string> {
      const auto found = c.env.find(name);
      if (found == c.env.end()) return std::nullopt;
      return found->second;
    };
    EXPECT_EQ(default_config_location(getenv), c.location);
  }
}

TEST(CopyDefaultConfig, ReportsAFailedCopyInsteadOfThrowing) {
  testing::where_permissions_apply([] {
    TempDir dir;
    const auto sample = write_file(dir, "sample.conf", "# sample\n");
    std::filesystem::create_directories(dir / "ro");
    std::filesystem::permissions(
        dir / "ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const auto result = copy_default_config((dir / "ro/q.conf").string(), sample, {});
    EXPECT_FALSE(result.first);
    EXPECT_THAT(result.second, HasSubstr("Could not copy"));
  });
}

}  // namespace
}  // namespace quillpost
