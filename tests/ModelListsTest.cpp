// The installation's lists: ownership, lookup by id, Clear and indexing.
#include <gtest/gtest.h>

#include <stdexcept>

#include "model/KxListaEquipamentos.h"
#include "model/KxListaVariaveis.h"
#include "model/TListaFeriados.h"

namespace {

int g_segments = 0, g_periods = 0, g_variables = 0, g_equipment = 0;

struct CountedSegmento : KxSegmento {
  CountedSegmento() : KxSegmento(255, 1, 0, 0) { ++g_segments; }
  ~CountedSegmento() override { --g_segments; }
};
struct CountedPeriodo : KxPeriodo {
  explicit CountedPeriodo(int32_t id, KxListaSegmentos* segs) : KxPeriodo(id, segs) { ++g_periods; }
  ~CountedPeriodo() override { --g_periods; }
};
struct CountedVariavel : KxVariavel {
  CountedVariavel(int32_t id, KxListaPeriodos* periods) : KxVariavel(id, 'E', periods) { ++g_variables; }
  ~CountedVariavel() override { --g_variables; }
};
struct CountedEquip : KxEquipamento {
  CountedEquip(int32_t id, int tag) : KxEquipamento(id, new KxListaCanais()), Tag(tag) { ++g_equipment; }
  ~CountedEquip() override { --g_equipment; }
  int ReadHistorico(int32_t, TDateTime, TDateTime&, float&) override { return ReadEnd; }
  int ReadAlarme(TDateTime, TDateTime&, std::u16string&, int32_t&) override { return ReadEnd; }
  int SetRelogio() override { return 0; }
  int ReadVersao(std::u16string&) override { return 0; }
  int ReadOnline(std::vector<std::u16string>&, std::vector<std::u16string>&) override { return 0; }
  int Tag;
};

KxVariavel* MakeVariable(int32_t id, int periods, int segmentsEach) {
  auto* lista = new KxListaPeriodos();
  for (int p = 0; p < periods; ++p) {
    auto* segs = new KxListaSegmentos();
    for (int s = 0; s < segmentsEach; ++s) segs->Add(new CountedSegmento());
    lista->Add(new CountedPeriodo(p + 1, segs));
  }
  return new CountedVariavel(id, lista);
}

TEST(ModelLists, FreeingAVariableFreesItsPeriodsAndSegments) {
  {
    KxListaVariaveis variaveis;
    variaveis.Add(MakeVariable(1, 3, 2));
    variaveis.Add(MakeVariable(2, 1, 0));
    variaveis.Add(MakeVariable(3, 0, 0));
    EXPECT_EQ(g_variables, 3);
    EXPECT_EQ(g_periods, 4);
    EXPECT_EQ(g_segments, 6);
    delete variaveis.Items(0)->ListaPeriodos->Items(1)->ListaSegmentos;  // a period may lose its list
    variaveis.Items(0)->ListaPeriodos->Items(1)->ListaSegmentos = nullptr;
    EXPECT_EQ(g_segments, 4);
  }
  EXPECT_EQ(g_variables, 0);
  EXPECT_EQ(g_periods, 0);
  EXPECT_EQ(g_segments, 0);
}

TEST(ModelLists, ClearFreesEveryItemAndEmptiesTheList) {
  KxListaVariaveis variaveis;
  variaveis.Clear();  // empty: nothing happens
  EXPECT_EQ(variaveis.Count(), 0);
  for (int i = 0; i < 4; ++i) variaveis.Add(MakeVariable(i, 1, 1));
  variaveis.Add(nullptr);  // an empty slot is skipped
  EXPECT_EQ(variaveis.Count(), 5);
  variaveis.Clear();
  EXPECT_EQ(variaveis.Count(), 0);
  EXPECT_EQ(g_variables + g_periods + g_segments, 0);
  EXPECT_EQ(variaveis.FindById(0), nullptr);
  // The list is usable after Clear.
  EXPECT_EQ(variaveis.Add(MakeVariable(9, 0, 0)), 0);
  EXPECT_EQ(variaveis.FindById(9)->VarId, 9);
}

TEST(ModelLists, FindByIdReturnsTheFirstOfEqualIds) {
  KxListaEquipamentos equips;
  equips.Add(new CountedEquip(3, 0));
  equips.Add(new CountedEquip(7, 1));
  equips.Add(nullptr);
  equips.Add(new CountedEquip(7, 2));
  EXPECT_EQ(static_cast<CountedEquip*>(equips.FindById(7))->Tag, 1);
  EXPECT_EQ(static_cast<CountedEquip*>(equips.FindById(3))->Tag, 0);
  EXPECT_EQ(equips.FindById(0), nullptr);
  EXPECT_EQ(equips.FindById(-1), nullptr);

  KxListaVariaveis variaveis;
  KxVariavel* first = MakeVariable(5, 0, 0);
  variaveis.Add(MakeVariable(0, 0, 0));
  variaveis.Add(first);
  variaveis.Add(MakeVariable(5, 0, 0));
  EXPECT_EQ(variaveis.FindById(5), first);
  EXPECT_EQ(variaveis.FindById(0), variaveis.Items(0));
  EXPECT_EQ(variaveis.FindById(6), nullptr);

  equips.Clear();
  EXPECT_EQ(g_equipment, 0);  // freed through the virtual destructor, channels included
}

TEST(ModelLists, ItemsOutsideTheListThrowOutOfRange) {
  KxListaVariaveis variaveis;
  KxListaEquipamentos equips;
  TListaFeriados feriados;
  KxListaSegmentos segs;
  KxListaCanais canais;
  EXPECT_THROW(variaveis.Items(0), std::out_of_range);
  variaveis.Add(MakeVariable(1, 1, 1));
  EXPECT_NO_THROW(variaveis.Items(0));
  for (int bad : {-1, 1, 1 << 30}) {
    EXPECT_THROW(variaveis.Items(bad), std::out_of_range) << bad;
    EXPECT_THROW(variaveis.Items(0)->ListaPeriodos->Items(bad), std::out_of_range) << bad;
    EXPECT_THROW(equips.Items(bad), std::out_of_range) << bad;
    EXPECT_THROW(feriados.Items(bad), std::out_of_range) << bad;
    EXPECT_THROW(segs.Items(bad), std::out_of_range) << bad;
    EXPECT_THROW(canais.Items(bad), std::out_of_range) << bad;
  }
}

TEST(ModelLists, ChannelListFreesChannelsButNotTheirVariables) {
  KxListaVariaveis variaveis;
  KxVariavel* var = MakeVariable(4, 1, 1);
  variaveis.Add(var);
  {
    KxListaCanais canais;
    KxCanal* c = canais.AddCanal(10, 2, variaveis.FindById(4), 0, 42445.5);
    canais.AddCanal(11, 3, variaveis.FindById(99), 0, 0);  // no such variable
    EXPECT_EQ(c->Variavel, var);
    EXPECT_EQ(c->UltimaData, 42445.5);
    EXPECT_EQ(canais.Items(1)->Variavel, nullptr);
  }
  EXPECT_EQ(g_variables, 1);
  EXPECT_EQ(variaveis.FindById(4)->ListaPeriodos->Count(), 1);
}

TEST(ModelLists, HolidayListAddContainsAndClear) {
  TListaFeriados feriados;
  EXPECT_FALSE(feriados.Contains(dt::EncodeDate(2016, 12, 25)));
  feriados.Add(dt::EncodeDate(2010, 12, 25));
  feriados.Add(dt::EncodeDate(2011, 12, 25));
  feriados.Add(dt::EncodeDate(2011, 1, 1));
  EXPECT_EQ(feriados.Count(), 3);
  EXPECT_EQ(feriados.Items(2)->Data, dt::EncodeDate(2000, 1, 1));
  EXPECT_TRUE(feriados.Contains(dt::EncodeDate(2030, 12, 25)));
  EXPECT_TRUE(feriados.Contains(dt::EncodeDate(1950, 1, 1)));
  feriados.Clear();
  EXPECT_EQ(feriados.Count(), 0);
  EXPECT_FALSE(feriados.Contains(dt::EncodeDate(2030, 12, 25)));
}

}  // namespace
