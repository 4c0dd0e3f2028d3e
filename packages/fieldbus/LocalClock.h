// The computer's local clock as the bus packages see it: an instant is a
// linear count of milliseconds since 30/12/1899 00:00 local time (the origin
// of TDateTime), so that period boundaries of the local clock (hh:00, hh:15,
// ...) are plain multiples of the period.
//
// LocalNowMs and FormatMs use the system's time functions
// (LocalClock_posix.cpp); the rest is arithmetic.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

namespace fb {

constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kMsPerMinute = 60 * kMsPerSecond;
constexpr int64_t kMsPerDay = 24 * 60 * kMsPerMinute;

// The local clock now (system clock, local time zone).
int64_t LocalNowMs();

// "dd/mm/yyyy hh:mm:ss" of an instant.
std::string FormatMs(int64_t ms);

inline int64_t FloorDiv(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The instant with its seconds and milliseconds set to 0.
inline int64_t ZeroSecondsMs(int64_t ms) { return FloorDiv(ms, kMsPerMinute) * kMsPerMinute; }

// TDateTime of an instant (negative days keep a positive time of day, as
// TDateTime does: -1.25 is 29/12/1899 06:00).
inline double ToDateTime(int64_t ms) {
  const int64_t days = FloorDiv(ms, kMsPerDay);
  const double fraction = static_cast<double>(ms - days * kMsPerDay) / kMsPerDay;
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

// Instant of a TDateTime, to the nearest millisecond. NaN and values before
// the year 1 give an instant before 01/01/0001, values after the year 9999
// one after 31/12/9999: "everything" and "nothing" after them.
inline int64_t FromDateTime(double value) {
  constexpr int64_t kFirstDay = -693593;  // 01/01/0001
  constexpr int64_t kLastDay = 2958465;   // 31/12/9999
  const double days = std::trunc(value);
  if (std::isnan(value) || days < kFirstDay) return kFirstDay * kMsPerDay - 1;
  if (days > kLastDay) return (kLastDay + 1) * kMsPerDay;
  const int64_t fraction = std::llround(std::fabs(value - days) * kMsPerDay);
  return static_cast<int64_t>(days) * kMsPerDay + fraction;
}

}  // namespace fb
