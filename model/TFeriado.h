// One holiday: a day and month that recur every year.
#pragma once

#include "platform/DateTime.h"

class TFeriado {
 public:
  // Keeps the day and month of `date`, placed in the year 2000.
  explicit TFeriado(TDateTime date);
  // True when `date` has the same day and month.
  bool IsSameDay(TDateTime date) const;

  TDateTime Data;
};
