// A variable (quantity type, a row of VARIAVEIS) with its tariff periods.
#pragma once

#include <cstdint>

#include "model/KxListaPeriodos.h"

class KxVariavel {
 public:
  // Takes ownership of `listaPeriodos`.
  KxVariavel(int32_t varId, uint8_t tipo, KxListaPeriodos* listaPeriodos);
  virtual ~KxVariavel();

  // The PeriodoId in force at `timestamp`, 0 when none. Never throws.
  int32_t GetPeriodoId(const TListaFeriados& feriados, TDateTime timestamp) const;

  int32_t VarId;
  uint8_t Tipo;
  KxListaPeriodos* ListaPeriodos;  // owned
};
