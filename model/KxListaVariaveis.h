#pragma once

#include "model/KxObjectList.h"
#include "model/KxVariavel.h"

class KxListaVariaveis : public KxObjectList<KxVariavel> {
 public:
  // The first variable with that id, or nullptr.
  KxVariavel* FindById(int32_t varId) const;
};
