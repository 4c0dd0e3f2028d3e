// Tariff period lookup: day masks, time windows, holidays and the stored
// period of a timestamp.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "model/KxVariavel.h"
#include "model/TListaFeriados.h"
#include "platform/DateTime.h"

namespace {

struct Seg {
  int32_t dias;
  int startH, startM, endH, endM;
};
struct Per {
  int32_t id;
  std::vector<Seg> segs;
};

std::unique_ptr<KxVariavel> MakeVariable(const std::vector<Per>& periods) {
  auto* lista = new KxListaPeriodos();
  for (const Per& p : periods) {
    auto* segs = new KxListaSegmentos();
    for (const Seg& s : p.segs)
      segs->AddSegmento(s.dias, p.id, dt::EncodeTime(s.startH, s.startM, 0, 0),
                        dt::EncodeTime(s.endH, s.endM, 0, 0));
    lista->AddPeriodo(p.id, segs);
  }
  return std::make_unique<KxVariavel>(1, 'E', lista);
}

TDateTime At(int y, int mo, int d, int h, int mi, int s = 0, int ms = 0) {
  return dt::EncodeDateTime(y, mo, d, h, mi, s, ms);
}

struct Case {
  const char* what;
  TDateTime when;
  int32_t expected;
};

void RunCases(const KxVariavel& var, const TListaFeriados& feriados,
              const std::vector<Case>& cases) {
  for (const Case& c : cases)
    EXPECT_EQ(var.GetPeriodoId(feriados, c.when), c.expected) << c.what;
}

// The worked example: period 1 = 18:00-21:00 Monday to Friday; period 2 =
// 21:00-18:00 Monday to Friday and 00:00-00:00 on weekends and holidays;
// one holiday row dated 25/12/2010.
TEST(Tariff, WorkedExample) {
  auto var = MakeVariable({{1, {{124, 18, 0, 21, 0}}}, {2, {{124, 21, 0, 18, 0}, {131, 0, 0, 0, 0}}}});
  TListaFeriados feriados;
  feriados.Add(dt::EncodeDate(2010, 12, 25));
  RunCases(*var, feriados,
           {
               {"Wed 19:30:40 inside 18:00-21:00", At(2016, 3, 16, 19, 30, 40), 1},
               {"Wed 18:00:59 is 18:00, not after the start", At(2016, 3, 16, 18, 0, 59), 2},
               {"Wed 21:00:00 is the closed end", At(2016, 3, 16, 21, 0, 0), 1},
               {"Wed 21:01", At(2016, 3, 16, 21, 1, 0), 2},
               {"Thu 00:00 inside the midnight-crossing segment", At(2016, 3, 17, 0, 0, 0), 2},
               {"Sat 19:30: only the whole-day weekend segment", At(2016, 3, 19, 19, 30, 0), 2},
               {"Fri 25/12/2015 is a holiday (year of the row ignored)", At(2015, 12, 25, 19, 30), 2},
           });
  // Without period 2 a Saturday evening matches nothing.
  auto only1 = MakeVariable({{1, {{124, 18, 0, 21, 0}}}});
  EXPECT_EQ(only1->GetPeriodoId(feriados, At(2016, 3, 19, 19, 30)), 0);
}

TEST(Tariff, WindowBounds) {
  TListaFeriados none;
  auto almostDay = MakeVariable({{5, {{255, 0, 0, 23, 59}}}});
  auto wholeDay = MakeVariable({{6, {{255, 0, 0, 0, 0}}}});
  auto morning = MakeVariable({{7, {{255, 8, 0, 12, 0}}}});
  RunCases(*almostDay, none,
           {{"00:00-23:59 excludes 00:00", At(2016, 3, 16, 0, 0), 0},
            {"00:00-23:59 includes 00:01", At(2016, 3, 16, 0, 1), 5},
            {"00:00-23:59 includes 23:59:59", At(2016, 3, 16, 23, 59, 59), 5}});
  for (int minute = 0; minute < 24 * 60; minute += 7)
    EXPECT_EQ(wholeDay->GetPeriodoId(none, At(2016, 3, 16, minute / 60, minute % 60)), 6) << minute;
  EXPECT_EQ(wholeDay->GetPeriodoId(none, At(2016, 3, 16, 0, 0)), 6);
  EXPECT_EQ(wholeDay->GetPeriodoId(none, At(2016, 3, 16, 23, 59)), 6);
  RunCases(*morning, none,
           {{"08:00 is the open start", At(2016, 3, 16, 8, 0), 0},
            {"08:00:59 truncates to 08:00", At(2016, 3, 16, 8, 0, 59, 999), 0},
            {"08:01", At(2016, 3, 16, 8, 1), 7},
            {"12:00 is the closed end", At(2016, 3, 16, 12, 0), 7},
            {"12:00:45: seconds dropped first", At(2016, 3, 16, 12, 0, 45), 7},
            {"12:01", At(2016, 3, 16, 12, 1), 0}});
}

TEST(Tariff, MidnightCrossingTestsTheTimestampsOwnWeekday) {
  TListaFeriados none;
  auto mondayNight = MakeVariable({{9, {{64, 22, 0, 6, 0}}}});  // Monday bit only
  RunCases(*mondayNight, none,
           {{"Tue 01:00 (Tuesday's bit is tested)", At(2016, 3, 15, 1, 0), 0},
            {"Mon 01:00", At(2016, 3, 14, 1, 0), 9},
            {"Mon 23:00", At(2016, 3, 14, 23, 0), 9},
            {"Mon 22:00 open start", At(2016, 3, 14, 22, 0), 0},
            {"Mon 06:00 closed end", At(2016, 3, 14, 6, 0), 9},
            {"Mon 06:01", At(2016, 3, 14, 6, 1), 0}});
}

TEST(Tariff, RoundsToTheMillisecondBeforeReadingTimeAndWeekday) {
  TListaFeriados none;
  auto morning = MakeVariable({{7, {{255, 8, 0, 12, 0}}}});
  // 08:01:00 held a hair below the minute still reads 08:01.
  const TDateTime hair = At(2016, 3, 16, 8, 1) - 1e-10;
  ASSERT_LT(hair, At(2016, 3, 16, 8, 1));
  EXPECT_EQ(morning->GetPeriodoId(none, hair), 7);
  // Monday 23:59:59.9996 rounds to Tuesday 00:00: Tuesday's bit, t = 00:00.
  auto tuesdayOnly = MakeVariable({{3, {{32, 0, 0, 0, 0}}}});
  auto mondayOnly = MakeVariable({{4, {{64, 0, 0, 0, 0}}}});
  const TDateTime lateMonday = dt::EncodeDate(2016, 3, 14) + (86400000.0 - 0.4) / dt::kMSecsPerDay;
  EXPECT_EQ(tuesdayOnly->GetPeriodoId(none, lateMonday), 3);
  EXPECT_EQ(mondayOnly->GetPeriodoId(none, lateMonday), 0);
  // A bound a hair off 18:00:00.000 still equals the truncated 18:00.
  auto* segs = new KxListaSegmentos();
  segs->AddSegmento(255, 8, dt::EncodeTime(18, 0, 0, 0) + 1e-12, dt::EncodeTime(21, 0, 0, 0));
  auto* lista = new KxListaPeriodos();
  lista->AddPeriodo(8, segs);
  KxVariavel noisy(1, 'E', lista);
  EXPECT_EQ(noisy.GetPeriodoId(none, At(2016, 3, 16, 18, 0)), 0);
  EXPECT_EQ(noisy.GetPeriodoId(none, At(2016, 3, 16, 18, 1)), 8);
}

TEST(Tariff, HolidaysAreADayOfTheirOwn) {
  auto weekdays = MakeVariable({{1, {{124, 0, 0, 0, 0}}}, {2, {{1, 0, 0, 0, 0}}}});
  auto sundayOnly = MakeVariable({{3, {{128, 0, 0, 0, 0}}}});
  auto sundayOrHoliday = MakeVariable({{4, {{129, 0, 0, 0, 0}}}});
  TListaFeriados leap;
  leap.Add(dt::EncodeDate(2012, 2, 29));
  TListaFeriados christmas;
  christmas.Add(dt::EncodeDate(2010, 12, 25));
  christmas.Add(dt::EncodeDate(2011, 12, 25));  // the same day and month: one holiday
  TListaFeriados none;

  RunCases(*weekdays, leap,
           {{"29/02/2016 (leap year) is the holiday", At(2016, 2, 29, 10, 0), 2},
            {"28/02/2015 is an ordinary Saturday", At(2015, 2, 28, 10, 0), 0},
            {"01/03/2015 is an ordinary Sunday", At(2015, 3, 1, 10, 0), 0},
            {"02/03/2015 is an ordinary Monday", At(2015, 3, 2, 10, 0), 1},
            {"a holiday on a Wednesday ignores the weekday bits", At(2012, 2, 29, 10, 0), 2}});
  EXPECT_EQ(weekdays->GetPeriodoId(christmas, At(2013, 12, 25, 9, 0)), 2);
  EXPECT_EQ(weekdays->GetPeriodoId(christmas, At(2013, 12, 26, 9, 0)), 1);
  // 25/12/2016 is a Sunday.
  EXPECT_EQ(sundayOnly->GetPeriodoId(christmas, At(2016, 12, 25, 9, 0)), 0);
  EXPECT_EQ(sundayOnly->GetPeriodoId(none, At(2016, 12, 25, 9, 0)), 3);
  EXPECT_EQ(sundayOrHoliday->GetPeriodoId(christmas, At(2016, 12, 25, 9, 0)), 4);
  // The holiday test takes the date part unrounded: Monday 24/12/2018
  // 23:59:59.9996 is not the holiday although it rounds to 25/12 00:00.
  auto holidayOnly = MakeVariable({{5, {{1, 0, 0, 0, 0}}}});
  const TDateTime lateEve = dt::EncodeDate(2018, 12, 24) + (86400000.0 - 0.4) / dt::kMSecsPerDay;
  EXPECT_EQ(holidayOnly->GetPeriodoId(christmas, lateEve), 0);
  EXPECT_EQ(holidayOnly->GetPeriodoId(christmas, At(2018, 12, 25, 0, 0)), 5);
}

TEST(Tariff, HolidayRecordKeepsDayAndMonthInYear2000) {
  EXPECT_EQ(TFeriado(dt::EncodeDate(2012, 2, 29)).Data, dt::EncodeDate(2000, 2, 29));
  EXPECT_EQ(TFeriado(At(1999, 7, 4, 13, 45)).Data, dt::EncodeDate(2000, 7, 4));
  TFeriado leapDay(dt::EncodeDate(2012, 2, 29));
  EXPECT_TRUE(leapDay.IsSameDay(dt::EncodeDate(2020, 2, 29)));
  EXPECT_FALSE(leapDay.IsSameDay(dt::EncodeDate(2021, 2, 28)));
  EXPECT_FALSE(leapDay.IsSameDay(dt::EncodeDate(2021, 3, 1)));
  // Values that name no day neither crash nor match a real day.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  TFeriado broken(nan);
  EXPECT_FALSE(broken.IsSameDay(dt::EncodeDate(2000, 1, 1)));
  EXPECT_FALSE(leapDay.IsSameDay(nan));
  TListaFeriados lista;
  lista.Add(nan);
  lista.Add(1e300);
  EXPECT_FALSE(lista.Contains(dt::EncodeDate(2016, 3, 16)));
}

TEST(Tariff, FirstPeriodInListOrderWinsAnOverlap) {
  TListaFeriados none;
  auto ab = MakeVariable({{10, {{255, 8, 0, 18, 0}}}, {20, {{255, 12, 0, 14, 0}}}});
  auto ba = MakeVariable({{20, {{255, 12, 0, 14, 0}}}, {10, {{255, 8, 0, 18, 0}}}});
  EXPECT_EQ(ab->GetPeriodoId(none, At(2016, 3, 16, 13, 0)), 10);
  EXPECT_EQ(ba->GetPeriodoId(none, At(2016, 3, 16, 13, 0)), 20);
  EXPECT_EQ(ba->GetPeriodoId(none, At(2016, 3, 16, 9, 0)), 10);
  // Within one period, a later segment still matches when an earlier one does not.
  auto twoSegs = MakeVariable({{30, {{2, 8, 0, 9, 0}, {124, 8, 0, 9, 0}}}});
  EXPECT_EQ(twoSegs->GetPeriodoId(none, At(2016, 3, 16, 8, 30)), 30);
}

TEST(Tariff, NothingToMatchGivesZero) {
  TListaFeriados none;
  auto empty = MakeVariable({});
  auto noSegments = MakeVariable({{1, {}}});
  auto zeroDias = MakeVariable({{1, {{0, 0, 0, 0, 0}}}});
  auto highBitsOnly = MakeVariable({{1, {{0x7F00, 0, 0, 0, 0}}}});
  KxVariavel noList(1, 'E', nullptr);
  for (TDateTime when : {At(2016, 3, 16, 10, 0), At(2016, 3, 19, 0, 0)}) {
    EXPECT_EQ(empty->GetPeriodoId(none, when), 0);
    EXPECT_EQ(noSegments->GetPeriodoId(none, when), 0);
    EXPECT_EQ(zeroDias->GetPeriodoId(none, when), 0);
    EXPECT_EQ(highBitsOnly->GetPeriodoId(none, when), 0);
    EXPECT_EQ(noList.GetPeriodoId(none, when), 0);
  }
}

TEST(Tariff, DatesBeforeTheEpochKeepAPositiveTimeOfDay) {
  TListaFeriados none;
  // -1.25 is Friday 29/12/1899 06:00.
  auto friday6to7 = MakeVariable({{1, {{4, 5, 59, 6, 0}}}});
  auto saturday = MakeVariable({{2, {{2, 0, 0, 0, 0}}}});
  EXPECT_EQ(friday6to7->GetPeriodoId(none, -1.25), 1);
  EXPECT_EQ(saturday->GetPeriodoId(none, -1.25), 0);
  EXPECT_EQ(saturday->GetPeriodoId(none, 0.5), 2);  // 30/12/1899 was a Saturday
}

TEST(Tariff, AddSegmentoKeepsOnlyTheTimeOfDay) {
  KxListaSegmentos segs;
  KxSegmento* s = segs.AddSegmento(124, 3, At(1900, 1, 1, 8, 0), At(2016, 3, 16, 21, 30));
  EXPECT_NEAR(s->StartTime, dt::EncodeTime(8, 0, 0, 0), 1e-9);  // well under a millisecond
  EXPECT_NEAR(s->EndTime, dt::EncodeTime(21, 30, 0, 0), 1e-9);
  EXPECT_EQ(s->Dias, 124);
  EXPECT_EQ(s->PeriodoId, 3);
  KxSegmento* plain = segs.AddSegmento(0, 4, dt::EncodeTime(8, 0, 0, 0), dt::EncodeTime(9, 0, 0, 0));
  EXPECT_EQ(plain->StartTime, dt::EncodeTime(8, 0, 0, 0));
  EXPECT_EQ(plain->Dias, 0);
  KxSegmento* nan = segs.AddSegmento(255, 5, std::nan(""), INFINITY);
  EXPECT_TRUE(std::isfinite(nan->StartTime) && std::isfinite(nan->EndTime));
  EXPECT_EQ(segs.Count(), 3);
}

// Random installations checked against an independent reckoning in whole
// minutes with the C library's calendar; then values that name no time at
// all, which must neither crash nor raise.
TEST(Tariff, RandomSweepAgreesWithMinuteArithmeticAndNeverThrows) {
  std::mt19937_64 rng(20160316);
  std::uniform_int_distribution<int> minuteOfDay(0, 24 * 60 - 1);
  std::uniform_int_distribution<int> dias(0, 255);
  std::uniform_int_distribution<int> count(0, 3);
  std::uniform_int_distribution<int64_t> instantMs(0, int64_t{73049} * 86400000);  // 1899..2099

  for (int round = 0; round < 40; ++round) {
    std::vector<Per> periods;
    for (int p = 0, n = count(rng) + 1; p < n; ++p) {
      Per per{p + 1, {}};
      for (int s = 0, m = count(rng); s < m; ++s) {
        const int a = minuteOfDay(rng), b = minuteOfDay(rng);
        per.segs.push_back({dias(rng), a / 60, a % 60, b / 60, b % 60});
      }
      periods.push_back(per);
    }
    auto var = MakeVariable(periods);
    TListaFeriados feriados;
    const int holidayDay = 1 + round % 28, holidayMonth = 1 + round % 12;
    feriados.Add(dt::EncodeDate(2003, holidayMonth, holidayDay));

    for (int i = 0; i < 500; ++i) {
      const int64_t ms = instantMs(rng);
      const TDateTime when = static_cast<double>(ms) / dt::kMSecsPerDay;
      // Reference: the standard library's calendar on the same instant (day
      // 25569 is 01/01/1970; the C library's gmtime cannot go before it on
      // every system).
      using namespace std::chrono;
      const int64_t roundedMs = std::llround(when * dt::kMSecsPerDay);
      const weekday wday{sys_days{days{roundedMs / 86400000 - 25569}}};
      const year_month_day truncDay{sys_days{days{static_cast<int64_t>(when) - 25569}}};
      const bool holiday = static_cast<unsigned>(truncDay.day()) == static_cast<unsigned>(holidayDay) &&
                           static_cast<unsigned>(truncDay.month()) == static_cast<unsigned>(holidayMonth);
      const int mask = holiday ? 1 : (128 >> wday.c_encoding());
      const int t = static_cast<int>(roundedMs % 86400000 / 60000);
      int32_t expected = 0;
      for (const Per& per : periods) {
        for (const Seg& s : per.segs) {
          const int a = s.startH * 60 + s.startM, b = s.endH * 60 + s.endM;
          const bool inWindow = a < b ? (t > a && t <= b) : (t > a || t <= b);
          if ((s.dias & mask) != 0 && inWindow) {
            expected = per.id;
            break;
          }
        }
        if (expected != 0) break;
      }
      ASSERT_EQ(var->GetPeriodoId(feriados, when), expected) << "round " << round << " at "
                                                             << dt::FormatLong(when);
    }

    const double odd[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(),
                          std::numeric_limits<double>::max(),
                          -std::numeric_limits<double>::max(),
                          std::numeric_limits<double>::denorm_min(),
                          -0.0,
                          1e18,
                          -1e18,
                          2958466.0,   // 01/01/10000
                          -693594.0,   // the day before 01/01/0001
                          2958465.99999999};
    for (double when : odd) {
      int32_t id = -1;
      EXPECT_NO_THROW(id = var->GetPeriodoId(feriados, when));
      EXPECT_GE(id, 0);
    }
    std::uniform_real_distribution<double> wild(-1e308, 1e308);
    for (int i = 0; i < 200; ++i) EXPECT_NO_THROW(var->GetPeriodoId(feriados, wild(rng)));
  }
}

}  // namespace
