// Resident memory of a process as the kernel counts it: RSS (every page
// mapped in), PSS (shared pages divided among the processes that map them, so
// it falls when other processes map the same libraries, this program
// included), USS (the pages no other process maps) and the shared objects it
// maps.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace quillpost::bench {

struct Memory {
  long rss_kib = -1;
  long pss_kib = -1;
  long uss_kib = -1;
  int shared_objects = -1;
};

inline Memory memory_of(pid_t pid) {
  Memory m;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream rollup(proc + "/smaps_rollup");
  for (std::string line; std::getline(rollup, line);) {
    if (line.rfind("Rss:", 0) == 0) m.rss_kib = std::stol(line.substr(4));
    if (line.rfind("Pss:", 0) == 0) m.pss_kib = std::stol(line.substr(4));
    if (line.rfind("Private_Clean:", 0) == 0) m.uss_kib = std::stol(line.substr(14));
    if (line.rfind("Private_Dirty:", 0) == 0) m.uss_kib += std::stol(line.substr(14));
  }
  std::ifstream maps(proc + "/maps");
  std::set<std::string> objects;
  for (std::string line; std::getline(maps, line);) {
    const auto slash = line.find('/');
    if (slash == std::string::npos) continue;
    const std::string path = line.substr(slash);
    if (path.find(".so") != std::string::npos) objects.insert(path);
  }
  m.shared_objects = static_cast<int>(objects.size());
  return m;
}

// "<prefix>_rss_kib=N", "<prefix>_pss_kib=N", "<prefix>_uss_kib=N",
// "<prefix>_objects=N" lines.
inline void print_memory(const std::string& prefix, const Memory& m) {
  const char* p = prefix.c_str();
  std::printf("%s_rss_kib=%ld\n%s_pss_kib=%ld\n%s_uss_kib=%ld\n%s_objects=%d\n", p, m.rss_kib, p,
              m.pss_kib, p, m.uss_kib, p, m.shared_objects);
}

}  // namespace quillpost::bench
