#include "platform/DateTime.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace dt {
namespace {

// Day number of 30/12/1899 when 01/01/0001 is day 1 (TDateTime 0).
constexpr int64_t kDelta = 693594;
// Days from 01/01/0001 up to 31/12/9999, the last decodable day.
constexpr int64_t kMaxDays = 3652059;

bool IsLeap(int y) { return (y % 4 == 0) && (y % 100 != 0 || y % 400 == 0); }

const int kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                               {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

// Days since 01/01/0001 (day 1) of a calendar date.
int64_t DaysFromCivil(int y, int m, int d) {
  // Normalise month outside 1..12 so that arithmetic stays sane.
  int64_t yy = y + (m - 1 >= 0 ? (m - 1) / 12 : -((12 - m) / 12));
  int mm = ((m - 1) % 12 + 12) % 12 + 1;
  int64_t days = 0;
  const int64_t py = yy - 1;
  days = py * 365 + py / 4 - py / 100 + py / 400;
  const int leap = (yy > 0 && IsLeap(static_cast<int>(yy))) ? 1 : 0;
  for (int i = 0; i < mm - 1; ++i) days += kMonthDays[leap][i];
  return days + d;
}

void CivilFromDays(int64_t n, int& y, int& m, int& d) {
  // n: day number, 1 = 01/01/0001.
  int64_t t = n - 1;
  int64_t y400 = t / 146097;
  t %= 146097;
  int64_t y100 = t / 36524;
  if (y100 == 4) y100 = 3;
  t -= y100 * 36524;
  int64_t y4 = t / 1461;
  t %= 1461;
  int64_t y1 = t / 365;
  if (y1 == 4) y1 = 3;
  t -= y1 * 365;
  y = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
  const int leap = IsLeap(y) ? 1 : 0;
  m = 1;
  while (t >= kMonthDays[leap][m - 1]) {
    t -= kMonthDays[leap][m - 1];
    ++m;
  }
  d = static_cast<int>(t) + 1;
}

bool Split(TDateTime value, int64_t& days, int64_t& msOfDay) {
  if (!std::isfinite(value)) return false;
  // Same decomposition as the original runtime: round the whole value to
  // the millisecond, then split into days and milliseconds of the day.
  if (std::fabs(value) > static_cast<double>(kMaxDays)) return false;
  const int64_t total = std::llround(value * kMSecsPerDay);
  const int64_t msPerDay = 86400000;
  days = total / msPerDay;
  msOfDay = total % msPerDay;
  if (msOfDay < 0) msOfDay = -msOfDay;  // negative dates keep a positive time
  const int64_t absolute = days + kDelta;
  return absolute >= 1 && absolute <= kMaxDays;
}

}  // namespace

TDateTime SystemNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_r(&secs, &local);
  return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec, static_cast<int>(ms % 1000));
}

TDateTime EncodeDate(int year, int month, int day) {
  return static_cast<double>(DaysFromCivil(year, month, day) - kDelta);
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec) / kMSecsPerDay;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int msec) {
  const TDateTime date = EncodeDate(year, month, day);
  const TDateTime time = EncodeTime(hour, minute, second, msec);
  return date >= 0 ? date + time : date - time;
}

bool IsValid(TDateTime value) {
  int64_t days, ms;
  return Split(value, days, ms);
}

bool Decode(TDateTime value, DateTimeParts& p) {
  p = DateTimeParts{};
  int64_t days, ms;
  if (!Split(value, days, ms)) return false;
  CivilFromDays(days + kDelta, p.year, p.month, p.day);
  p.hour = static_cast<int>(ms / 3600000);
  p.minute = static_cast<int>(ms / 60000 % 60);
  p.second = static_cast<int>(ms / 1000 % 60);
  p.msec = static_cast<int>(ms % 1000);
  return true;
}

int64_t ToMSecs(TDateTime value) {
  // Far beyond any date; keeps the product and the difference of two such
  // values inside 64 bits.
  if (!std::isfinite(value) || std::fabs(value) > 5e10) return 0;
  return std::llround(value * kMSecsPerDay);
}

TDateTime FromMSecs(int64_t msecs) { return static_cast<double>(msecs) / kMSecsPerDay; }

TDateTime DateOf(TDateTime value) {
  if (!std::isfinite(value)) return 0;
  return std::trunc(value);
}

TDateTime TimeOf(TDateTime value) {
  if (!std::isfinite(value)) return 0;
  return std::fabs(value - std::trunc(value));
}

int DayOfWeek(TDateTime value) {
  // The calendar date after rounding to the millisecond, as the decoding does.
  int64_t days, ms;
  if (!Split(value, days, ms)) return 0;
  int64_t w = (days + 6) % 7;  // 30/12/1899 was a Saturday; 0 = Sunday
  if (w < 0) w += 7;
  return static_cast<int>(w) + 1;
}

TDateTime ZeroSeconds(TDateTime value) {
  DateTimeParts p;
  if (!Decode(value, p)) return value;
  return EncodeDateTime(p.year, p.month, p.day, p.hour, p.minute, 0, p.msec);
}

int64_t HoursBetween(TDateTime from, TDateTime to) {
  return (ToMSecs(to) - ToMSecs(from)) / 3600000;
}

std::string FormatShort(TDateTime value) {
  DateTimeParts p;
  Decode(value, p);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d", p.day, p.month, p.year, p.hour,
                p.minute);
  return buf;
}

std::string FormatLong(TDateTime value) {
  DateTimeParts p;
  Decode(value, p);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d", p.day, p.month, p.year, p.hour,
                p.minute, p.second);
  return buf;
}

}  // namespace dt
