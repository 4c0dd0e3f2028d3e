// The installation loader against a real database and the real packages:
// the log lines of a whole load, each failure row, stop requests, status
// rows, failed last-date look-ups, and the configuration modules.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "database/EDatabaseError.h"
#include "database/TmodDatabase.h"
#include "model/KxBuildingData.h"
#include "model/KxListaPeriodos.h"
#include "model/KxListaSegmentos.h"
#include "model/TmodDrivers.h"
#include "model/TmodEquipamentos.h"
#include "model/TmodFeriados.h"
#include "model/TmodInterfaces.h"
#include "model/TmodVariaveis.h"
#include "packages/sim/SimMeterControl.h"
#include "platform/DateTime.h"
#include "support/InstallationKit.h"
#include "support/TestDatabase.h"

namespace {

using inst::kNull;

class BuildingDataTest : public ::testing::Test {
 protected:
  // The equipment of the example: a SimMeter with two channels, one with
  // history, one without, on a variable with two tariff periods.
  void ExampleInstallation() {
    inst::AddInterface(db, 1, "Interface simulada", "libSimInterface.so");
    inst::AddDriver(db, 3, 1, "libSimMeter.so");
    inst::AddVariavel(db, 1, "E", "Energia ativa");
    inst::AddPeriodo(db, 10, 1);
    inst::AddSegmento(db, 1, 10, "18:00", "21:00", 124);
    inst::AddPeriodo(db, 11, 1);
    inst::AddSegmento(db, 2, 11, "21:00", "18:00", 124);
    inst::AddSegmento(db, 3, 11, "00:00", "00:00", 131);
    inst::AddVariavel(db, 2, "R", "Energia reativa");
    inst::AddEquipamento(db, 12, 3, 3, kNull, "Medidor Bloco A");
    inst::AddCanal(db, 100, 12, 0, 1, 5, "Energia ativa");
    inst::AddCanal(db, 101, 12, 1, 2, kNull, "Energia reativa");
    db.Exec("insert into HISTORICOS_H (DATA, VALOR, CANAL_ID, PERIODO) "
            "values ('2016-10-31 22:45:00', 1, 100, 0)");
    db.Exec("insert into HISTORICOS_H (DATA, VALOR, CANAL_ID, PERIODO) "
            "values ('2016-10-31 23:00:00', 2, 100, 0)");
  }

  std::unique_ptr<KxBuildingData> Load(const std::atomic<bool>* stop = nullptr) {
    if (!mod) mod = std::make_unique<TmodDatabase>(db.Params());
    auto building = std::make_unique<KxBuildingData>(&log, mod.get());
    inst::ScopedChdir cd(work.Path());
    building->Load(stop);
    return building;
  }

  // The loader's lines: the packages' own lines left out.
  std::vector<std::string> LoaderLines() { return log.LinesWithout({"SimMeter ["}); }

  TestDatabase db;
  inst::WorkDir work;
  inst::HookLog log{work.File("Telvane.log")};
  std::unique_ptr<TmodDatabase> mod;
};

TEST_F(BuildingDataTest, WholeLoadWritesEveryLineAndBuildsTheTree) {
  ExampleInstallation();
  // An interface that no driver names is still created; a second driver on
  // interface 1 shares it; a package without name functions says "Erro".
  inst::AddInterface(db, 2, "Interface órfã", "libSimInterface.so");
  inst::AddDriver(db, 4, 1, "libDrvNoNames.so");
  inst::AddEquipamento(db, 13, 4, kNull, kNull, nullptr);  // NULL description

  auto building = Load();

  const std::vector<std::string> expected = {
      "Criando interface: Interface simulada",
      "\tInterface OK!",
      "Criando interface: Interface órfã",
      "\tInterface OK!",
      "Criando driver: 3",
      "\tSimMeter / 1.0 OK!",
      "Criando driver: 4",
      "\tErro / Erro OK!",
      "Criando variavel: Energia ativa",
      "Criando variavel: Energia reativa",
      "Criando equipamento [12]: Medidor Bloco A (3/0) ",
      "\t\tCanal: Energia ativa last=31/10/2016 23:00",
      "\t\tCanal: Energia reativa last=01/01/2000 00:00",
      "\t\tData último alarme: 01/01/2000 00:00",
      "\tEquipamento OK!",
      "Criando equipamento [13]:  (0/0) ",
      "\t\tData último alarme: 01/01/2000 00:00",
      "\tEquipamento OK!",
  };
  EXPECT_EQ(LoaderLines(), expected);

  // Interfaces and drivers.
  ASSERT_EQ(building->ListaInterfaces->Count(), 2);
  KxInterface* itf = building->ListaInterfaces->FindById(1);
  ASSERT_NE(itf, nullptr);
  EXPECT_TRUE(itf->Aberta);
  ASSERT_EQ(building->ListaDrivers->Count(), 2);
  EXPECT_EQ(building->ListaDrivers->Items(0)->Interface, itf);
  EXPECT_EQ(building->ListaDrivers->Items(1)->Interface, itf);

  // Variables with their periods and segments (times of day only).
  ASSERT_EQ(building->ListaVariaveis->Count(), 2);
  KxVariavel* energia = building->ListaVariaveis->FindById(1);
  ASSERT_NE(energia, nullptr);
  EXPECT_EQ(energia->Tipo, 'E');
  ASSERT_EQ(energia->ListaPeriodos->Count(), 2);
  KxPeriodo* p11 = energia->ListaPeriodos->Items(1);
  EXPECT_EQ(p11->PeriodoId, 11);
  ASSERT_EQ(p11->ListaSegmentos->Count(), 2);
  EXPECT_EQ(p11->ListaSegmentos->Items(0)->Dias, 124);
  EXPECT_EQ(dt::ToMSecs(p11->ListaSegmentos->Items(0)->StartTime), 21 * 3600000);
  EXPECT_EQ(dt::ToMSecs(p11->ListaSegmentos->Items(0)->EndTime), 18 * 3600000);
  EXPECT_EQ(building->ListaVariaveis->FindById(2)->ListaPeriodos->Count(), 0);

  // Equipment with their channels and last dates.
  ASSERT_EQ(building->ListaEquipamentos->Count(), 2);
  KxEquipamento* e12 = building->ListaEquipamentos->Items(0);
  EXPECT_EQ(e12->EquipId, 12);
  EXPECT_EQ(e12->DataUltimoAlarme, dt::EncodeDate(2000, 1, 1));
  ASSERT_EQ(e12->Canais->Count(), 2);
  KxCanal* c100 = e12->Canais->Items(0);
  EXPECT_EQ(c100->CanalId, 100);
  EXPECT_EQ(c100->EquipIndex, 0);
  EXPECT_EQ(c100->Variavel, energia);
  EXPECT_EQ(c100->LocalId, 5);
  EXPECT_EQ(dt::ToMSecs(c100->UltimaData), dt::ToMSecs(dt::EncodeDateTime(2016, 10, 31, 23, 0)));
  KxCanal* c101 = e12->Canais->Items(1);
  EXPECT_EQ(c101->LocalId, 0);
  EXPECT_EQ(c101->UltimaData, dt::EncodeDate(2000, 1, 1));
  EXPECT_EQ(building->ListaEquipamentos->Items(1)->Canais->Count(), 0);

  // Status rows: every created equipment waits for its first reading; the
  // activity message is the last equipment's.
  EXPECT_EQ(db.QueryString("select TEXTO from STATUS_EQUIPS where EQUIP_ID = 12"),
            "Aguardando leitura");
  EXPECT_EQ(db.QueryInt("select STATUS from STATUS_EQUIPS where EQUIP_ID = 13"), 0);
  EXPECT_EQ(db.QueryString("select TEXTO from STATUS_EQUIPS where EQUIP_ID = 13"),
            "Aguardando leitura");
  EXPECT_EQ(db.QueryString("select MENSAGEM from STATUS_COMM where ID = 1"),
            "Carregando dados do equipamento ''");
}

TEST_F(BuildingDataTest, ActivityMessageOfTheLastEquipment) {
  ExampleInstallation();
  auto building = Load();
  EXPECT_EQ(db.QueryString("select MENSAGEM from STATUS_COMM where ID = 1"),
            "Carregando dados do equipamento 'Medidor Bloco A'");
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_EQUIPS"), 1);
}

TEST_F(BuildingDataTest, EveryFailureRowIsReportedAndSkipped) {
  inst::AddInterface(db, 1, "Boa", "libSimInterface.so");
  inst::AddInterface(db, 20, "Sem pacote", "libNaoExiste.so");
  inst::AddInterface(db, 21, "Não é biblioteca", "NotALibrary.so");
  inst::AddInterface(db, 22, "Sem entrada", "libIfNoEntry.so");
  inst::AddInterface(db, 23, "Objeto nulo", "libIfNullObject.so");
  inst::AddInterface(db, 24, "Configuração recusada", "libIfConfigureFails.so");
  inst::AddInterface(db, 25, "Fora da pasta", "../Interfaces/libSimInterface.so");
  inst::AddInterface(db, 26, "Configure lança", "libSimInterface.so", "throw_configure=1");
  // Packages that throw classes of their own, unknown to the service.
  inst::AddInterface(db, 27, "Criação lança", "libIfThrowCreate.so");
  inst::AddInterface(db, 28, "Configure lança classe própria", "libIfThrowConfigure.so");
  inst::AddInterface(db, 29, "Open lança", "libIfThrowOpen.so");

  inst::AddDriver(db, 3, 1, "libSimMeter.so");
  inst::AddDriver(db, 30, 1, "libNaoExiste.so");
  inst::AddDriver(db, 31, 22, "libSimMeter.so");  // its interface was not created
  inst::AddDriver(db, 32, 1, "libDrvNullEquip.so");
  inst::AddDriver(db, 33, 1, "libDrvNoCreate.so");
  inst::AddDriver(db, 34, 1, "../Drivers/libSimMeter.so");
  inst::AddDriver(db, 35, 24, "NotALibrary.so");
  inst::AddDriver(db, 36, 24, "libSimMeter.so");  // on the interface that was not opened
  inst::AddDriver(db, 37, 1, "libDrvThrowName.so");
  inst::AddDriver(db, 38, 1, "libDrvThrowVersion.so");
  inst::AddDriver(db, 39, 1, "libDrvThrowCreate.so");
  inst::AddDriver(db, 50, 1, "libDrvDeleteEquip.so");

  inst::AddVariavel(db, 1, "E", "Boa");
  inst::AddVariavel(db, 2, "", "Sem tipo");

  inst::AddEquipamento(db, 40, 30, 1, 2, "Driver sem pacote");
  inst::AddEquipamento(db, 41, 31, kNull, kNull, "Driver sem interface");
  inst::AddEquipamento(db, 42, 32, kNull, kNull, "Driver sem objeto");
  inst::AddCanal(db, 420, 42, 0, 1, kNull, "Canal guardado");
  inst::AddEquipamento(db, 43, 33, kNull, kNull, "Driver sem criação");
  inst::AddCanal(db, 430, 43, 0, 1, kNull, "Canal perdido");
  inst::AddEquipamento(db, 44, 3, kNull, kNull, "Canal sem variável");
  inst::AddCanal(db, 440, 44, 0, 2, kNull, "Sem variável");
  // The package frees the channel list (deleting the object it made with
  // it, or before throwing): the service must not free it again.
  inst::AddEquipamento(db, 45, 50, kNull, kNull, "Objeto apagado");
  inst::AddCanal(db, 450, 45, 0, 1, kNull, "Canal apagado");
  inst::AddEquipamento(db, 46, 39, kNull, kNull, "Criação lança");
  inst::AddCanal(db, 460, 46, 0, 1, kNull, "Canal lançado");

  auto building = Load();

  // "*" at the end: the line begins with the text before it (the rest is
  // the system's or the package's message).
  const std::vector<std::string> expected = {
      "Criando interface: Boa",
      "\tInterface OK!",
      "Criando interface: Sem pacote",
      "\tExceção criando interface:*",
      "Criando interface: Não é biblioteca",
      "\tExceção criando interface:*",
      "Criando interface: Sem entrada",
      "\tInterface OK!",
      "Criando interface: Objeto nulo",
      "\tInterface OK!",
      "Criando interface: Configuração recusada",
      "\tInterface OK!",
      "Criando interface: Fora da pasta",
      "\tExceção criando interface:Nome de pacote inválido (DLLNAME): "
      "'../Interfaces/libSimInterface.so'*",
      "Criando interface: Configure lança",
      "\tExceção criando interface:*",
      "Criando interface: Criação lança",
      "\tExceção criando interface:exceção desconhecida",
      "Criando interface: Configure lança classe própria",
      "\tExceção criando interface:exceção desconhecida",
      "Criando interface: Open lança",
      "\tExceção criando interface:abertura quebrada",
      "Criando driver: 3",
      "\tSimMeter / 1.0 OK!",
      "Criando driver: 30",
      "\tExceção criando driver:*",
      "Criando driver: 31",
      "\tErro: interface não existe!",
      "Criando driver: 32",
      "\tBroken Medição / 0.1 OK!",
      "Criando driver: 33",
      "\tBroken Medição / 0.1 OK!",
      "Criando driver: 34",
      "\tExceção criando driver:Nome de pacote inválido (DLLNAME): '../Drivers/libSimMeter.so'*",
      "Criando driver: 35",
      "\tExceção criando driver:*",
      "Criando driver: 36",
      "\tSimMeter / 1.0 OK!",
      "Criando driver: 37",
      "\tExceção criando driver:exceção desconhecida",
      "Criando driver: 38",
      "\tExceção criando driver:versão quebrada",
      "Criando driver: 39",
      "\tBroken Medição / 0.1 OK!",
      "Criando driver: 50",
      "\tBroken Medição / 0.1 OK!",
      "Criando variavel: Boa",
      "Criando variavel: Sem tipo",
      "\tErro:Range check error",
      "Criando equipamento [40]: Driver sem pacote (1/2) ",
      "\tDriver não existe!",
      "Criando equipamento [41]: Driver sem interface (0/0) ",
      "\tDriver não existe!",
      "Criando equipamento [42]: Driver sem objeto (0/0) ",
      "\t\tCanal: Canal guardado last=01/01/2000 00:00",
      "\tExceção: o driver não criou o equipamento [42]",
      "Criando equipamento [43]: Driver sem criação (0/0) ",
      "\t\tCanal: Canal perdido last=01/01/2000 00:00",
      "\tExceção: o driver não criou o equipamento [43]",
      "Criando equipamento [44]: Canal sem variável (0/0) ",
      "\t\tCanal: Sem variável last=01/01/2000 00:00",
      "\t\tCanal [440] não será lido: variável [2] não carregada (Range check error); os "
      "registros aguardam no medidor",
      "\t\tData último alarme: 01/01/2000 00:00",
      "\tEquipamento OK!",
      "Criando equipamento [45]: Objeto apagado (0/0) ",
      "\t\tCanal: Canal apagado last=01/01/2000 00:00",
      "\tExceção: o driver não criou o equipamento [45]",
      "Criando equipamento [46]: Criação lança (0/0) ",
      "\t\tCanal: Canal lançado last=01/01/2000 00:00",
      "\tExceção: exceção desconhecida",
  };
  const std::vector<std::string> lines = LoaderLines();
  ASSERT_EQ(lines.size(), expected.size()) << ::testing::PrintToString(lines);
  for (size_t i = 0; i < expected.size(); ++i) {
    const std::string& want = expected[i];
    if (!want.empty() && want.back() == '*') {
      const std::string prefix = want.substr(0, want.size() - 1);
      EXPECT_EQ(lines[i].substr(0, prefix.size()), prefix) << "line " << i;
      EXPECT_GT(lines[i].size(), prefix.size()) << "line " << i << ": no message";
    } else {
      EXPECT_EQ(lines[i], want) << "line " << i;
    }
  }

  // What survives: interfaces 1, 24 (listed, not opened); drivers 3, 32,
  // 33, 36; variable 1; equipment 44 whose channel has no variable and
  // waits for it.
  ASSERT_EQ(building->ListaInterfaces->Count(), 2);
  KxInterface* recusada = building->ListaInterfaces->FindById(24);
  ASSERT_NE(recusada, nullptr);
  EXPECT_FALSE(recusada->Aberta);
  EXPECT_EQ(building->ListaDrivers->Count(), 6);
  EXPECT_EQ(building->ListaDrivers->FindById(36)->Interface, recusada);
  ASSERT_EQ(building->ListaVariaveis->Count(), 1);
  ASSERT_EQ(building->ListaEquipamentos->Count(), 1);
  KxEquipamento* e44 = building->ListaEquipamentos->Items(0);
  EXPECT_EQ(e44->EquipId, 44);
  EXPECT_EQ(e44->Canais->Items(0)->Variavel, nullptr);
  EXPECT_TRUE(building->CanalAguardaVariavel(440));
  EXPECT_EQ(building->CanaisAguardando(), 1);

  // Status rows: a missing driver keeps "Carregando canais"; a failed
  // creation shows the exception line, TAB included.
  auto status = [&](int id) {
    return db.QueryString("select TEXTO from STATUS_EQUIPS where EQUIP_ID = " +
                          std::to_string(id));
  };
  EXPECT_EQ(status(40), "Carregando canais");
  EXPECT_EQ(status(41), "Carregando canais");
  EXPECT_EQ(status(42), "\tExceção: o driver não criou o equipamento [42]");
  EXPECT_EQ(status(43), "\tExceção: o driver não criou o equipamento [43]");
  EXPECT_EQ(status(44), "Aguardando leitura");
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_EQUIPS where STATUS <> 0"), 0);
  // The list that driver 32 kept is intact (under ASan, a list the service
  // had freed would be a use after free here).
  void* kept = dlopen((work.Path() + "/Drivers/libDrvNullEquip.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(reinterpret_cast<BrokenDriver_KeptChannelsProc>(
                dlsym(kept, "BrokenDriver_KeptChannels"))(),
            1);
  dlclose(kept);
}

// A stop request already present: every step ends after its first row,
// inside LoadCanais after the first channel; the steps still all run.
TEST_F(BuildingDataTest, StopFlagEndsEachStepAfterItsFirstRow) {
  ExampleInstallation();
  inst::AddInterface(db, 2, "Segunda", "libSimInterface.so");
  inst::AddDriver(db, 4, 1, "libDrvNoNames.so");
  inst::AddEquipamento(db, 13, 4, kNull, kNull, "Segundo");
  std::atomic<bool> stop{true};

  auto building = Load(&stop);

  const std::vector<std::string> expected = {
      "Criando interface: Interface simulada",
      "\tInterface OK!",
      "Criando driver: 3",
      "\tSimMeter / 1.0 OK!",
      "Criando variavel: Energia ativa",
      "Criando equipamento [12]: Medidor Bloco A (3/0) ",
      "\t\tCanal: Energia ativa last=31/10/2016 23:00",
      "\t\tData último alarme: 01/01/2000 00:00",
      "\tEquipamento OK!",
  };
  EXPECT_EQ(LoaderLines(), expected);
  ASSERT_EQ(building->ListaEquipamentos->Count(), 1);
  EXPECT_EQ(building->ListaEquipamentos->Items(0)->Canais->Count(), 1);
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_EQUIPS where EQUIP_ID = 13"), 0);
}

// A stop request that arrives while the first channel is being loaded: the
// equipment is created with the channels read so far, the next one is not.
TEST_F(BuildingDataTest, StopDuringLoadCanaisKeepsTheChannelsReadSoFar) {
  ExampleInstallation();
  inst::AddCanal(db, 102, 12, 2, 1, kNull, "Terceiro");
  inst::AddEquipamento(db, 13, 3, kNull, kNull, "Segundo");
  std::atomic<bool> stop{false};
  log.OnLine([&](const std::string& line) {
    if (line.rfind("\t\tCanal: ", 0) == 0) stop = true;
  });

  auto building = Load(&stop);

  const std::vector<std::string> lines = LoaderLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
            (std::vector<std::string>{"Criando equipamento [12]: Medidor Bloco A (3/0) ",
                                      "\t\tCanal: Energia ativa last=31/10/2016 23:00",
                                      "\t\tData último alarme: 01/01/2000 00:00",
                                      "\tEquipamento OK!"}));
  ASSERT_EQ(building->ListaEquipamentos->Count(), 1);
  EXPECT_EQ(building->ListaEquipamentos->Items(0)->Canais->Count(), 1);
  EXPECT_EQ(log.Count("Criando equipamento [13]: Segundo (0/0) "), 0);
}

TEST_F(BuildingDataTest, EmptyInstallationLoadsNothingAndEndsNormally) {
  auto building = Load();
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(building->ListaEquipamentos->Count(), 0);
  EXPECT_EQ(db.QueryString("select MENSAGEM from STATUS_COMM where ID = 1"),
            "Carregando variáveis...");
}

// A last-date look-up that fails (here a revoked grant) fails the whole
// load, naming the look-up and the database's reason: an equipment left out
// would silently not be collected, and one that resumed from the zero date
// would deliver its whole history again.
TEST_F(BuildingDataTest, AFailedLastDateLookupFailsTheWholeLoad) {
  ExampleInstallation();
  inst::AddEquipamento(db, 13, 3, kNull, kNull, "Sem canais");
  auto failure = [&] {
    mod.reset();  // a new attachment sees the grants as they are now
    try {
      Load();
    } catch (const ELoadFailure& e) {
      return std::string(e.what());
    }
    return std::string("no failure");
  };
  db.Exec("revoke select on HISTORICOS_H from user TELVUSR");
  std::string what = failure();
  EXPECT_EQ(what.rfind("Falha ao ler a última data do canal [100]: ", 0), 0u) << what;
  EXPECT_NE(what.find("HISTORICOS_H"), std::string::npos) << what;

  db.Exec("grant select on HISTORICOS_H to user TELVUSR");
  db.Exec("revoke select on ALARMES from user TELVUSR");
  what = failure();
  EXPECT_EQ(what.rfind("Falha ao ler a data do último alarme do equipamento [12]: ", 0), 0u)
      << what;
  EXPECT_NE(what.find("ALARMES"), std::string::npos) << what;
  EXPECT_EQ(log.Count("\tEquipamento OK!"), 0);
}

// A lost connection is no row's failure: opening the first module raises
// out of Load.
TEST_F(BuildingDataTest, LostConnectionEndsTheLoad) {
  ExampleInstallation();
  mod = std::make_unique<TmodDatabase>(db.Params());
  ASSERT_GE(db.KillConnections(), 1);
  EXPECT_THROW(Load(), EDatabaseError);
  EXPECT_TRUE(log.Lines().empty());
}

// The demo installation (db/demo.sql) loads without a single failure row,
// and its tariff periods and holidays give what the demo promises.
TEST_F(BuildingDataTest, DemoInstallationLoadsCleanly) {
  RunSqlScript(db.Sysdba(), ReadTextFile(TELVANE_SOURCE_DIR "/db/demo.sql"));
  auto building = Load();

  for (const std::string& line : LoaderLines()) {
    EXPECT_EQ(line.rfind("\tExceção", 0), std::string::npos) << line;
    EXPECT_EQ(line.rfind("\tErro", 0), std::string::npos) << line;
    EXPECT_NE(line, "\tDriver não existe!");
  }
  for (const std::string& line : log.Lines())  // every CONFIGS line understood
    EXPECT_EQ(line.find("configuração ignorada"), std::string::npos) << line;
  // The simulated gateways open; the Modbus one (5) has no simulator to
  // connect to here, and its meter is created all the same.
  ASSERT_EQ(building->ListaInterfaces->Count(), 5);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(building->ListaInterfaces->Items(i)->Aberta);
  EXPECT_EQ(building->ListaDrivers->Count(), 4);
  ASSERT_EQ(building->ListaVariaveis->Count(), 3);
  ASSERT_EQ(building->ListaEquipamentos->Count(), 6);
  EXPECT_EQ(building->ListaEquipamentos->FindById(30)->Canais->Count(), 1);
  EXPECT_EQ(building->ListaEquipamentos->FindById(40)->Canais->Count(), 2);
  EXPECT_EQ(log.Count("Criando variavel: Água"), 1);

  TmodFeriados feriados(mod.get());
  feriados.Load();
  EXPECT_EQ(feriados.ListaFeriados->Count(), 8);
  const KxVariavel* energia = building->ListaVariaveis->FindById(1);
  const TListaFeriados& f = *feriados.ListaFeriados;
  // Wednesday 19:30 peak, 22:00 off-peak; Saturday and Christmas (a
  // Thursday in 2025) weekend/holiday; water has no periods.
  EXPECT_EQ(energia->GetPeriodoId(f, dt::EncodeDateTime(2025, 3, 12, 19, 30)), 1);
  EXPECT_EQ(energia->GetPeriodoId(f, dt::EncodeDateTime(2025, 3, 12, 22, 0)), 2);
  EXPECT_EQ(energia->GetPeriodoId(f, dt::EncodeDateTime(2025, 3, 15, 19, 30)), 3);
  EXPECT_EQ(energia->GetPeriodoId(f, dt::EncodeDateTime(2025, 12, 25, 19, 30)), 3);
  EXPECT_EQ(building->ListaVariaveis->FindById(3)->GetPeriodoId(
                f, dt::EncodeDateTime(2025, 3, 12, 19, 30)),
            0);
}

// ---------------------------------------------------------------------------
// Configuration modules.

// Counts the TELVUSR transactions that are active, read-only, read committed
// with record versions, and nowait.
int64_t ActiveConfigTransactions(TestDatabase& db) {
  return db.QueryInt(
      "select count(*) from MON$TRANSACTIONS t join MON$ATTACHMENTS a "
      "on a.MON$ATTACHMENT_ID = t.MON$ATTACHMENT_ID "
      "where a.MON$USER = 'TELVUSR' and t.MON$READ_ONLY = 1 "
      "and t.MON$ISOLATION_MODE = 2 and t.MON$LOCK_TIMEOUT = 0");
}

TEST_F(BuildingDataTest, ModulesHoldReadOnlyTransactionsWhileAlive) {
  ExampleInstallation();
  mod = std::make_unique<TmodDatabase>(db.Params());
  {
    TmodInterfaces interfaces(mod.get());
    TmodDrivers drivers(mod.get());
    TmodVariaveis variaveis(mod.get());
    TmodEquipamentos equipamentos(mod.get());
    EXPECT_EQ(ActiveConfigTransactions(db), 4);
    EXPECT_EQ(interfaces.Interfaces.FieldByName("DLLNAME").AsString(), "libSimInterface.so");
    EXPECT_EQ(drivers.Drivers.FieldByName("DRIVER_ID").AsInteger(), 3);
  }
  EXPECT_EQ(ActiveConfigTransactions(db), 0);
}

TEST_F(BuildingDataTest, DetailCursorsFollowTheirMaster) {
  inst::AddVariavel(db, 1, "E", "um");
  inst::AddVariavel(db, 2, "R", "dois");  // no periods
  inst::AddVariavel(db, 3, "A", "três");
  inst::AddPeriodo(db, 10, 1);
  inst::AddPeriodo(db, 30, 3);
  inst::AddPeriodo(db, 11, 1);
  inst::AddSegmento(db, 1, 10, "08:00", "12:00", 124);
  inst::AddSegmento(db, 2, 11, "12:00", "18:00", 124);
  inst::AddSegmento(db, 3, 30, "00:00", "00:00", kNull);
  inst::AddSegmento(db, 4, 11, "18:00", "08:00", 255);
  inst::AddInterface(db, 1, "i", "libSimInterface.so");
  inst::AddDriver(db, 3, 1, "libSimMeter.so");
  inst::AddEquipamento(db, 12, 3, kNull, kNull, "a");
  inst::AddEquipamento(db, 13, 3, kNull, kNull, "b");  // no channels
  inst::AddEquipamento(db, 14, 3, kNull, kNull, "c");
  inst::AddCanal(db, 100, 12, 0, 1, kNull, "x");
  inst::AddCanal(db, 102, 14, 0, 1, kNull, "z");
  inst::AddCanal(db, 101, 12, 1, 1, kNull, "y");
  mod = std::make_unique<TmodDatabase>(db.Params());

  std::string tree;
  {
    TmodVariaveis v(mod.get());
    while (!v.Variaveis.Eof()) {
      tree += "V" + std::to_string(v.Variaveis.FieldByName("VAR_ID").AsInteger()) + "(";
      while (!v.Periodos.Eof()) {
        tree += "P" + std::to_string(v.Periodos.FieldByName("PERIODO_ID").AsInteger()) + "[";
        while (!v.Segmentos.Eof()) {
          tree += std::to_string(v.Segmentos.FieldByName("SEGMENTO_ID").AsInteger()) + ":" +
                  std::to_string(v.Segmentos.FieldByName("DIAS").AsInteger()) + " ";
          v.Segmentos.Next();
        }
        tree += "]";
        v.NextPeriodo();
      }
      tree += ")";
      v.NextVariavel();
    }
    EXPECT_TRUE(v.Periodos.Eof());
    EXPECT_TRUE(v.Segmentos.Eof());
  }
  EXPECT_EQ(tree, "V1(P10[1:124 ]P11[2:124 4:255 ])V2()V3(P30[3:0 ])");

  std::string equips;
  {
    TmodEquipamentos e(mod.get());
    while (!e.Equipamentos.Eof()) {
      equips += "E" + std::to_string(e.Equipamentos.FieldByName("EQUIP_ID").AsInteger()) + "(";
      while (!e.Canais.Eof()) {
        equips += std::to_string(e.Canais.FieldByName("CANAL_ID").AsInteger()) + " ";
        e.Canais.Next();
      }
      equips += ")";
      e.NextEquipamento();
    }
  }
  EXPECT_EQ(equips, "E12(100 101 )E13()E14(102 )");

  // The segment with an empty DIAS reaches the tree as 0.
  auto building = Load();
  EXPECT_EQ(building->ListaVariaveis->FindById(3)->ListaPeriodos->Items(0)->ListaSegmentos
                ->Items(0)->Dias,
            0);
}

// ---------------------------------------------------------------------------
// Holidays.

TEST_F(BuildingDataTest, FeriadosLoadReadsEveryRowAndSwallowsFailures) {
  db.Exec("insert into FERIADOS (DATA, DESCRICAO) values ('2010-12-25', 'Natal')");
  db.Exec("insert into FERIADOS (DATA, DESCRICAO) values ('2012-02-29', 'Bissexto')");
  mod = std::make_unique<TmodDatabase>(db.Params());
  TmodFeriados feriados(mod.get());
  EXPECT_EQ(feriados.ListaFeriados->Count(), 0);  // nothing read at creation

  feriados.Load();
  EXPECT_EQ(feriados.ListaFeriados->Count(), 2);
  EXPECT_TRUE(feriados.ListaFeriados->Contains(dt::EncodeDate(2015, 12, 25)));
  EXPECT_FALSE(feriados.FeriadosTrans.InTransaction());

  feriados.Load();  // reloading replaces, never appends
  EXPECT_EQ(feriados.ListaFeriados->Count(), 2);

  // The connection is gone: nothing escapes, and the holidays read last stay
  // in force (an empty list would tag every holiday's records wrongly).
  ASSERT_GE(db.KillConnections(), 1);
  bool renewed = true;
  EXPECT_NO_THROW(renewed = feriados.Load());
  EXPECT_FALSE(renewed);
  EXPECT_EQ(feriados.ListaFeriados->Count(), 2);
  EXPECT_FALSE(feriados.FeriadosTrans.InTransaction());
}

TEST_F(BuildingDataTest, FeriadosLoadRollsBackWhenTheSelectFails) {
  db.Exec("insert into FERIADOS (DATA, DESCRICAO) values ('2010-12-25', 'Natal')");
  db.Exec("revoke select on FERIADOS from user TELVUSR");
  mod = std::make_unique<TmodDatabase>(db.Params());
  TmodFeriados feriados(mod.get());
  EXPECT_NO_THROW(feriados.Load());
  EXPECT_EQ(feriados.ListaFeriados->Count(), 0);
  EXPECT_FALSE(feriados.FeriadosTrans.InTransaction());
}

}  // namespace
