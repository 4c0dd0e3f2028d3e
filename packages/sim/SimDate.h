// Dates for the simulated packages, which see nothing of the service but the
// SDK header. Inside, an instant is a linear count of milliseconds since
// 30/12/1899 00:00 (negative before it); at the boundary it is a TDateTime,
// whose negative values keep a positive time of day (-1.25 is 29/12/1899 06:00).
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace sim {

constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kMsPerMinute = 60000;
// Days from 30/12/1899 to 01/01/0001 and to 31/12/9999.
constexpr int64_t kFirstDay = -693593;
constexpr int64_t kLastDay = 2958465;

inline bool IsLeap(int64_t y) { return (y % 4 == 0) && (y % 100 != 0 || y % 400 == 0); }

// Days since 30/12/1899 of a civil date (proleptic Gregorian).
inline int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 + 25569;  // 25569: 30/12/1899 .. 01/01/1970
}

inline void CivilFromDays(int64_t days, int64_t& y, int& m, int& d) {
  const int64_t z = days - 25569 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

inline int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// TDateTime of a linear instant.
inline double ToDateTime(int64_t ms) {
  const int64_t days = FloorDiv(ms, kMsPerDay);
  const double fraction = static_cast<double>(ms - days * kMsPerDay) / kMsPerDay;
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

// Linear instant of a TDateTime; false for NaN, infinities and values outside
// the years 1 .. 9999.
inline bool FromDateTime(double value, int64_t& ms) {
  if (!std::isfinite(value)) return false;
  const double days = std::trunc(value);
  if (days < static_cast<double>(kFirstDay) || days > static_cast<double>(kLastDay)) return false;
  const int64_t fraction = std::llround(std::fabs(value - days) * kMsPerDay);
  ms = static_cast<int64_t>(days) * kMsPerDay + fraction;
  return true;
}

inline int64_t EncodeMs(int64_t y, int mo, int d, int h = 0, int mi = 0, int s = 0, int msec = 0) {
  return DaysFromCivil(y, mo, d) * kMsPerDay + ((h * 60LL + mi) * 60LL + s) * 1000LL + msec;
}

// The computer's local clock.
inline int64_t LocalNowMs() {
  using namespace std::chrono;
  const int64_t epochMs =
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(FloorDiv(epochMs, 1000));
  std::tm local{};
  localtime_r(&secs, &local);
  return EncodeMs(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>(epochMs - secs * 1000LL));
}

// "dd/mm/yyyy hh:nn:ss".
inline std::string Format(int64_t ms) {
  const int64_t days = FloorDiv(ms, kMsPerDay);
  const int64_t rest = ms - days * kMsPerDay;
  int64_t y;
  int m, d;
  CivilFromDays(days, y, m, d);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04lld %02d:%02d:%02d", d, m,
                static_cast<long long>(y), static_cast<int>(rest / 3600000),
                static_cast<int>(rest / 60000 % 60), static_cast<int>(rest / 1000 % 60));
  return buf;
}

// Parses "yyyy-mm-dd[ hh:mm[:ss]]", "dd/mm/yyyy[ hh:mm[:ss]]" or a TDateTime
// number ("42445.8125"). False when the text is none of these.
inline bool ParseInstant(const std::string& text, int64_t& ms) {
  int a = 0, b = 0, c = 0, h = 0, mi = 0, s = 0;
  int n = std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &a, &b, &c, &h, &mi, &s);
  if (n >= 3 && text.find('-') != std::string::npos && text.find('-') > 0) {
    if (b < 1 || b > 12 || c < 1 || c > 31) return false;
    ms = EncodeMs(a, b, c, h, mi, s);
    return true;
  }
  n = std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d", &a, &b, &c, &h, &mi, &s);
  if (n >= 3) {
    if (b < 1 || b > 12 || a < 1 || a > 31) return false;
    ms = EncodeMs(c, b, a, h, mi, s);
    return true;
  }
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') return false;
  return FromDateTime(value, ms);
}

}  // namespace sim
