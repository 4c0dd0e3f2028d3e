#pragma once

#include "model/KxObjectList.h"
#include "model/TFeriado.h"

class TListaFeriados : public KxObjectList<TFeriado> {
 public:
  void Add(TDateTime date);
  // True when any holiday falls on the day and month of `date`.
  bool Contains(TDateTime date) const;
};
