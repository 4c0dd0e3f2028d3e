#pragma once

#include "model/KxObjectList.h"
#include "model/KxSegmento.h"

class KxListaSegmentos : public KxObjectList<KxSegmento> {
 public:
  // Appends a segment whose times are the time-of-day parts of start and end.
  KxSegmento* AddSegmento(int32_t dias, int32_t periodoId, TDateTime start, TDateTime end);
};
