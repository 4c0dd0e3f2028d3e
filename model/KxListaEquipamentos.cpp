#include "model/KxListaEquipamentos.h"

KxEquipamento* KxListaEquipamentos::FindById(int32_t equipId) const {
  for (int i = 0; i < Count(); ++i) {
    KxEquipamento* equipamento = Items(i);
    if (equipamento != nullptr && equipamento->EquipId == equipId) return equipamento;
  }
  return nullptr;
}
