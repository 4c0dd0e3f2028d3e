// One tariff period of a variable (a row of PERIODOS) with its segments.
#pragma once

#include <cstdint>

#include "model/KxListaSegmentos.h"

class KxPeriodo {
 public:
  // Takes ownership of `listaSegmentos`.
  KxPeriodo(int32_t periodoId, KxListaSegmentos* listaSegmentos);
  virtual ~KxPeriodo();

  // True when any segment matches, tried in list order.
  bool Matches(int32_t dayMask, TDateTime timeOfDay) const;

  int32_t PeriodoId;
  KxListaSegmentos* ListaSegmentos;  // owned
};
