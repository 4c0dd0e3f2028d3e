// The plug-in SDK header must compile on its own: include nothing before it.
#include "plugins/TelvaneSdk.h"

#include <gtest/gtest.h>

namespace {

class ProbeEquipamento : public KxEquipamento {
 public:
  using KxEquipamento::KxEquipamento;
  int ReadHistorico(int32_t, TDateTime, TDateTime&, float&) override { return ReadEnd; }
  int ReadAlarme(TDateTime, TDateTime&, std::u16string&, int32_t&) override { return ReadEnd; }
  int SetRelogio() override { return 0; }
  int ReadVersao(std::u16string&) override { return 0; }
  int ReadOnline(std::vector<std::u16string>&, std::vector<std::u16string>&) override { return 0; }
};

TEST(SdkHeader, EquipmentOwnsItsChannelList) {
  auto* canais = new KxListaCanais();
  canais->AddCanal(5, 0, nullptr, 0, 1.5);
  canais->AddCanal(6, 1, nullptr, 0, 2.5);
  ProbeEquipamento equip(12, canais);
  EXPECT_EQ(equip.Canais->Count(), 2);
  EXPECT_EQ(equip.Canais->Items(1)->CanalId, 6);
  EXPECT_DOUBLE_EQ(equip.Canais->Items(0)->UltimaData, 1.5);
  EXPECT_THROW(equip.Canais->Items(2), std::out_of_range);
  EXPECT_FALSE(equip.RelogioPendente.load());
  // The destructor frees the list and its channels (checked under ASan).
}

}  // namespace
