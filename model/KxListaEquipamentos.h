#pragma once

#include "model/KxObjectList.h"
#include "plugins/TelvaneSdk.h"

// The installation's equipment objects (created by the driver packages),
// freed through their virtual destructor.
class KxListaEquipamentos : public KxObjectList<KxEquipamento> {
 public:
  // The first equipment with that id, or nullptr.
  KxEquipamento* FindById(int32_t equipId) const;
};
