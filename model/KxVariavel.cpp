#include "model/KxVariavel.h"

KxVariavel::KxVariavel(int32_t varId, uint8_t tipo, KxListaPeriodos* listaPeriodos)
    : VarId(varId), Tipo(tipo), ListaPeriodos(listaPeriodos) {}

KxVariavel::~KxVariavel() { delete ListaPeriodos; }

int32_t KxVariavel::GetPeriodoId(const TListaFeriados& feriados, TDateTime timestamp) const {
  if (ListaPeriodos == nullptr) return 0;
  const KxPeriodo* periodo = ListaPeriodos->FindPeriodo(timestamp, feriados);
  return periodo != nullptr ? periodo->PeriodoId : 0;
}
