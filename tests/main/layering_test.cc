#include "quillpost/main/layering.h"

#include <gtest/gtest.h>

#include "quillpost/main/launcher.h"

namespace quillpost::main {
namespace {

TEST(MakePartialRuntimeConfig, SetsNamedFieldsOnly) {
  const auto c = make_partial_runtime_config(
      {{"headless", true}, {"web_interface_port", std::int64_t{8888}}, {"not_a_field", true}});
  RuntimeConfig expected;
  expected.headless = true;
  expected.web_interface_port = 8888;
  EXPECT_EQ(c, expected);
  EXPECT_EQ(make_partial_runtime_config({}), RuntimeConfig{});
  EXPECT_THROW(make_partial_runtime_config({{"headless", std::string("yes")}}),
               std::invalid_argument);
}

TEST(CombineRuntimeConfigs, LaterLayersWinAndEveryValueIsTraced) {
  RuntimeConfig defaults;
  defaults.web_interface_port = 8888;
  defaults.headless = false;
  RuntimeConfig file;
  file.headless = true;
  file.proxy = Proxy{"http", "proxy", "3128", std::nullopt};
  RuntimeConfig command_line;
  command_line.web_interface_port = 9000;
  command_line.proxy = NoProxy{};
  command_line.computer = "";

  const auto [merged, lines] = combine_runtime_configs(
      {{"app-default", defaults}, {"/etc/qp.conf", file}, {"command-line", command_line}});
  EXPECT_EQ(merged.web_interface_port, 9000);
  EXPECT_EQ(merged.headless, true);
  EXPECT_EQ(merged.proxy, ProxySetting{NoProxy{}});
  EXPECT_EQ(merged.computer, "");  // the empty text is a value
  EXPECT_EQ(merged.base_dir, std::nullopt);
  const std::vector<std::string> expected = {
      "Config app-default/headless value False",
      "Config app-default/headless value False overridden by /etc/qp.conf/headless to True",
      "Config command-line/computer value ",
      "Config /etc/qp.conf/proxy value http://proxy:3128",
      "Config /etc/qp.conf/proxy value http://proxy:3128 overridden by command-line/proxy to "
      "False",
      "Config app-default/web_interface_port value 8888",
      "Config app-default/web_interface_port value 8888 overridden by command-line/"
      "web_interface_port to 9000",
  };
  EXPECT_EQ(lines, expected);
}

TEST(CombineRuntimeConfigs, SecretsAreMaskedByLength) {
  RuntimeConfig file;
  file.password = "secret";
  file.client_key = "key-from-file";
  file.proxy = Proxy{"socks5", "h", "1", std::pair{"user", "proxy-pw"}};
  RuntimeConfig command_line;
  command_line.password = "p\xc3\xa4ss";  // four characters, five bytes
  const auto [merged, lines] =
      combine_runtime_configs({{"/c.conf", file}, {"command-line", command_line}});
  EXPECT_EQ(merged.password, "p\xc3\xa4ss");
  const std::vector<std::string> expected = {
      "Config /c.conf/password value ******",
      "Config /c.conf/password value ****** overridden by command-line/password to ****",
      "Config /c.conf/client_key value *************",
      "Config /c.conf/proxy value socks5://***:***@h:1",
  };
  EXPECT_EQ(lines, expected);
}

TEST(CombineRuntimeConfigs, UnnamedAndEmptyLayers) {
  RuntimeConfig a;
  a.log_all = true;
  const auto [merged, lines] =
      combine_runtime_configs({{std::nullopt, RuntimeConfig{}}, {std::nullopt, a}});
  EXPECT_EQ(merged.log_all, true);
  EXPECT_EQ(lines, std::vector<std::string>{"Config None/log_all value True"});
  EXPECT_TRUE(combine_runtime_configs({}).second.empty());
}

}  // namespace
}  // namespace quillpost::main

namespace quillpost::main {
namespace {

// Headless runs send crash reports unless a layer said otherwise; the launcher
// applies this again when a desktop run goes on headless for want of a display.
TEST(HeadlessDefaults, CrashReportsFollowHeadlessUnlessALayerSaid) {
  struct Row {
    std::optional<bool> headless;
    std::optional<bool> send_crash_report;
    std::optional<bool> expected;
  };
  const Row rows[] = {
      {std::nullopt, std::nullopt, std::nullopt},
      {false, std::nullopt, std::nullopt},
      {true, std::nullopt, true},
      {true, false, false},
  };
  for (const Row& row : rows) {
    RuntimeConfig config;
    config.headless = row.headless;
    config.send_crash_report = row.send_crash_report;
    std::vector<std::string> provenance;
    apply_headless_defaults(config, provenance);
    EXPECT_EQ(config.send_crash_report, row.expected);
    EXPECT_EQ(config.headless, row.headless);
    EXPECT_EQ(provenance.size(), row.expected && !row.send_crash_report ? 1u : 0u);
  }
}

}  // namespace
}  // namespace quillpost::main
