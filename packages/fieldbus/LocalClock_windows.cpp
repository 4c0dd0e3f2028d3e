#include "packages/fieldbus/LocalClock.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>

namespace fb {

namespace {

// Days from 01/01/1601 (the origin of FILETIME) to 30/12/1899.
constexpr int64_t kFileTimeToOriginDays = 109205;
constexpr int64_t kTicksPerMs = 10000;  // FILETIME counts 100 ns

// Civil date of a day count since 01/01/1970 (proleptic Gregorian, any
// year): the C runtime's gmtime refuses dates before 1970 here.
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

}  // namespace

int64_t LocalNowMs() {
  // The local wall time read as if it were UTC: a linear count of local
  // milliseconds.
  SYSTEMTIME local;
  ::GetLocalTime(&local);
  FILETIME ft;
  ::SystemTimeToFileTime(&local, &ft);
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  return ticks / kTicksPerMs - kFileTimeToOriginDays * kMsPerDay;
}

std::string FormatMs(int64_t ms) {
  constexpr int64_t kUnixEpochDays = 25569;  // 30/12/1899 to 01/01/1970
  const int64_t days = FloorDiv(ms, kMsPerDay);
  const int64_t secs = (ms - days * kMsPerDay) / kMsPerSecond;
  int64_t y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days - kUnixEpochDays, y, m, d);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02u/%02u/%04lld %02d:%02d:%02d", d, m, static_cast<long long>(y),
                static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                static_cast<int>(secs % 60));
  return buf;
}

}  // namespace fb
