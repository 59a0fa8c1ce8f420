// Invariants the fuzz targets assert: a broken one aborts with a line on
// standard error, which libFuzzer reports as a crash with its input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "quillpost/host/config/records.h"

namespace quillpost::fuzz {

[[noreturn]] inline void fail(const char* target, const char* what) {
  std::fprintf(stderr, "%s: invariant broken: %s\n", target, what);
  std::abort();
}

inline bool within(const std::optional<std::int64_t>& value, std::int64_t low, std::int64_t high) {
  return !value || (*value >= low && *value <= high);
}

// The integer settings both the configuration file and the command line
// bound: a configuration that was accepted holds each within its range.
inline void check_integer_ranges(const RuntimeConfig& c, const char* target) {
  constexpr std::int64_t kMax = INT64_MAX;
  if (!within(c.computer_id, 1, kMax)) fail(target, "computer_id out of range");
  if (!within(c.web_interface_port, 1, 65535)) fail(target, "web_interface_port out of range");
  if (!within(c.max_http_redirects, 0, 30)) fail(target, "max_http_redirects out of range");
  if (const auto& r = c.win32_error_3012_retry) {
    if (!within(r->delay, 0, 300) || !within(r->count, 0, 10)) {
      fail(target, "win32_error_3012_retry out of range");
    }
  }
  if (const auto& r = c.win32_print_retry) {
    if (!within(r->delay, 2, 59) || !within(r->count, 0, 10)) {
      fail(target, "win32_print_retry out of range");
    }
  }
}

}  // namespace quillpost::fuzz
