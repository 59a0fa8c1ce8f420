// Facts about the machine, the system and the process, and the build and
// system lines at the head of every log.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillpost/host/config/build_info.h"
#include "quillpost/host/config/records.h"
#include "quillpost/host/logging/logs.h"
#include "quillpost/host/process/environment.h"

namespace quillpost::main {

// Where each fact comes from. Every probe may throw; a probe that throws (or
// is unset) leaves its field None. Tests replace them.
struct SystemProbes {
  std::function<std::string()> hostname;
  std::function<std::string()> username;
  std::function<std::string()> system;
  std::function<std::vector<std::string>()> windows_version;
  std::function<std::vector<std::string>()> mac_version;
  std::function<std::vector<std::string>()> linux_distribution;
  std::function<std::string()> platform;
  std::function<std::string()> machine;
  std::function<std::string()> runtime_implementation;
  std::function<std::string()> runtime_version;
  std::function<std::pair<std::string, std::string>()> architecture;
  std::function<std::chrono::system_clock::time_point()> now;
  std::function<std::int64_t()> pid;
};

// The probes of this machine; the login name is read from `getenv` first.
SystemProbes real_system_probes(const Getenv& getenv);

// Gathers the SystemInfo. Only the clock and the process id are not guarded.
SystemInfo get_system_info(const SystemProbes& probes);

// The distribution as (name, version, id) from an os-release file
// ("Debian GNU/Linux", "12", "debian"); nullopt when the file cannot be read
// or names no distribution.
std::optional<std::vector<std::string>> read_os_release(const std::filesystem::path& path);

// "2026-12-08 14:53:46.123456" in UTC; the fraction only when it is not zero.
std::string utc_timestamp(std::chrono::system_clock::time_point time);

// One info line: "BUILD CONFIGURATION version:... edition:... develop:... info:...".
void log_build_configuration(const logs::Logger& logger, const BuildInfo& build);

// Five info lines: runtime, system, machine, system version, and user, host
// and the working directory at the moment of writing.
void log_system_info(const logs::Logger& logger, const SystemInfo& system_info);

}  // namespace quillpost::main
