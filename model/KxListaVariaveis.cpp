#include "model/KxListaVariaveis.h"

KxVariavel* KxListaVariaveis::FindById(int32_t varId) const {
  for (int i = 0; i < Count(); ++i) {
    KxVariavel* variavel = Items(i);
    if (variavel != nullptr && variavel->VarId == varId) return variavel;
  }
  return nullptr;
}
