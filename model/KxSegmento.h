// One time segment of a tariff period (a row of PERIODOS_SEGMENTOS).
#pragma once

#include <cstdint>

#include "platform/DateTime.h"

class KxSegmento {
 public:
  // Stores both times unchanged (AddSegmento has already cut them to the time of day).
  KxSegmento(int32_t dias, TDateTime startTime, TDateTime endTime, int32_t periodoId);
  virtual ~KxSegmento() = default;

  // True when Dias shares a bit with `dayMask` and `timeOfDay` lies in the
  // window: (StartTime, EndTime], or across midnight when StartTime >= EndTime.
  bool Matches(int32_t dayMask, TDateTime timeOfDay) const;

  int32_t PeriodoId;
  TDateTime StartTime;
  TDateTime EndTime;
  int32_t Dias;  // day mask: 128 Sunday ... 2 Saturday, 1 holiday
};
