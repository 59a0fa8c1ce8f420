// What the program knows of the computer's clock against the service's: the
// offsets that the HTTP engines read from the Date header of the service's
// answers, and the text that names a large offset.
//
// The store is process-wide and thread-safe. It takes samples only while a
// listener is set (the clock check agent sets one when the check runs), so a
// run with the check off keeps nothing and names no clock anywhere.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillpost::comms {

// An offset larger than this (either way) is worth a warning: certificates
// and signed tokens start to fail, and job times are visibly wrong.
inline constexpr double CLOCK_OFFSET_LIMIT_SECONDS = 120.0;

struct ClockSample {
  // The other clock minus the computer's, in seconds: positive when the
  // computer's clock is behind.
  double offset = 0;
  // Where it was seen: "service" (a Date header) or "sntp HOST:PORT".
  std::string source;
};

// The seconds since 1970 of an HTTP date in its preferred form
// ("Sun, 06 Nov 1994 08:49:37 GMT"); nullopt for anything else.
std::optional<std::int64_t> parse_http_date(std::string_view text);

// Seconds since 1970 of the system clock now, with fractions.
double wall_seconds();

// Records the offset an answer's Date header shows: the request left at
// `sent` and the answer's header arrived at `received` (both wall_seconds()).
// The date stands for the middle of the round trip; it has whole seconds, so
// half a second is added. A malformed date, or an answer that took more than
// a minute, is ignored.
void note_http_date(std::string_view date, double sent, double received);

// Takes a sample from any source (the SNTP client, note_http_date).
void note_clock_sample(const ClockSample& sample);

// The listener gets every sample, on the thread that took it; an empty one
// stops the store (and forgets the last sample).
void set_clock_listener(std::function<void(const ClockSample&)> listener);

// The last sample taken while a listener was set.
std::optional<ClockSample> last_clock_sample();

// "2 h 13 min" (or "47 min", "1 min") for the size of an offset.
std::string clock_offset_text(double offset);

// For a certificate refused for its validity dates: "the computer's clock is
// 2 h 13 min behind the service's" (or "the time server's", after an SNTP
// sample) when the last offset is over the limit and
// points the way that explains the refusal (behind for a certificate not yet
// valid, ahead for an expired one); empty otherwise.
std::string clock_reason_for_certificate(bool not_yet_valid);

}  // namespace quillpost::comms
