// Driver packages that fail on purpose, for the loader's failure rows.
// One source, built once per fault (the BROKEN_* definition):
//   BROKEN_NO_NAMES   no _GetDriverName / _GetDriverVersion (the equipment
//                     it creates works: it has nothing to deliver)
//   BROKEN_NULL_EQUIP _CreateEquipClass returns none
//   BROKEN_NO_CREATE  no _CreateEquipClass
#include <cstdint>

#include "plugins/TelvaneSdk.h"

namespace {

class QuietEquipamento : public KxEquipamento {
 public:
  using KxEquipamento::KxEquipamento;
  int ReadHistorico(int32_t, TDateTime, TDateTime&, float&) override { return ReadEnd; }
  int ReadAlarme(TDateTime, TDateTime&, std::u16string&, int32_t&) override { return ReadEnd; }
  int SetRelogio() override { return 0; }
  int ReadVersao(std::u16string& version) override {
    version = u"Quiet 0.1";
    return 0;
  }
  int ReadOnline(std::vector<std::u16string>&, std::vector<std::u16string>&) override { return 0; }
};

}  // namespace

#if !defined(BROKEN_NO_CREATE)
TELVANE_EXPORT KxEquipamento* _CreateEquipClass(int32_t equipId, int32_t, int32_t,
                                                KxListaCanais* canais, KxInterface*,
                                                KxPackageLog*) {
#if defined(BROKEN_NULL_EQUIP)
  (void)equipId;
  (void)canais;
  return nullptr;
#else
  return new QuietEquipamento(equipId, canais);
#endif
}
TELVANE_EXPORT void _DestroyEquipClass() {}
#endif

#if !defined(BROKEN_NO_NAMES)
// "Medição" in Windows-1252: the service converts the name to UTF-8.
TELVANE_EXPORT const char* _GetDriverName() { return "Broken Medi\xE7\xE3o"; }
TELVANE_EXPORT const char* _GetDriverVersion() { return "0.1"; }
#endif
