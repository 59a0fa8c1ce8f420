// Runs the real `launch` executable and checks what a user sees: the one line
// on standard output and the exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "quillpost/host/records.h"

namespace quillpost {
namespace {

struct LaunchResult {
  std::string out;
  int status;
};

std::string shell_word(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

LaunchResult launch(const std::vector<std::string>& args, const std::string& env = "") {
  std::string command = env + " " QP_BINARY_DIR "/bin/launch";
  for (const auto& a : args) command += " " + shell_word(a);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {"", -1};
  std::string out;
  std::array<char, 4096> buffer;
  while (const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) {
    out.append(buffer.data(), n);
  }
  const int raw = ::pclose(pipe);
  return {out, WIFEXITED(raw) ? WEXITSTATUS(raw) : -1};
}

std::string help_screen() {
  std::ifstream in(QP_SOURCE_DIR "/tests/main/data/help_no_default_location.txt");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

constexpr int kBadArgs = value(ExitCodes::BAD_COMMAND_LINE_ARGUMENTS);

TEST(Launch, HelpAndVersion) {
  const LaunchResult help = launch({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, help_screen());
  EXPECT_EQ(launch({"-h"}).out, help_screen());

  const LaunchResult version = launch({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.substr(0, 1), "v");
  EXPECT_NE(version.out.find(" edition\n"), std::string::npos);
  EXPECT_EQ(version.out.find('\n'), version.out.size() - 1);

  const LaunchResult help_and_more = launch({"--help", "--headless"});
  EXPECT_EQ(help_and_more.status, kBadArgs);
  EXPECT_EQ(help_and_more.out, help_screen());
}

TEST(Launch, CommandLineErrorsPrintOneLine) {
  struct Case {
    std::vector<std::string> args;
    std::string env;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"--max-http-redirects=31"},
       "",
       "Error with commandline argument '--max-http-redirects', '31' is greater than 30."},
      {{"--max-http-redirects=-1"},
       "",
       "Error with commandline argument '--max-http-redirects', '-1' is less than 0."},
      {{"--web-interface", "--web-interface-port=0"},
       "",
       "Error with commandline argument '--web-interface-port', '0' is less than 1."},
      {{"--computer-id=abc"},
       "",
       "Error with commandline argument '--computer-id', 'abc' not a integer."},
      {{"--computer-name=a_b"},
       "",
       "Computer name 'a_b' is not valid. Computer names can only contain ASCII letters, numbers "
       "and '.' and '-'."},
      {{"--computer-name-regkey=HKLM\\Name"},
       "",
       "--computer-name-regkey is only supported on windows"},
      {{"--use-enviroment-variables"},
       "env -u PRINT_CLIENT_EMAIL -u PRINT_CLIENT_PASSWORD",
       "Error with commandline argument '--use-enviroment-varibales', enviroment variable "
       "'PRINT_CLIENT_EMAIL' not set."},
      {{"--service-discovery-param=EDITION=x"},
       "",
       "Error with commandline argument '--service-discovery-param', 'EDITION=x' 'EDITION' is "
       "not a allowed key."},
  };
  for (const auto& c : cases) {
    const LaunchResult run = launch(c.args, c.env);
    EXPECT_EQ(run.status, kBadArgs) << c.line;
    EXPECT_EQ(run.out, c.line + "\n");
  }
}

TEST(Launch, GrammarErrorsPrintTheHelpScreen) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--check"}, {"--email=a"}, {"--proxy-http", "--proxy-host=h"}, {"stray"}}) {
    const LaunchResult run = launch(args);
    EXPECT_EQ(run.status, kBadArgs);
    EXPECT_EQ(run.out, help_screen());
  }
}

}  // namespace
}  // namespace quillpost
