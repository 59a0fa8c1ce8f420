// `cmake --install` into a temporary prefix gives a program that runs from
// there under its command's name, with its libraries, resources,
// configuration file, service unit and documents in place.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/files.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using quillpost::testing::read_file;

struct CommandResult {
  int status = -1;
  std::string output;
};

// Runs a shell command with its standard error joined to its output.
CommandResult run(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    result.output.append(buffer, n);
  }
  const int raw = ::pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

TEST(Install, IntoATemporaryPrefixGivesARunnableLaunch) {
  quillpost::testing::TempDir prefix;
  const CommandResult install =
      run("'" QP_CMAKE_COMMAND "' --install '" QP_BINARY_DIR "' --prefix '" +
          prefix.path().string() + "'");
  ASSERT_EQ(install.status, 0) << install.output;

  // The launcher is installed under the command's name.
  const fs::path launch = prefix / "bin/quillpost";
  ASSERT_TRUE(fs::exists(launch)) << install.output;
  EXPECT_FALSE(fs::exists(prefix / "bin/launch"));
  EXPECT_TRUE(fs::exists(prefix / "bin/quillpost-service"));
  for (const char* library : {"libquillpost_host.so", "libquillpost_runtime.so",
                              "libquillpost_curl.so", "libquillpost_app.so", "libquillpost_main.so",
                              "libquillpost_client.so", "libquillpost_cups.so"}) {
    EXPECT_TRUE(fs::exists(prefix / "lib/quillpost" / library)) << library;
  }
  const std::string sample = read_file(fs::path(QP_SOURCE_DIR) / "resources/sample_config.conf");
  EXPECT_EQ(read_file(prefix / "share/quillpost/resources/sample_config.conf"), sample);
  // Outside /usr the configuration stays under the prefix.
  EXPECT_EQ(read_file(prefix / "etc/quillpost/client.conf"), sample);
  EXPECT_EQ(fs::exists(prefix / "share/man/man1/quillpost.1.gz"), QP_DOCS_BUILT);
  EXPECT_EQ(fs::exists(prefix / "share/bash-completion/completions/quillpost"), QP_DOCS_BUILT);

  // The installed program must not lean on the build tree for its libraries.
  const std::string binary = read_file(launch);
  EXPECT_EQ(binary.find(QP_BINARY_DIR "/lib"), std::string::npos);
  const CommandResult version = run("env -u LD_LIBRARY_PATH '" + launch.string() + "' --version");
  EXPECT_EQ(version.status, 0) << version.output;
  EXPECT_NE(version.output.find(QP_PROJECT_VERSION), std::string::npos) << version.output;

  const std::string unit = read_file(prefix / "lib/systemd/system/quillpost.service");
  for (const std::string& line : {std::string("Type=notify"), std::string("KillSignal=SIGTERM"),
                                  std::string("User=quillpost"), std::string("WatchdogSec=60"),
                                  "ExecStart=" + launch.string() + " --headless --config-file=" +
                                      (prefix / "etc/quillpost/client.conf").string() +
                                      " --settings-dir=/var/lib/quillpost"}) {
    EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << "\n" << unit;
  }
  EXPECT_EQ(unit.find("@QP_"), std::string::npos) << "a placeholder left in the unit";

  // The udev rule runs the probe installed beside the libraries.
  const fs::path probe = prefix / "lib/quillpost/hid-scale-probe";
  EXPECT_EQ(::access(probe.c_str(), X_OK), 0);
  const std::string rule = read_file(prefix / "lib/udev/rules.d/60-quillpost-scales.rules");
  EXPECT_NE(rule.find("\nIMPORT{program}=\"" + probe.string() + " %S%p\"\n"), std::string::npos)
      << rule;
}

}  // namespace
