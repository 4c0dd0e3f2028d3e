#include "model/TFeriado.h"

namespace {

// The day and month of the date part of `date` (truncated, not rounded),
// placed in the year 2000 (a leap year, so that 29 February can be held).
// A value that names no calendar day gives 0, which no real date maps to.
TDateTime DayOfYear2000(TDateTime date) {
  dt::DateTimeParts parts;
  if (!dt::Decode(dt::DateOf(date), parts)) return 0;
  return dt::EncodeDate(2000, parts.month, parts.day);
}

}  // namespace

TFeriado::TFeriado(TDateTime date) : Data(DayOfYear2000(date)) {}

bool TFeriado::IsSameDay(TDateTime date) const { return DayOfYear2000(date) == Data; }
