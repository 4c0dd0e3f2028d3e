#include "model/KxListaSegmentos.h"

#include <memory>

KxSegmento* KxListaSegmentos::AddSegmento(int32_t dias, int32_t periodoId, TDateTime start,
                                         TDateTime end) {
  auto segmento =
      std::make_unique<KxSegmento>(dias, dt::TimeOf(start), dt::TimeOf(end), periodoId);
  Add(segmento.get());
  return segmento.release();
}
