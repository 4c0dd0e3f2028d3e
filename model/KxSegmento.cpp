#include "model/KxSegmento.h"

#include <cmath>

namespace {

// The time-of-day part of `value` (its fraction, sign dropped) as whole
// milliseconds since midnight, 0 .. 86400000. Total for any value.
int64_t MsOfDay(TDateTime value) {
  if (!std::isfinite(value)) return 0;
  const double fraction = std::fabs(value - std::trunc(value));
  if (!(fraction >= 0.0 && fraction < 1.0)) return 0;
  return std::llround(fraction * dt::kMSecsPerDay);
}

}  // namespace

KxSegmento::KxSegmento(int32_t dias, TDateTime startTime, TDateTime endTime, int32_t periodoId)
    : PeriodoId(periodoId), StartTime(startTime), EndTime(endTime), Dias(dias) {}

bool KxSegmento::Matches(int32_t dayMask, TDateTime timeOfDay) const {
  if ((Dias & dayMask) == 0) return false;
  // Compared as whole milliseconds, so that a bound of 18:00:00.000 equals a
  // truncated 18:00 exactly whatever the floating-point value holds.
  const int64_t t = MsOfDay(timeOfDay);
  const int64_t start = MsOfDay(StartTime);
  const int64_t end = MsOfDay(EndTime);
  if (start < end) return t > start && t <= end;
  // Crosses midnight; equal bounds cover the whole day.
  return t > start || t <= end;
}
