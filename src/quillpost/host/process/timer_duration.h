// Seconds (a double) as a steady-clock duration for timers and deadlines.
//
// The conversion saturates instead of overflowing: a count of seconds beyond
// what the clock's 64-bit nanoseconds hold would otherwise wrap to a negative
// duration and turn "in a very long time" into "now". Negative and
// not-a-number values mean "at once".
#pragma once

#include <chrono>
#include <cmath>

namespace quillpost {

// The longest timer the program sets, in seconds: about 100 years. Well below
// the ~292 years the clock's nanoseconds hold, so that now + this still fits.
inline constexpr double MAX_TIMER_SECONDS = 100.0 * 365 * 24 * 3600;

// The seconds a timer set for `seconds` waits: 0 to MAX_TIMER_SECONDS.
inline double timer_seconds(double seconds) {
  if (!(seconds > 0)) return 0.0;
  return std::fmin(seconds, MAX_TIMER_SECONDS);
}

inline std::chrono::steady_clock::duration timer_duration(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(timer_seconds(seconds)));
}

}  // namespace quillpost
