// Runs the real `launch` executable and checks what a user sees: the one line
// on standard output and the exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "quillpost/host/config/records.h"
#include "support/files.h"
#include "support/temp_dir.h"

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

// Runs the build's launch (or `program`) without a default configuration
// location or credentials unless `env` (a command prefix such as "env A=b")
// gives them.
LaunchResult launch(const std::vector<std::string>& args, const std::string& env = "",
                    const std::string& redirect = "",
                    const std::string& program = QP_BINARY_DIR "/bin/launch") {
  std::string command =
      "env -u XDG_CONFIG_HOME -u HOME -u CONFIGURATION_DIRECTORY -u CREDENTIALS_DIRECTORY " + env +
      " " + program;
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

TEST(Launch, HelpAndCheckLoadNoGuiToolkit) {
  // The loader names every library it opens (LD_DEBUG=files): Qt is not among
  // them, even with a display at hand.
  const testing::TempDir dir;
  const std::string config = (dir / "client.conf").string();
  std::ofstream(config) << "log_all = false\n";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"},
        std::vector<std::string>{"--config-file=" + config, "--check"}}) {
    const LaunchResult run = launch(args, "DISPLAY=:0 LD_DEBUG=files", "2>&1");
    EXPECT_EQ(run.status, 0) << args.back();
    EXPECT_NE(run.out.find("libquillpost_host.so"), std::string::npos) << args.back();
    EXPECT_EQ(run.out.find("libQt6"), std::string::npos) << args.back();
  }
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
  // A copy of launch whose application module is missing: its libraries are
  // links to the build's, but for that one.
#ifdef QP_APP_LINKED
  GTEST_SKIP() << "this build links the application into launch; the loader refuses to start it";
#endif
  testing::TempDir tree;
  std::filesystem::create_directories(tree / "bin");
  std::filesystem::create_directories(tree / "lib");
  std::filesystem::copy_file(QP_BINARY_DIR "/bin/launch", tree / "bin/launch");
  for (const auto& entry : std::filesystem::directory_iterator(QP_BINARY_DIR "/lib")) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(".so") && name != "libquillpost_app.so") {
      std::filesystem::create_symlink(entry.path(), tree / "lib" / name);
    }
  }
  const LaunchResult run = launch({"--headless", "--settings-dir=" + (tree / "settings").string(),
                                   "--settings-dir-create", "--client-key=k"},
                                  "timeout 20", "2>&1", (tree / "bin/launch").string());
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_EQ(run.out.find("terminate called"), std::string::npos) << run.out;
  const std::string last = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
  EXPECT_EQ(last.rfind("Unexpected failure: ", 0), 0u) << run.out;
  EXPECT_NE(last.find("libquillpost_app.so"), std::string::npos) << run.out;
}

TEST(Launch, AnUnusableServiceUrlIsRefusedByCheckAndAtStart) {
  const std::string bad = temp_file("bad.conf", "service_url = \"127.0.0.1:8470\"\n");
  const std::string good =
      temp_file("good.conf", "service_url = \"https://print.example.com/api\"\n");
  const std::string settings = good.substr(0, good.rfind('/')) + "/settings";
  const std::string from_file = "Config file '" + bad +
                                "': key 'service_url' is not a usable service URL: it must begin "
                                "with http:// or https://";
  const std::string from_env =
      "Service URL '127.0.0.1:8470' (QUILLPOST_SERVICE_URL) is not usable: it must begin with "
      "http:// or https://";
  struct Case {
    std::vector<std::string> args;
    std::string env;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"--config-file=" + bad, "--check"}, "", from_file},
      {{"--config-file=" + good, "--check"}, "QUILLPOST_SERVICE_URL=127.0.0.1:8470", from_env},
      // At start: refused before the settings directory is touched.
      {{"--config-file=" + good, "--headless", "--client-key=k", "--settings-dir=" + settings,
        "--settings-dir-create"},
       "QUILLPOST_SERVICE_URL=127.0.0.1:8470",
       from_env},
      {{"--config-file=" + good, "--check"},
       "QUILLPOST_SERVICE_URL='http://user:pw@127.0.0.1:1'",
       "Service URL 'http://user:pw@127.0.0.1:1' (QUILLPOST_SERVICE_URL) is not usable: "
       "credentials in a URL are not supported"},
  };
  for (const auto& c : cases) {
    const LaunchResult run = launch(c.args, c.env);
    EXPECT_EQ(run.status, value(ExitCodes::BAD_CONFIG_ERROR)) << c.line;
    EXPECT_EQ(run.out, c.line + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(settings + "/logs"));
  EXPECT_EQ(launch({"--config-file=" + good, "--check"}).out, "Config OK :)\n");
}

// The default configuration file: a copy of the sample on the first run, an
// edited one kept, an untouched sample of an earlier release replaced.
TEST(Launch, TheDefaultConfigurationIsCopiedFromTheSampleAndKeptOnceEdited) {
  const std::string sample = testing::read_file(QP_BINARY_DIR "/resources/sample_config.conf");
  const std::string earlier =
      testing::read_file(QP_SOURCE_DIR "/tests/main/data/sample_config_0.1.0.conf");
  const std::string edited = sample + "headless = true\n";
  ASSERT_NE(sample, earlier);
  struct Case {
    std::optional<std::string> before;
    std::string after;
  };
  for (const auto& c : std::vector<Case>{
           {std::nullopt, sample}, {edited, edited}, {earlier, sample}, {sample, sample}}) {
    testing::TempDir xdg;
    const auto file = xdg / "quillpost/client.conf";
    if (c.before) testing::write_file(xdg, "quillpost/client.conf", *c.before);
    // --help comes after the copy and names the file.
    const LaunchResult help = launch({"--help"}, "XDG_CONFIG_HOME=" + xdg.path().string());
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Default value is " + file.string() + ". Configuration file"),
              std::string::npos)
        << help.out;
    EXPECT_EQ(testing::read_file(file), c.after);
    if (c.before != c.after) {  // written: private to the user
      EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
  }
  // Without XDG_CONFIG_HOME the file is under HOME; the copy is then read.
  testing::TempDir home;
  testing::write_file(home, ".config/quillpost/client.conf", "service_url = \"nope\"\n");
  const LaunchResult run = launch({}, "HOME=" + home.path().string());
  EXPECT_EQ(run.status, value(ExitCodes::BAD_CONFIG_ERROR));
  EXPECT_NE(run.out.find(".config/quillpost/client.conf': key 'service_url'"), std::string::npos)
      << run.out;
}

}  // namespace
}  // namespace quillpost
