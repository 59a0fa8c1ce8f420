// Runs the real `launch` executable and checks what a user sees: the one line
// on standard output and the exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "quillpost/host/config/records.h"
#include "support/files.h"

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

LaunchResult launch(const std::vector<std::string>& args, const std::string& env = "",
                    const std::string& redirect = "") {
  std::string command = env + " " QP_BINARY_DIR "/bin/launch";
  for (const auto& a : args) command += " " + shell_word(a);
  command += " " + redirect;
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
  return testing::read_file(QP_SOURCE_DIR "/tests/main/data/help_no_default_location.txt");
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

// Writes `content` to a new file under a fresh directory, removed when the
// test program ends, and returns its path.
std::string temp_file(const std::string& name, const std::string& content) {
  static struct Dirs {
    std::vector<std::string> made;
    ~Dirs() {
      for (const auto& d : made) std::filesystem::remove_all(d);
    }
  } dirs;
  char dir_template[] = "/tmp/qp-launch-test-XXXXXX";
  const std::string dir = ::mkdtemp(dir_template);
  dirs.made.push_back(dir);
  const std::string path = dir + "/" + name;
  std::ofstream(path) << content;
  return path;
}

TEST(Launch, StartUpChecksPrintOneLineWithTheirCode) {
  const std::string good = temp_file("good.conf", "headless = true\nlog_all = false\n");
  const std::string unknown = temp_file("unknown.conf", "no_such_setting = 1\n");
  const std::string cacert = temp_file("ca.pem", "not checked for content\n");
  const std::string dir_of_good = good.substr(0, good.rfind('/'));
  struct Case {
    std::vector<std::string> args;
    std::string line;
    ExitCodes code;
  };
  const std::vector<Case> cases = {
      {{"--config-file=" + good, "--check"}, "Config OK :)", ExitCodes::OK},
      {{"--config-file=/no/such/file.conf", "--check"},
       "Config file '/no/such/file.conf' does not exist",
       ExitCodes::BAD_CONFIG_ERROR},
      {{"--config-file=/no/such/file.conf"},
       "Config file '/no/such/file.conf' does not exist",
       ExitCodes::BAD_CONFIG_ERROR},
      // A terminal escape in a path reaches the terminal escaped.
      {{"--config-file=/no/such/\x1b[2J.conf"},
       "Config file '/no/such/\\x1b[2J.conf' does not exist",
       ExitCodes::BAD_CONFIG_ERROR},
      {{"--config-file=" + unknown, "--check"},
       "Config file '" + unknown + "': key 'no_such_setting' is not a setting",
       ExitCodes::BAD_CONFIG_ERROR},
      {{"--config-file=" + good, "--check", "--settings-dir=relative/dir"},
       "Settings dir \"relative/dir\" is not a absolute path, please use a fully qualified path. ",
       ExitCodes::BAD_COMMAND_LINE_ARGUMENTS},
      {{"--config-file=" + good, "--check", "--settings-dir=/no/such/settings"},
       "Settings dir \"/no/such/settings\" doesn't exist. Using --settings-dir-create might help.",
       ExitCodes::APP_SETTINGS_DIR_NOT_FOUND},
      {{"--config-file=" + good, "--check", "--cacert-file=/no/such/ca.pem"},
       "Cacert file '/no/such/ca.pem' does not exist",
       ExitCodes::APP_CACERT_FILE_NOT_FOUND},
      {{"--config-file=" + good, "--check", "--cacert-file=" + dir_of_good},
       "Cacert file '" + dir_of_good + "' is not a file",
       ExitCodes::APP_CACERT_FILE_NOT_FOUND},
      {{"--config-file=" + good, "--check", "--cacert-file=" + cacert},
       "Config OK :)",
       ExitCodes::OK},
      {{"--config-file=" + good, "--check", "--http-library=Requests"},
       "HTTP library 'Requests' is not a permitted values",
       ExitCodes::BAD_COMMAND_LINE_ARGUMENTS},
      {{"--config-file=" + good, "--check", "--http-library=pycurl"},
       "Config OK :)",
       ExitCodes::OK},
  };
  for (const auto& c : cases) {
    const LaunchResult run = launch(c.args);
    EXPECT_EQ(run.status, value(c.code)) << c.line;
    EXPECT_EQ(run.out, c.line + "\n");
  }
}

TEST(Launch, CheckWithSettingsDirCreateMakesTheDirectoryButNoLog) {
  const std::string good = temp_file("good.conf", "");
  const std::string settings = good.substr(0, good.rfind('/')) + "/settings";
  const LaunchResult run = launch(
      {"--config-file=" + good, "--check", "--settings-dir=" + settings, "--settings-dir-create"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Config OK :)\n");
  EXPECT_EQ(::access(settings.c_str(), F_OK), 0) << "--settings-dir-create makes the directory";
  EXPECT_NE(::access((settings + "/logs").c_str(), F_OK), 0) << "--check must not set up logging";
}

TEST(Launch, AFailureTheLauncherDoesNotMapIsOneLineNotAnAbort) {
  const std::string conf = temp_file("run.conf", "");
  const std::string settings = conf.substr(0, conf.rfind('/')) + "/settings";
  // A service URL without a scheme fails once the application starts.
  const LaunchResult run =
      launch({"--headless", "--config-file=" + conf, "--settings-dir=" + settings,
              "--settings-dir-create", "--client-key=k"},
             "QUILLPOST_SERVICE_URL=127.0.0.1:8470 timeout 20", "2>&1");
  EXPECT_GE(run.status, 0) << "ended by a signal: " << run.out;
  EXPECT_NE(run.status, 124) << "still running: " << run.out;
  EXPECT_EQ(run.out.find("terminate called"), std::string::npos) << run.out;
  const std::string last = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
  EXPECT_NE(last.find("127.0.0.1:8470"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace quillpost
