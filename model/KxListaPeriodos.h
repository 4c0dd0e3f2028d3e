#pragma once

#include "model/KxObjectList.h"
#include "model/KxPeriodo.h"

class TListaFeriados;

class KxListaPeriodos : public KxObjectList<KxPeriodo> {
 public:
  // Creates a period that takes ownership of `listaSegmentos` and appends it.
  KxPeriodo* AddPeriodo(int32_t periodoId, KxListaSegmentos* listaSegmentos);
  // The first period that covers `timestamp`, or nullptr. Never throws.
  KxPeriodo* FindPeriodo(TDateTime timestamp, const TListaFeriados& feriados) const;
};
