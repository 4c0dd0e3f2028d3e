#include "model/TListaFeriados.h"

#include <memory>

void TListaFeriados::Add(TDateTime date) {
  auto feriado = std::make_unique<TFeriado>(date);
  KxObjectList<TFeriado>::Add(feriado.get());
  feriado.release();
}

bool TListaFeriados::Contains(TDateTime date) const {
  for (int i = 0; i < Count(); ++i) {
    const TFeriado* feriado = Items(i);
    if (feriado != nullptr && feriado->IsSameDay(date)) return true;
  }
  return false;
}
