// Help texts read as the manual page and the completion read them, and roff
// that no text can turn into a request. (docs_test.sh checks the generated
// page and completion of the real launcher as a reader and bash see them.)
#include "usage2doc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace usage2doc {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::string launch_help() {
  std::string out;
  FILE* pipe = ::popen("env -i " QP_BINARY_DIR "/bin/launch --help", "r");
  char buffer[4096];
  for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    out.append(buffer, n);
  }
  if (pipe) ::pclose(pipe);
  return out;
}

const Option* find(const Help& help, std::string_view name) {
  const auto found = std::find_if(help.options.begin(), help.options.end(),
                                  [&](const Option& o) { return o.long_name == name; });
  return found == help.options.end() ? nullptr : &*found;
}

TEST(Usage2Doc, ReadsTheLaunchersHelp) {
  const Help help = parse_help(launch_help());
  ASSERT_EQ(help.synopsis.size(), 4u);
  EXPECT_THAT(help.synopsis[0], HasSubstr("[--computer-id=<int>]"));  // continuation joined
  EXPECT_EQ(help.synopsis[3], "(-v | --version)");
  EXPECT_EQ(help.options.size(), 41u);
  const Option* version = find(help, "--version");
  ASSERT_TRUE(version);
  EXPECT_EQ(version->short_name, "-v");
  const Option* listen = find(help, "--web-interface-listen");
  ASSERT_TRUE(listen);
  EXPECT_EQ(listen->placeholder, "string");
  EXPECT_THAT(listen->description, HasSubstr("specified address. May be either"));
  EXPECT_EQ(find(help, "--headless")->placeholder, "");
}

TEST(Usage2Doc, ReadsTheServicesHelpWithValuesAfterABlank) {
  const Help help = parse_help(
      "quillpost-service: a stand-in.\n\nUsage: quillpost-service [options]\n\nOptions:\n"
      "  --listen HOST              address to listen on\n"
      "  -h, --help                 show this text\n"
      "A port of 0 picks a free port.\n");
  EXPECT_EQ(help.synopsis, std::vector<std::string>{"[options]"});
  ASSERT_EQ(help.options.size(), 2u);
  EXPECT_EQ(help.options[0].placeholder, "HOST");
  EXPECT_TRUE(help.options[0].separate_value);
  EXPECT_EQ(help.options[1].short_name, "-h");
  EXPECT_EQ(help.options[1].description, "show this text");  // the note is not part of it
  EXPECT_THROW(parse_help("no usage here"), std::runtime_error);
}

TEST(Usage2Doc, NoTextLineBecomesARoffRequest) {
  EXPECT_EQ(roff_escape("--a\\b"), "\\-\\-a\\eb");
  EXPECT_EQ(roff_escape(".TH x"), "\\&.TH x");
  EXPECT_EQ(roff_escape("'x"), "\\&'x");
  Help help;
  help.synopsis = {"[--x]"};
  help.options = {{"", "--x", "", false, ".so /etc/passwd"}};
  const std::string page = man_page(help, {}, Page{"p", "s", "d", "src", "", ""});
  EXPECT_THAT(page, HasSubstr("\n\\&.so /etc/passwd\n"));
  EXPECT_THAT(page, Not(HasSubstr("\n.so")));
}

}  // namespace
}  // namespace usage2doc
