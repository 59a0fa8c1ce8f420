// Wall time and peak memory of starting commands: runs each command many
// times, the commands interleaved so that a slow spell of the machine hits
// them alike, and prints one tab-separated line per command:
//
//   LABEL  RUNS  MEDIAN_MS  P90_MS  MIN_MS  MAX_RSS_KIB  FAILED_RUNS
//
//   spawn_timer [--runs N] [--warmup N] LABEL PROGRAM ARG... ';;' LABEL PROGRAM ARG... ...
//
// Each run is posix_spawn to wait4, standard output and error to /dev/null.
// A run that exits non-zero counts as failed (and is still timed).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Command {
  std::string label;
  std::vector<std::string> argv;
  std::vector<double> ms;
  long max_rss_kib = 0;
  int failed = 0;
};

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

// One run: the wall time in milliseconds; false when it could not be started.
bool run_once(Command& command, bool record) {
  std::vector<char*> argv;
  for (auto& a : command.argv) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::fprintf(stderr, "spawn_timer: cannot start %s: %s\n", argv[0], std::strerror(rc));
    return false;
  }
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return false;
  }
  const auto end = std::chrono::steady_clock::now();
  if (!record) return true;
  command.ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  command.max_rss_kib = std::max(command.max_rss_kib, usage.ru_maxrss);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++command.failed;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 200;
  int warmup = 10;
  std::vector<Command> commands;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--warmup" && i + 1 < argc) {
      warmup = std::max(0, std::atoi(argv[++i]));
    } else {
      break;
    }
  }
  for (; i < argc; ++i) {
    if (commands.empty() || std::strcmp(argv[i], ";;") == 0) {
      if (std::strcmp(argv[i], ";;") == 0) ++i;
      if (i >= argc) break;
      commands.push_back(Command{argv[i], {}, {}, 0, 0});
      continue;
    }
    commands.back().argv.push_back(argv[i]);
  }
  commands.erase(std::remove_if(commands.begin(), commands.end(),
                                [](const Command& c) { return c.argv.empty(); }),
                 commands.end());
  if (commands.empty()) {
    std::fprintf(stderr,
                 "usage: spawn_timer [--runs N] [--warmup N] LABEL PROGRAM ARG... ';;' ...\n");
    return 2;
  }
  for (int r = 0; r < warmup + runs; ++r) {
    for (auto& command : commands) {
      if (!run_once(command, r >= warmup)) return 1;
    }
  }
  for (const auto& c : commands) {
    std::printf("%s\t%zu\t%.3f\t%.3f\t%.3f\t%ld\t%d\n", c.label.c_str(), c.ms.size(),
                percentile(c.ms, 0.5), percentile(c.ms, 0.9),
                *std::min_element(c.ms.begin(), c.ms.end()), c.max_rss_kib, c.failed);
  }
  return 0;
}
