#include "model/KxPeriodo.h"

KxPeriodo::KxPeriodo(int32_t periodoId, KxListaSegmentos* listaSegmentos)
    : PeriodoId(periodoId), ListaSegmentos(listaSegmentos) {}

KxPeriodo::~KxPeriodo() { delete ListaSegmentos; }

bool KxPeriodo::Matches(int32_t dayMask, TDateTime timeOfDay) const {
  if (ListaSegmentos == nullptr) return false;
  for (int i = 0; i < ListaSegmentos->Count(); ++i) {
    const KxSegmento* segmento = ListaSegmentos->Items(i);
    if (segmento != nullptr && segmento->Matches(dayMask, timeOfDay)) return true;
  }
  return false;
}
