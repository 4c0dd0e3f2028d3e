// Dates and times of the service.
//
// TDateTime counts days since 30/12/1899 00:00 as a double; the fraction is
// the time of day. Always local time. Zero means "nothing read yet".
// Every helper here is total: NaN, infinities and values outside the years
// 1..9999 never crash or raise; they format as "00/00/0000 00:00" and
// decode to zeros.
#pragma once

#include <cstdint>
#include <string>

using TDateTime = double;

namespace dt {

constexpr double kMSecsPerDay = 86400000.0;

struct DateTimeParts {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, msec = 0;
};

// Local time now (the real system clock; threads use their KxClock instead).
TDateTime SystemNow();

// Build a value from calendar parts (no validation beyond what the math gives).
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second = 0,
                         int msec = 0);

// True when the value can be decoded into a date between the years 1 and 9999.
bool IsValid(TDateTime value);

// Splits a value, rounded to the nearest millisecond (as the decoding of the
// original runtime does). Invalid values give all zeros and false.
bool Decode(TDateTime value, DateTimeParts& parts);

// Whole milliseconds since 30/12/1899, rounded to the nearest.
int64_t ToMSecs(TDateTime value);
TDateTime FromMSecs(int64_t msecs);

// Date part (truncated towards zero) and time-of-day part.
TDateTime DateOf(TDateTime value);
TDateTime TimeOf(TDateTime value);

// 1 = Sunday ... 7 = Saturday, of the date after rounding to the
// millisecond; 0 for an invalid value.
int DayOfWeek(TDateTime value);

// The same instant with its seconds set to 0; milliseconds kept.
TDateTime ZeroSeconds(TDateTime value);

// Whole hours from `from` to `to`: the difference in milliseconds divided by
// 3,600,000, truncated. Negative when `to` is earlier.
int64_t HoursBetween(TDateTime from, TDateTime to);

// "dd/mm/yyyy hh:nn" (dates inside log messages).
std::string FormatShort(TDateTime value);
// "dd/mm/yyyy hh:mm:ss" (the log's line timestamp).
std::string FormatLong(TDateTime value);

}  // namespace dt
