#include "quillpost/main/system_info.h"

#include <fmt/format.h>
#include <gnu/libc-version.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <stdexcept>

namespace quillpost::main {
namespace {

utsname uname_or_throw() {
  utsname names{};
  if (::uname(&names) != 0) throw std::runtime_error("uname failed");
  return names;
}

std::string login_name(const Getenv& getenv) {
  // The usual order: the login environment first, then the password database.
  for (const char* name : {"LOGNAME", "USER", "LNAME", "USERNAME"}) {
    const std::optional<std::string> value = read_env(getenv, name);
    if (value && !value->empty()) return *value;
  }
  const passwd* entry = ::getpwuid(::getuid());
  if (!entry || !entry->pw_name) throw std::runtime_error("no login name");
  return entry->pw_name;
}

std::string unquote(std::string value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    const char quote = value.front();
    std::string out;
    for (std::size_t i = 1; i + 1 < value.size(); ++i) {
      if (quote == '"' && value[i] == '\\' && i + 2 < value.size()) ++i;
      out += value[i];
    }
    return out;
  }
  return value;
}

std::vector<std::string> linux_distribution() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    if (auto tuple = read_os_release(path)) return *tuple;
  }
  throw std::runtime_error("no os-release");
}

template <typename T>
std::optional<T> guarded(const std::function<T()>& probe) {
  if (!probe) return std::nullopt;
  try {
    return probe();
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::vector<std::string>> read_os_release(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::map<std::string, std::string> fields;
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (line.empty() || line.front() == '#' || eq == std::string::npos) continue;
    fields[line.substr(0, eq)] = unquote(line.substr(eq + 1));
  }
  if (!fields.count("NAME") && !fields.count("ID")) return std::nullopt;
  return std::vector<std::string>{fields["NAME"], fields["VERSION_ID"], fields["ID"]};
}

std::string utc_timestamp(std::chrono::system_clock::time_point time) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
  std::int64_t seconds = micros / 1000000;
  std::int64_t fraction = micros % 1000000;
  if (fraction < 0) {
    fraction += 1000000;
    seconds -= 1;
  }
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  ::gmtime_r(&t, &parts);
  std::string out =
      fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  if (fraction) out += fmt::format(".{:06}", fraction);
  return out;
}

SystemProbes real_system_probes(const Getenv& getenv) {
  SystemProbes probes;
  probes.hostname = [] { return std::string(uname_or_throw().nodename); };
  probes.username = [getenv] { return login_name(getenv); };
  probes.system = [] { return std::string(uname_or_throw().sysname); };
  probes.linux_distribution = linux_distribution;
  probes.platform = [] {
    const utsname names = uname_or_throw();
    return fmt::format("{}-{}-{}-with-glibc{}", names.sysname, names.release, names.machine,
                       ::gnu_get_libc_version());
  };
  probes.machine = [] { return std::string(uname_or_throw().machine); };
#if defined(__clang__)
  probes.runtime_implementation = [] { return std::string("Clang"); };
  probes.runtime_version = [] {
    return fmt::format("{}.{}.{}", __clang_major__, __clang_minor__, __clang_patchlevel__);
  };
#elif defined(__GNUC__)
  probes.runtime_implementation = [] { return std::string("GCC"); };
  probes.runtime_version = [] {
    return fmt::format("{}.{}.{}", __GNUC__, __GNUC_MINOR__, __GNUC_PATCHLEVEL__);
  };
#endif
  probes.architecture = [] {
    return std::make_pair(std::to_string(sizeof(void*) * 8) + "bit", std::string("ELF"));
  };
  probes.now = [] { return std::chrono::system_clock::now(); };
  probes.pid = [] { return static_cast<std::int64_t>(::getpid()); };
  return probes;
}

SystemInfo get_system_info(const SystemProbes& probes) {
  SystemInfo info;
  info.client_started = utc_timestamp(probes.now());
  info.hostname = guarded(probes.hostname);
  info.username = guarded(probes.username);
  info.system = guarded(probes.system);
  if (info.system == "Windows") {
    info.system_version = guarded(probes.windows_version);
  } else if (info.system == "Darwin") {
    info.system_version = guarded(probes.mac_version);
  } else if (info.system == "Linux") {
    info.system_version = guarded(probes.linux_distribution);
  }
  info.platform = guarded(probes.platform);
  info.machine = guarded(probes.machine);
  info.python_implementation = guarded(probes.runtime_implementation);
  info.python_version = guarded(probes.runtime_version);
  info.platform_architecture = guarded(probes.architecture);
  info.pid = probes.pid();
  return info;
}

void log_build_configuration(const logs::Logger& logger, const BuildInfo& build) {
  logger.info("%s", "BUILD CONFIGURATION version:" + build.version + " edition:" + build.edition +
                        " develop:" + to_text(build.develop) + " info:" + build.info);
}

void log_system_info(const logs::Logger& logger, const SystemInfo& system_info) {
  logger.info("PYTHON  : %s", system_info.python_version);
  logger.info("SYSTEM  : %s", system_info.system);
  logger.info("MACHINE : %s", system_info.machine);
  // The version is a tuple: "('Debian GNU/Linux', '12', 'debian')".
  std::string version = "None";
  if (system_info.system_version) {
    version = "(";
    for (std::size_t i = 0; i < system_info.system_version->size(); ++i) {
      if (i) version += ", ";
      version += quoted_text((*system_info.system_version)[i]);
    }
    version += system_info.system_version->size() == 1 ? ",)" : ")";
  }
  logger.info("VERSION : %s", version);
  std::error_code ec;
  const auto cwd = std::filesystem::current_path(ec);
  logger.info("user, hostname, cwd : %s, %s, %s", system_info.username, system_info.hostname,
              ec ? std::string("None") : cwd.string());
}

}  // namespace quillpost::main
