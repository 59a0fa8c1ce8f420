// quillpost-service: serves discovery, login, the client socket and the
// documents of print jobs on loopback until SIGINT or SIGTERM. The first line
// of output says where. `print` and `jobs` instead talk to a running one.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "service/accounts.h"
#include "service/commands.h"
#include "service/options.h"
#include "service/server.h"

namespace {

// Writes one log line to standard output with its UTC time, at once, so that
// a process reading the output sees it as it happens.
void write_line(const std::string& text) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
  std::printf("%s.%03d %s\n", stamp, static_cast<int>(ms), text.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quillpost::service;
  // A reader of our output that goes away must not kill the service.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (auto status = run_command(args, std::cout, std::cerr)) {
    return *status;
  }
  const auto parsed = parse_command_line(args);
  if (parsed.help) {
    std::cout << usage_text;
    return 0;
  }
  if (!parsed.error.empty()) {
    std::cerr << "quillpost-service: " << parsed.error << "\n\n" << usage_text;
    return 2;
  }
  try {
    AccountStore accounts;
    if (parsed.options.demo_account) {
      accounts.add(demo_account());
    }
    for (const auto& file : parsed.options.accounts_files) {
      accounts.add_file(file);
    }
    Service service(parsed.options, std::move(accounts), write_line);
    std::printf("%s\n", service.listening_line().c_str());
    std::fflush(stdout);
    if (parsed.options.demo_account) {
      const Account demo = demo_account();
      write_line("demo account: email " + demo.email + ", password " +
                 std::string(demo.password.size(), '*') + " (see README)");
    }
    service.run(true);
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::cerr << "quillpost-service: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
