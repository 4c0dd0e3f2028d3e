#include "model/KxListaPeriodos.h"

#include <memory>

#include "model/TListaFeriados.h"

KxPeriodo* KxListaPeriodos::AddPeriodo(int32_t periodoId, KxListaSegmentos* listaSegmentos) {
  auto periodo = std::make_unique<KxPeriodo>(periodoId, listaSegmentos);
  Add(periodo.get());
  return periodo.release();
}

KxPeriodo* KxListaPeriodos::FindPeriodo(TDateTime timestamp, const TListaFeriados& feriados) const {
  // Weekday, hour and minute come from the timestamp rounded to the
  // millisecond; a value that names no day between the years 1 and 9999 is
  // in no period.
  dt::DateTimeParts parts;
  if (!dt::Decode(timestamp, parts)) return nullptr;
  const int weekday = dt::DayOfWeek(timestamp);  // 1 = Sunday .. 7 = Saturday
  if (weekday < 1 || weekday > 7) return nullptr;

  // A holiday is a day of its own: only bit 1 is tested. The holiday test
  // takes the date part as it is, without rounding.
  const int32_t dayMask = feriados.Contains(dt::DateOf(timestamp)) ? 1 : (128 >> (weekday - 1));
  // Seconds and milliseconds are dropped, not rounded.
  const TDateTime t = dt::EncodeTime(parts.hour, parts.minute, 0, 0);

  for (int i = 0; i < Count(); ++i) {
    KxPeriodo* periodo = Items(i);
    if (periodo != nullptr && periodo->Matches(dayMask, t)) return periodo;
  }
  return nullptr;
}
