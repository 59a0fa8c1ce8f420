#include "quillpost/host/comms/clock.h"

#include <array>
#include <chrono>
#include <cmath>
#include <mutex>

namespace quillpost::comms {

namespace {

struct Store {
  std::mutex mutex;
  std::function<void(const ClockSample&)> listener;
  std::optional<ClockSample> last;
};

Store& store() {
  static Store s;
  return s;
}

// Two digits at `at`, or -1.
int two_digits(std::string_view text, std::size_t at) {
  const char a = text[at];
  const char b = text[at + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
  return (a - '0') * 10 + (b - '0');
}

}  // namespace

std::optional<std::int64_t> parse_http_date(std::string_view text) {
  // "Sun, 06 Nov 1994 08:49:37 GMT": fixed width, 29 characters.
  if (text.size() != 29 || text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT") {
    return std::nullopt;
  }
  static constexpr std::array<std::string_view, 12> months{
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  unsigned month = 0;
  while (month < months.size() && months[month] != text.substr(8, 3)) ++month;
  const int day = two_digits(text, 5);
  const int century = two_digits(text, 12);
  const int year_part = two_digits(text, 14);
  const int hour = two_digits(text, 17);
  const int minute = two_digits(text, 20);
  const int second = two_digits(text, 23);
  if (month == months.size() || day < 1 || century < 0 || year_part < 0 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 60) {
    return std::nullopt;
  }
  using namespace std::chrono;
  const year_month_day date{year(century * 100 + year_part), std::chrono::month(month + 1),
                            std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return std::nullopt;
  return sys_days(date).time_since_epoch().count() * std::int64_t{86400} + hour * 3600 +
         minute * 60 + second;
}

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void note_http_date(std::string_view date, double sent, double received) {
  const auto seconds = parse_http_date(date);
  if (!seconds || received < sent || received - sent > 60) return;
  const double middle = sent + (received - sent) / 2;
  note_clock_sample({static_cast<double>(*seconds) + 0.5 - middle, "service"});
}

void note_clock_sample(const ClockSample& sample) {
  if (!std::isfinite(sample.offset)) return;
  std::function<void(const ClockSample&)> listener;
  {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    if (!s.listener) return;
    s.last = sample;
    listener = s.listener;
  }
  listener(sample);
}

void set_clock_listener(std::function<void(const ClockSample&)> listener) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  s.listener = std::move(listener);
  if (!s.listener) s.last.reset();
}

std::optional<ClockSample> last_clock_sample() {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return s.last;
}

std::string clock_offset_text(double offset) {
  const auto minutes = static_cast<std::int64_t>(std::llround(std::fabs(offset) / 60));
  if (minutes < 60) return std::to_string(minutes) + " min";
  return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
}

std::string clock_reason_for_certificate(bool not_yet_valid) {
  const auto sample = last_clock_sample();
  if (!sample || std::fabs(sample->offset) <= CLOCK_OFFSET_LIMIT_SECONDS) return {};
  const bool behind = sample->offset > 0;
  if (behind != not_yet_valid) return {};
  return "the computer's clock is " + clock_offset_text(sample->offset) +
         (behind ? " behind" : " ahead of") +
         (sample->source == "service" ? " the service's" : " the time server's");
}

}  // namespace quillpost::comms
