#include "quillpost/main/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "quillpost/main/errors.h"
#include "support/files.h"

namespace quillpost::main {
namespace {

BuildInfo test_build() {
  BuildInfo b;
  b.version = "0.1.0";
  b.edition = "community";
  return b;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

Arguments parse(const std::vector<std::string>& args) {
  const auto docs = make_usage_docs(test_build(), std::nullopt);
  auto result = parse_command_line(docs, args);
  return std::get<Arguments>(result);
}

TEST(UsageDocs, HelpScreenMatchesTheReviewedText) {
  EXPECT_EQ(make_usage_docs(test_build(), std::nullopt).public_docs + "\n",
            testing::read_file(QP_SOURCE_DIR "/tests/main/data/help_no_default_location.txt"));
}

TEST(UsageDocs, OptionDescriptionsStartAtColumn41) {
  const auto docs = make_usage_docs(test_build(), std::string("/etc/quillpost/client.conf"));
  const auto lines = lines_of(docs.public_docs);
  auto it = std::find(lines.begin(), lines.end(), "Options:");
  ASSERT_NE(it, lines.end());
  int option_lines = 0;
  for (++it; it != lines.end(); ++it) {
    ASSERT_GT(it->size(), 40u) << *it;
    EXPECT_EQ(it->substr(0, 4), "    ") << *it;
    EXPECT_NE((*it)[40], ' ') << *it;
    EXPECT_EQ(it->substr(38, 2), "  ") << *it;
    option_lines += (*it)[4] == '-';
  }
  EXPECT_EQ(option_lines, 41);
  EXPECT_EQ(docs.public_docs.front(), 'v');
  EXPECT_NE(docs.public_docs.back(), '\n');
}

TEST(UsageDocs, HiddenOptionsAreParsedButNeverShown) {
  const auto docs = make_usage_docs(test_build(), std::nullopt);
  for (const char* hidden :
       {"--disable-printer-removal", "--server-protocol-logfile", "--override-server-address",
        "--log-all", "--win32-error-3012-retry-delay", "--win32-print-retry-count"}) {
    EXPECT_EQ(docs.public_docs.find(hidden), std::string::npos) << hidden;
    EXPECT_NE(docs.parse_docs.find(hidden), std::string::npos) << hidden;
  }
  // The hidden lines sit right behind the last element of the first form.
  const auto at =
      docs.parse_docs.find("[--computer-id=<int>]\n           [--disable-printer-removal]");
  EXPECT_NE(at, std::string::npos);
}

TEST(UsageDocs, ConfigFileHintIsShellQuoted) {
  struct Case {
    const char* location;
    const char* hint;
  };
  const Case cases[] = {
      {"/etc/quillpost/client.conf", "Default value is /etc/quillpost/client.conf. Configuration"},
      {"/home/me/My Files/c.conf", "Default value is '/home/me/My Files/c.conf'. Configuration"},
      // Braces in the location stay literal.
      {"/tmp/{}/{version}.conf", "Default value is '/tmp/{}/{version}.conf'. Configuration"},
      {"/tmp/it's.conf", "Default value is '/tmp/it'\"'\"'s.conf'. Configuration"},
  };
  for (const auto& c : cases) {
    const auto docs = make_usage_docs(test_build(), std::string(c.location));
    const auto line_start = docs.public_docs.find("    --config-file=<string>");
    ASSERT_NE(line_start, std::string::npos);
    EXPECT_EQ(docs.public_docs.substr(line_start + 40, std::strlen(c.hint)), c.hint) << c.location;
    // The insertion point is unaffected: the parse text still has the hidden options.
    EXPECT_NE(docs.parse_docs.find("[--log-all]"), std::string::npos);
  }
  EXPECT_EQ(make_usage_docs(test_build(), std::string()).public_docs,
            make_usage_docs(test_build(), std::nullopt).public_docs);
}

TEST(ParseCommandLine, AcceptedFormsGiveTheirValues) {
  using namespace std::string_literals;
  using Texts = std::vector<std::string>;
  struct Case {
    std::vector<std::string> args;
    Arguments set;  // every other option is as without any
  };
  const std::vector<Case> cases = {
      {{"--email=a@b.c", "--password=p"}, {{"--email", "a@b.c"s}, {"--password", "p"s}}},
      {{"--client-key", "ck"}, {{"--client-key", "ck"s}}},
      {{"--use-enviroment-variables"}, {{"--use-enviroment-variables", true}}},
      {{"--web-interface", "--web-interface-port=9000", "--web-interface-shutdown"},
       {{"--web-interface", true},
        {"--web-interface-port", "9000"s},
        {"--web-interface-shutdown", true}}},
      {{"--proxy-none"}, {{"--proxy-none", true}}},
      {{"--proxy-none", "--proxy-host=h", "--proxy-port=1"},
       {{"--proxy-none", true}, {"--proxy-host", "h"s}, {"--proxy-port", "1"s}}},
      {{"--proxy-socks5", "--proxy-host=h", "--proxy-port=1", "--proxy-username=u",
        "--proxy-password=p"},
       {{"--proxy-socks5", true},
        {"--proxy-host", "h"s},
        {"--proxy-port", "1"s},
        {"--proxy-username", "u"s},
        {"--proxy-password", "p"s}}},
      {{"--settings-dir=/tmp/x", "--settings-dir-create"},
       {{"--settings-dir", "/tmp/x"s}, {"--settings-dir-create", true}}},
      {{"--config-file=/tmp/c.conf", "--check"},
       {{"--config-file", "/tmp/c.conf"s}, {"--check", true}}},
      {{"--service-discovery-param=a=1", "--service-discovery-param", "b=2"},
       {{"--service-discovery-param", Texts{"a=1", "b=2"}}}},
      {{"--log-all", "--disable-printer-removal", "--override-server-address=h:1"},
       {{"--log-all", true},
        {"--disable-printer-removal", true},
        {"--override-server-address", "h:1"s}}},
      {{"--win32-print-retry-count=0", "--win32-print-retry-delay=2"},
       {{"--win32-print-retry-count", "0"s}, {"--win32-print-retry-delay", "2"s}}},
      {{"--head"}, {{"--headless", true}}},  // an unambiguous prefix
  };
  // Without options every option is there, and none is set.
  const Arguments none = parse({});
  ASSERT_GT(none.size(), 40u);
  for (const auto& [name, value] : none) {
    EXPECT_EQ(docopt_bool_arg(none, name), std::nullopt) << name;
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Arguments expected = none;
    for (const auto& [name, value] : c.set) {
      ASSERT_EQ(expected.count(name), 1u) << name;
      expected[name] = value;
    }
    const Arguments got = parse(c.args);
    EXPECT_EQ(got.size(), expected.size());
    for (const auto& [name, value] : expected) {
      EXPECT_TRUE(got.count(name) && got.at(name) == value) << name;
    }
  }
}

TEST(ParseCommandLine, RejectedFormsCarryTheHelpScreen) {
  const std::vector<std::vector<std::string>> rejected = {
      {"--help", "--headless"},
      {"--check"},
      {"--settings-dir-create"},
      {"--web-interface-port=9000"},
      {"--email=a@b.c"},
      {"--email=a@b.c", "--password=p", "--client-key=k"},
      {"--proxy-http", "--proxy-host=h"},
      {"--proxy-http", "--proxy-host=h", "--proxy-port=1", "--proxy-username=u"},
      {"--computer-name=a", "--computer-name-regkey=b"},
      {"--win32-print-retry-count=1"},
      {"--no-such-option"},
      {"--proxy"},  // ambiguous prefix
      {"positional"},
      {"--headless", "--"},
  };
  const auto docs = make_usage_docs(test_build(), std::nullopt);
  for (const auto& args : rejected) {
    try {
      parse_command_line(docs, args);
      ADD_FAILURE() << "accepted " << ::testing::PrintToString(args);
    } catch (const InvalidCommandLine& e) {
      EXPECT_EQ(e.what(), docs.public_docs) << ::testing::PrintToString(args);
    }
  }
}

TEST(ParseCommandLine, HelpAndVersion) {
  const auto docs = make_usage_docs(test_build(), std::nullopt);
  for (const char* help : {"--help", "-h"}) {
    EXPECT_TRUE(std::holds_alternative<HelpRequested>(parse_command_line(docs, {help})));
  }
  for (const char* version : {"--version", "-v"}) {
    EXPECT_TRUE(std::holds_alternative<VersionRequested>(parse_command_line(docs, {version})));
  }
  EXPECT_EQ(version_text(test_build()), "v0.1.0 community edition");
}

TEST(ParseCommandLine, EmptyTextsAndDoubleDashAreValues) {
  // "--opt VALUE" takes VALUE as given, even when it is empty or "--".
  EXPECT_EQ(docopt_text_arg(parse({"--email", "", "--password", "p"}), "--email"), "");
  EXPECT_EQ(docopt_text_arg(parse({"--web-interface", "--web-interface-listen", ""}),
                            "--web-interface-listen"),
            "");
  EXPECT_EQ(docopt_text_arg(parse({"--email", "--", "--password", "p"}), "--email"), "--");
  EXPECT_EQ(docopt_text_arg(parse({"--email=", "--password=--"}), "--password"), "--");
  EXPECT_EQ(docopt_text_arg(parse({"--client", "--headless"}), "--client-key"), "--headless");
  EXPECT_EQ(docopt_text_arg(parse({}), "--email"), std::nullopt);
}

TEST(DocoptBoolArg, TrueValuesOrTheDefault) {
  const Arguments args{{"--flag", true},
                       {"--off", false},
                       {"--text", std::string("x")},
                       {"--empty", std::string()},
                       {"--list", std::vector<std::string>{"a"}},
                       {"--none", std::monostate{}}};
  EXPECT_EQ(docopt_bool_arg(args, "--flag"), true);
  EXPECT_EQ(docopt_bool_arg(args, "--text"), true);
  EXPECT_EQ(docopt_bool_arg(args, "--list"), true);
  for (const char* open : {"--off", "--empty", "--none", "--missing"}) {
    EXPECT_EQ(docopt_bool_arg(args, open), std::nullopt) << open;
    EXPECT_EQ(docopt_bool_arg(args, open, false), false) << open;
  }
}

TEST(DocoptIntArg, ConversionsAndBounds) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> v_min, v_max;
    std::optional<std::int64_t> expected;
    const char* error;
  };
  const Case cases[] = {
      {"30", 0, 30, 30, nullptr},
      {"0", 0, 30, 0, nullptr},
      {" 7 ", 0, 30, 7, nullptr},
      {"+5", 0, 30, 5, nullptr},
      {"31", 0, 30, {}, "Error with commandline argument '--n', '31' is greater than 30."},
      {"-1", 0, 30, {}, "Error with commandline argument '--n', '-1' is less than 0."},
      {"0", 1, 65535, {}, "Error with commandline argument '--n', '0' is less than 1."},
      {"", 0, 30, {}, "Error with commandline argument '--n', '' not a integer."},
      {"1.5", 0, 30, {}, "Error with commandline argument '--n', '1.5' not a integer."},
      {"ten", 0, 30, {}, "Error with commandline argument '--n', 'ten' not a integer."},
      {"99999999999", 1, std::nullopt, 99999999999, nullptr},
      {"99999999999999999999",
       1,
       std::nullopt,
       {},
       "Error with commandline argument '--n', '99999999999999999999' is greater than "
       "9223372036854775807."},
      // Too large for 64 bits, shown as converted like any other value.
      {" +099999999999999999999",
       0,
       30,
       {},
       "Error with commandline argument '--n', '99999999999999999999' is greater than 30."},
      {"-000099999999999999999999",
       0,
       30,
       {},
       "Error with commandline argument '--n', '-99999999999999999999' is less than 0."},
  };
  for (const auto& c : cases) {
    const Arguments args{{"--n", std::string(c.text)}};
    if (c.error) {
      try {
        docopt_int_arg(args, "--n", c.v_min, c.v_max);
        ADD_FAILURE() << "accepted '" << c.text << "'";
      } catch (const InvalidCommandLineArg& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
    } else {
      EXPECT_EQ(docopt_int_arg(args, "--n", c.v_min, c.v_max), c.expected) << c.text;
    }
  }
  EXPECT_EQ(docopt_int_arg({{"--n", std::monostate{}}}, "--n", 0, 1), std::nullopt);
  EXPECT_EQ(docopt_int_arg({}, "--n", 0, 1, 1), 1);
}

TEST(GetProxyFromArguments, Choices) {
  EXPECT_EQ(get_proxy_from_arguments(parse({})), std::nullopt);
  EXPECT_EQ(get_proxy_from_arguments(parse({"--proxy-none"})), ProxySetting{NoProxy{}});
  EXPECT_EQ(get_proxy_from_arguments(parse({"--proxy-none", "--proxy-host=h", "--proxy-port=1"})),
            ProxySetting{NoProxy{}});
  EXPECT_EQ(
      get_proxy_from_arguments(parse({"--proxy-socks4", "--proxy-host=h", "--proxy-port=80"})),
      ProxySetting(Proxy{"socks4", "h", "80", std::nullopt}));
  EXPECT_EQ(get_proxy_from_arguments(parse({"--proxy-http", "--proxy-host=h", "--proxy-port=x1",
                                            "--proxy-username=u", "--proxy-password=p"})),
            ProxySetting(Proxy{"http", "h", "x1", std::pair{"u", "p"}}));
  // An empty user name gives no authentication pair.
  EXPECT_EQ(get_proxy_from_arguments(parse({"--proxy-socks5", "--proxy-host=h", "--proxy-port=1",
                                            "--proxy-username=", "--proxy-password=p"})),
            ProxySetting(Proxy{"socks5", "h", "1", std::nullopt}));
}

TEST(ParseServiceDiscoveryParamArgs, OrderCaseAndReservedKeys) {
  const auto params = parse_service_discovery_param_args({"a=1", "B=x=y", "a=2", "b=3"});
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"a", "2"}, {"B", "x=y"}, {"b", "3"}};
  EXPECT_EQ(params.items, expected);
  EXPECT_TRUE(parse_service_discovery_param_args({}).empty());

  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const Case cases[] = {
      {{"Version=2"},
       "Error with commandline argument '--service-discovery-param', 'Version=2' 'Version' is not "
       "a allowed key."},
      {{"ok=1", "instance_id=x", "broken"},
       "Error with commandline argument '--service-discovery-param', 'instance_id=x' "
       "'instance_id' is not a allowed key."},
      {{"broken"},
       "Error with commandline argument '--service-discovery-param', 'broken' should be in format "
       "'key=value'."},
  };
  for (const auto& c : cases) {
    try {
      parse_service_discovery_param_args(c.args);
      ADD_FAILURE() << "accepted " << ::testing::PrintToString(c.args);
    } catch (const InvalidCommandLineArg& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
  }
}

}  // namespace
}  // namespace quillpost::main
