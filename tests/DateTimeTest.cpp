// TDateTime helpers: encoding, decoding, weekdays, formatting, the seconds
// cut, whole hours, and safety on values that are not dates.
#include "platform/DateTime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

TEST(DateTime, EncodeDecodeRoundTrips) {
  struct Case {
    int y, mo, d, h, mi, s, ms;
    double serial;  // expected value, NaN = not checked
  };
  const double nan = std::nan("");
  const std::vector<Case> cases = {
      {1899, 12, 30, 0, 0, 0, 0, 0.0},
      {1900, 1, 1, 0, 0, 0, 0, 2.0},
      {2000, 1, 1, 0, 0, 0, 0, 36526.0},
      {2016, 12, 8, 14, 3, 7, 0, nan},
      {2024, 2, 29, 23, 59, 59, 999, nan},  // leap day, last millisecond
      {2100, 3, 1, 12, 0, 0, 0, nan},       // 2100 is not a leap year
      {1899, 12, 29, 6, 0, 0, 0, -1.25},    // before the epoch: time subtracted
      {1, 1, 1, 0, 0, 0, 0, -693593.0},
      {9999, 12, 31, 23, 59, 59, 999, nan},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.y) + "-" + std::to_string(c.mo) + "-" + std::to_string(c.d));
    const TDateTime v = dt::EncodeDateTime(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms);
    if (!std::isnan(c.serial)) {
      EXPECT_DOUBLE_EQ(v, c.serial);
    }
    dt::DateTimeParts p;
    ASSERT_TRUE(dt::Decode(v, p));
    EXPECT_EQ(p.year, c.y);
    EXPECT_EQ(p.month, c.mo);
    EXPECT_EQ(p.day, c.d);
    EXPECT_EQ(p.hour, c.h);
    EXPECT_EQ(p.minute, c.mi);
    EXPECT_EQ(p.second, c.s);
    EXPECT_EQ(p.msec, c.ms);
    EXPECT_EQ(dt::FromMSecs(dt::ToMSecs(v)), v);
  }
}

TEST(DateTime, DecodeRoundsToTheMillisecondIncludingDayCarry) {
  dt::DateTimeParts p;
  // 23:59:59.9996 rounds into the next day.
  const TDateTime v = dt::EncodeDate(2020, 12, 31) + (86400000.0 - 0.4) / dt::kMSecsPerDay;
  ASSERT_TRUE(dt::Decode(v, p));
  EXPECT_EQ(p.year, 2021);
  EXPECT_EQ(p.month, 1);
  EXPECT_EQ(p.day, 1);
  EXPECT_EQ(p.hour, 0);
  EXPECT_EQ(dt::FormatLong(v), "01/01/2021 00:00:00");
}

TEST(DateTime, DayOfWeekSundayIsOne) {
  struct Case {
    int y, mo, d;
    int weekday;
  };
  const std::vector<Case> cases = {
      {1899, 12, 30, 7},  // Saturday
      {1899, 12, 29, 6},  // Friday, before the epoch
      {2000, 1, 1, 7},    {2016, 12, 8, 5},  {2024, 3, 3, 1},
      {2024, 3, 4, 2},    {2023, 12, 31, 1}, {2025, 1, 1, 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(dt::DayOfWeek(dt::EncodeDate(c.y, c.mo, c.d)), c.weekday)
        << c.y << "-" << c.mo << "-" << c.d;
    EXPECT_EQ(dt::DayOfWeek(dt::EncodeDateTime(c.y, c.mo, c.d, 23, 59, 59, 999)), c.weekday);
  }
}

TEST(DateTime, Formats) {
  const TDateTime v = dt::EncodeDateTime(2016, 12, 8, 14, 3, 7, 600);
  EXPECT_EQ(dt::FormatShort(v), "08/12/2016 14:03");
  EXPECT_EQ(dt::FormatLong(v), "08/12/2016 14:03:07");  // seconds truncated, not rounded
  EXPECT_EQ(dt::FormatShort(dt::EncodeDateTime(2000, 1, 1, 0, 0)), "01/01/2000 00:00");
  EXPECT_EQ(dt::FormatLong(dt::EncodeDate(987, 6, 5)), "05/06/0987 00:00:00");
}

TEST(DateTime, ZeroSecondsKeepsMilliseconds) {
  struct Case {
    TDateTime in, out;
  };
  const std::vector<Case> cases = {
      {dt::EncodeDateTime(2016, 12, 8, 14, 3, 7, 250), dt::EncodeDateTime(2016, 12, 8, 14, 3, 0, 250)},
      {dt::EncodeDateTime(2016, 12, 8, 14, 3, 0, 0), dt::EncodeDateTime(2016, 12, 8, 14, 3, 0, 0)},
      {dt::EncodeDateTime(2016, 12, 31, 23, 59, 59, 999),
       dt::EncodeDateTime(2016, 12, 31, 23, 59, 0, 999)},
      {dt::EncodeDateTime(1899, 12, 29, 6, 0, 30, 0), dt::EncodeDateTime(1899, 12, 29, 6, 0, 0, 0)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(dt::ToMSecs(dt::ZeroSeconds(c.in)), dt::ToMSecs(c.out)) << dt::FormatLong(c.in);
  }
}

TEST(DateTime, HoursBetweenTruncatesTowardsZero) {
  const TDateTime base = dt::EncodeDateTime(2020, 6, 1, 12, 0);
  struct Case {
    int64_t deltaMs;
    int64_t hours;
  };
  const std::vector<Case> cases = {
      {0, 0},
      {3600000 - 1, 0},
      {3600000, 1},
      {5 * 3600000 - 1, 4},  // just under the 5-hour future limit
      {5 * 3600000, 5},
      {-3600000 + 1, 0},
      {-3600000, -1},
      {-5 * 3600000 - 1, -5},
      {int64_t{48} * 3600000 + 59 * 60000, 48},
  };
  for (const auto& c : cases) {
    const TDateTime to = dt::FromMSecs(dt::ToMSecs(base) + c.deltaMs);
    EXPECT_EQ(dt::HoursBetween(base, to), c.hours) << c.deltaMs;
  }
}

TEST(DateTime, ValuesThatAreNotDatesNeverCrash) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> bad = {std::nan(""), inf,    -inf,  1e300, -1e300,
                                   1e12,         -1e12,  1e11,  -2e11, 4e6,   -7e5,  std::numeric_limits<double>::max()};
  for (double v : bad) {
    SCOPED_TRACE(v);
    dt::DateTimeParts p;
    EXPECT_FALSE(dt::IsValid(v));
    EXPECT_FALSE(dt::Decode(v, p));
    EXPECT_EQ(p.year, 0);
    EXPECT_EQ(dt::DayOfWeek(v), 0);
    EXPECT_EQ(dt::FormatShort(v), "00/00/0000 00:00");
    EXPECT_EQ(dt::FormatLong(v), "00/00/0000 00:00:00");
    // These must simply return (no overflow, no trap).
    (void)dt::ZeroSeconds(v);
    (void)dt::HoursBetween(v, 0);
    (void)dt::HoursBetween(-v, v);
    (void)dt::HoursBetween(0, v);
    (void)dt::ToMSecs(v);
    (void)dt::DateOf(v);
    (void)dt::TimeOf(v);
  }
  EXPECT_TRUE(dt::IsValid(dt::EncodeDate(9999, 12, 31)));
  EXPECT_FALSE(dt::IsValid(dt::EncodeDate(9999, 12, 31) + 1));
}

TEST(DateTime, DateAndTimeParts) {
  const TDateTime v = dt::EncodeDateTime(2016, 12, 8, 18, 0);
  EXPECT_DOUBLE_EQ(dt::DateOf(v), dt::EncodeDate(2016, 12, 8));
  EXPECT_DOUBLE_EQ(dt::TimeOf(v), 0.75);
  EXPECT_DOUBLE_EQ(dt::DateOf(-1.25), -1.0);
  EXPECT_DOUBLE_EQ(dt::TimeOf(-1.25), 0.25);
}

TEST(DateTime, SystemNowIsLocalTime) {
  const TDateTime now = dt::SystemNow();
  const time_t t = time(nullptr);
  tm local{};
  localtime_r(&t, &local);
  const TDateTime expected = dt::EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1,
                                                local.tm_mday, local.tm_hour, local.tm_min,
                                                local.tm_sec);
  EXPECT_NEAR(now, expected, 2.0 / 86400);
}

}  // namespace
