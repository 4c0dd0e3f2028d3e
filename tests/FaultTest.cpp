// Faults met for real by the whole service (load thread, workers, the real
// packages): the database server killed while a meter's backlog of history
// is being drained, the connection lost while its alarms are, and the
// database unreachable when the service starts. The server is killed for
// real (SIGKILL to fbguard and the server process, found by their
// executables) and started again the way scripts/firebird-setup starts it;
// the other losses are made by a relay between the service and the server
// (TcpProxy): cutting it closes every connection (the next call fails with
// isc_net_read_err, as when the server process dies) and refuses new ones
// until it is restored, as a stopped server does.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "database/FbQuery.h"
#include "database/FbTransaction.h"
#include "packages/sim/SimMeterControl.h"
#include "platform/DateTime.h"
#include "service/KxLoadThread.h"
#include "support/FakeClock.h"
#include "support/FirebirdServer.h"
#include "support/InstallationKit.h"
#include "support/TestDatabase.h"
#include "support/ThreadTestKit.h"

namespace {

using inst::kNull;
using kit::WaitUntil;
using namespace std::chrono_literals;

const TDateTime kMeterNow = dt::EncodeDateTime(2016, 3, 16, 12, 7, 0);
const char* const kLost = "Conexão com o banco de dados perdida: ";
const char* const kBack = "Conexão com o banco de dados restabelecida!";

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inst::ScopedChdir cd(work.Path());
    meter_ = dlopen("./Drivers/libSimMeter.so", RTLD_NOW);
    ASSERT_NE(meter_, nullptr) << dlerror();
    controlAll = Fn<SimMeter_ControlAllProc>("SimMeter_ControlAll");
    getRecords = Fn<SimMeter_GetRecordsProc>("SimMeter_GetRecords");
    getAlarms = Fn<SimMeter_GetAlarmsProc>("SimMeter_GetAlarms");
    Fn<SimMeter_ResetProc>("SimMeter_Reset")();
    ASSERT_EQ(0, controlAll(("now=" + std::to_string(kMeterNow)).c_str()));
    clock.SetRealDivisor(20);
  }
  // One simulated meter with two channels on an interface with `configs`.
  void Install(const std::string& configs) {
    inst::AddInterface(db, 1, "Serial simulada", "libSimInterface.so", configs);
    inst::AddVariavel(db, 1, "E", "Energia ativa");
    inst::AddDriver(db, 3, 1, "libSimMeter.so");
    inst::AddEquipamento(db, 12, 3, kNull, kNull, "Medidor Bloco A");
    inst::AddCanal(db, 100, 12, 0, 1, kNull, "Energia ativa");
    inst::AddCanal(db, 101, 12, 1, 1, kNull, "Energia reativa");
  }
  void TearDown() override {
    proxy.Restore();
    if (serverKilled_) {
      EXPECT_TRUE(server.Start()) << "the Firebird server did not start again";
    }
    if (thread) {
      thread->Terminate();
      thread->WaitFor();
      thread.reset();
    }
    if (HasFailure())
      for (const auto& l : log.Lines()) std::cerr << "  log: " << l << "\n";
    if (meter_) {
      Fn<SimMeter_ResetProc>("SimMeter_Reset")();
      dlclose(meter_);
    }
    cwd_.reset();
  }
  template <typename F>
  F Fn(const char* name) {
    return reinterpret_cast<F>(dlsym(meter_, name));
  }
  // The load may wait for the database: the packages' folders must stay
  // the current directory until it has loaded them.
  void Start() {
    cwd_ = std::make_unique<inst::ScopedChdir>(work.Path());
    thread = std::make_unique<KxLoadThread>(&log, proxy.Params(db.Params()), clock);
  }
  // -1 while the test's own connection cannot answer (the server is away,
  // or it has not attached again yet).
  int64_t Int(const std::string& sql) {
    try {
      return db.QueryInt(sql);
    } catch (const std::exception&) {
      return -1;
    }
  }
  size_t Lines(const char* prefix) { return log.StartingWith(prefix).size(); }

  // The stored dates of a channel, oldest first.
  std::vector<int64_t> StoredDates(int canal) {
    std::vector<int64_t> out;
    FbConnection conn(db.Params());
    FbTransaction tr(conn, {});
    tr.StartTransaction();
    FbQuery q(conn, tr,
              "select DATA from HISTORICOS_H where CANAL_ID = " + std::to_string(canal) +
                  " order by DATA");
    for (q.ExecQuery(); !q.Eof(); q.Next())
      out.push_back(dt::ToMSecs(q.FieldByName("DATA").AsDateTime()));
    q.Close();
    tr.Commit();
    return out;
  }
  // The meter's whole history of one channel, as it must be stored.
  std::vector<int64_t> MeterDates(int index) {
    std::vector<double> dates(10000);
    std::vector<float> values(10000);
    const int n = getRecords(12, index, 0, 10000, dates.data(), values.data());
    std::vector<int64_t> out;
    for (int i = 0; i < n; ++i) out.push_back(dt::ToMSecs(dt::ZeroSeconds(dates[i])));
    return out;
  }
  // The meter's alarms that are stored (notes and empty texts are not).
  int64_t MeterStoredAlarms() {
    std::vector<double> dates(10000);
    std::vector<int32_t> classes(10000);
    const int n = getAlarms(12, 0, 10000, dates.data(), classes.data());
    int64_t stored = 0;
    for (int i = 0; i < n; ++i) stored += classes[i] != 0 && classes[i] != 14 ? 1 : 0;
    return stored;
  }
  // Cuts the connections for `down`, then lets them through again.
  void Outage(std::chrono::milliseconds down) {
    proxy.Cut();
    std::this_thread::sleep_for(down);
    proxy.Restore();
  }
  // Kills the server for `down`, then starts it again and waits until the
  // test's own connection works again.
  void ServerOutage(std::chrono::milliseconds down) {
    serverKilled_ = true;
    server.Kill();
    std::this_thread::sleep_for(down);
    const FbConnectParams probe = db.SysdbaParams();
    ASSERT_TRUE(server.Start(&probe)) << "the Firebird server did not start again";
    ASSERT_TRUE(WaitUntil([&] { return Int("select 1 from rdb$database") == 1; }, 20s));
  }

  TestDatabase db;
  FirebirdServer server;  // after db: started again before the database is dropped
  bool serverKilled_ = false;
  TcpProxy proxy;
  inst::WorkDir work;
  kit::CaptureLog log{work.File("Telvane.log")};
  FakeClock clock{kMeterNow};
  void* meter_ = nullptr;
  SimMeter_ControlAllProc controlAll = nullptr;
  SimMeter_GetRecordsProc getRecords = nullptr;
  SimMeter_GetAlarmsProc getAlarms = nullptr;
  std::unique_ptr<inst::ScopedChdir> cwd_;
  std::unique_ptr<KxLoadThread> thread;
};

const char* const kEquipAlarms =
    "select count(*) from ALARMES where EQUIP_ID = 12 and CLASSE in (10, 11, 12, 13)";

TEST_F(FaultTest, ConnectionLostWhileDrainingHistoryAndAlarmsLosesAndDuplicatesNothing) {
  // The meter never stops answering: the outages are the database's.
  // 3000 records per channel and 1500 alarms (1000 of them stored).
  Install("interval_min=1\nbacklog_records=3000\nalarm_interval_min=2\n");
  Start();

  // The server killed while the history is being drained...
  ASSERT_TRUE(WaitUntil([&] { return Int("select count(*) from HISTORICOS_H") > 300; }, 60s));
  ASSERT_NO_FATAL_FAILURE(ServerOutage(10s));
  // ...and the connection cut again while the alarms are.
  ASSERT_TRUE(WaitUntil([&] { return Int(kEquipAlarms) > 100; }, 120s));
  Outage(8s);

  const int64_t alarms = MeterStoredAlarms();
  ASSERT_TRUE(WaitUntil([&] {
    return Int(kEquipAlarms) >= alarms && Int("select count(*) from HISTORICOS_H") >= 6000 &&
           log.Count(kBack) >= 2;
  }, 120s));
  std::this_thread::sleep_for(500ms);  // nothing more may come
  for (int index : {0, 1}) {
    SCOPED_TRACE(index);
    const auto expected = MeterDates(index);
    ASSERT_EQ(expected.size(), 3000u);
    EXPECT_EQ(StoredDates(100 + index), expected);  // every record, exactly once
  }
  EXPECT_EQ(Int(kEquipAlarms), alarms);
  EXPECT_EQ(Int("select count(*) from (select DATA from ALARMES where EQUIP_ID = 12 and "
                "CLASSE in (10, 11, 12, 13) group by DATA having count(*) > 1)"),
            0);

  // One line for each loss and each return of the main connection.
  EXPECT_EQ(Lines(kLost), 2u);
  EXPECT_EQ(log.Count(kBack), 2);
  EXPECT_TRUE(log.StartingWith("CommThread: exceção ao inserir dados no DB").empty());
  // The visits the outages cut say nothing about the meter: no loss of
  // communication, one "Comunicação normal." (its first visit), and no
  // alarm lost on the way.
  EXPECT_EQ(Int("select count(*) from ALARMES where EQUIP_ID = 12 and CLASSE = 2"), 0);
  EXPECT_EQ(Int("select count(*) from ALARMES where EQUIP_ID = 12 and CLASSE = 3"), 1);
  EXPECT_TRUE(log.StartingWith("AlarmLog: ").empty());

  // Status and activity are written again, live values are served again.
  db.Exec("delete from STATUS_EQUIPS");
  db.Exec("delete from STATUS_COMM");
  db.Exec("insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE) values (12, "
          "dateadd(1 hour to current_timestamp))");
  EXPECT_TRUE(WaitUntil([&] {
    return Int("select count(*) from STATUS_EQUIPS where EQUIP_ID = 12 and STATUS = 1") == 1 &&
           Int("select count(*) from STATUS_COMM where ID = 1") == 1 &&
           Int("select count(*) from ONLINE_VALUES where EQUIP_ID = 12") == 4;
  }, 60s));
  EXPECT_GE(Lines("OnlineThread: conexão com o banco de dados perdida: "), 1u);
  EXPECT_GE(log.Count("OnlineThread: conexão com o banco de dados restabelecida!"), 1);
}

TEST_F(FaultTest, DatabaseUnreachableAtStartIsAwaitedThenLoadedAndCollected) {
  Install("interval_min=15\nbacklog_records=20\nalarm_interval_min=0\n");
  proxy.Cut();
  Start();
  ASSERT_TRUE(WaitUntil([&] {
    return Lines("Banco de dados indisponível, nova tentativa a cada 5 s: ") == 1;
  }));
  std::this_thread::sleep_for(2s);  // several tries, still one line
  EXPECT_EQ(Lines("Banco de dados indisponível, nova tentativa a cada 5 s: "), 1u);
  EXPECT_FALSE(log.Has("Dados do banco carregados!"));
  proxy.Restore();

  ASSERT_TRUE(WaitUntil([&] {
    return log.Has("Dados do banco carregados!") &&
           Int("select count(*) from HISTORICOS_H") == 40;
  }, 60s));
  const auto lines = log.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Carregando dados do banco...");
  EXPECT_EQ(lines[2], "Conexão com o banco de dados estabelecida!");
  EXPECT_EQ(Int("select count(*) from ALARMES where TEXTO = 'Serviço de comunicação INICIADO.'"),
            1);
}


// Configuration rows the schema allows but no one meant: NULL descriptions,
// a segment without days, a CONFIGS blob of several MiB, a non-Latin-1 text
// that a package stores, a segment whose days the service cannot read (its
// column widened), and (with the keys dropped, as an owner's schema may lack
// them) a driver on a missing interface and two equipment with one
// EQUIP_ID. The service loads what it can, reports the rest and collects;
// the channel of the variable that failed is not read (tagged PERIODO 0 it
// would be billed wrong): its records wait in the meter.
TEST_F(FaultTest, BadConfigurationRowsAreReportedAndTheRestRuns) {
  db.Exec("alter table DRIVERS drop constraint FK_DRIVERS_1");
  db.Exec("alter table CANAIS drop constraint FK_CANAIS_1");
  db.Exec("alter table EQUIPAMENTOS drop constraint PK_EQUIPAMENTOS");
  Install("");
  // 4 MiB of comment lines, the meters' settings at the end.
  std::string configs;
  const std::string pad = "# " + std::string(1021, 'x') + "\n";
  while (configs.size() < 4u << 20) configs += pad;
  configs += "interval_min=15\nbacklog_records=4\nalarm_interval_min=0\n"
             "equip.13.add_alarm=2016-03-16 11:00|10|Fase ✓ 東京 ção\n";
  {
    FbConnection conn(db.SysdbaParams());
    FbTransaction tr(conn, {});
    tr.StartTransaction();
    FbQuery q(conn, tr, "update INTERFACES set CONFIGS = :C where INTERFACE_ID = 1");
    q.ParamByName("C").SetString(configs);
    q.ExecQuery();
    tr.Commit();
  }
  db.Exec("insert into VARIAVEIS (VAR_ID, TIPO, UNIDADE, DESCRICAO) values (2, 'R', NULL, NULL)");
  inst::AddPeriodo(db, 20, 2);
  inst::AddSegmento(db, 1, 20, "00:00", "12:00", kNull);  // no days
  inst::AddEquipamento(db, 13, 3, kNull, kNull, nullptr);
  db.Exec("insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, TIPOVAR, DESCRICAO) "
          "values (130, 13, 0, 2, 'R', NULL)");
  db.Exec("alter table PERIODOS_SEGMENTOS alter DIAS type bigint");
  inst::AddVariavel(db, 3, "E", "Dias ilegíveis");
  inst::AddPeriodo(db, 30, 3);
  inst::AddSegmento(db, 2, 30, "00:00", "00:00", 1LL << 32);
  db.Exec("insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, TIPOVAR, DESCRICAO) "
          "values (131, 13, 1, 3, 'E', 'Em espera')");
  inst::AddDriver(db, 4, 99, "libSimMeter.so");  // no interface 99
  inst::AddEquipamento(db, 14, 4, kNull, kNull, "Sem interface");
  inst::AddEquipamento(db, 12, 3, kNull, kNull, "Medidor repetido");  // a second 12

  Start();
  ASSERT_TRUE(WaitUntil([&] {
    return log.Has("Dados do banco carregados!") &&
           Int("select count(*) from HISTORICOS_H where CANAL_ID = 130") == 4;
  }, 60s));
  // The missing interface is reported and its equipment skipped; NULL
  // descriptions load as empty texts.
  EXPECT_EQ(log.Count("\tErro: interface não existe!"), 1);
  EXPECT_EQ(log.Count("Criando equipamento [14]: Sem interface (0/0) "), 1);
  EXPECT_EQ(log.Count("\tDriver não existe!"), 1);
  EXPECT_EQ(log.Count("Criando variavel: "), 1);
  EXPECT_EQ(log.Count("Criando equipamento [13]:  (0/0) "), 1);
  EXPECT_EQ(log.Count("\t\tCanal:  last=01/01/2000 00:00"), 1);
  EXPECT_EQ(log.Count("\tEquipamento OK!"), 2);
  const std::string why = "cannot convert column DIAS to a 32-bit integer";
  EXPECT_EQ(log.Count("\tErro:" + why), 1);
  EXPECT_EQ(log.Count("\t\tCanal [131] não será lido: variável [3] não carregada (" + why +
                      "); os registros aguardam no medidor"),
            1);
  // The second row with EQUIP_ID 12 is reported and skipped.
  EXPECT_EQ(log.Count("\tExceção: Equipamento [12] repetido: já carregado"), 1);
  // The blob reached the package whole: its last lines took effect.
  EXPECT_TRUE(WaitUntil([&] {
    return Int("select count(*) from ALARMES where EQUIP_ID = 13 and CLASSE = 10") == 1;
  }, 30s));
  // Not Latin-1: stored with '?' for each character outside it.
  EXPECT_EQ(db.QueryString("select TEXTO from ALARMES where EQUIP_ID = 13 and CLASSE = 10"), "Fase ? ?? ção");
  // Every channel of the installation is collected.
  EXPECT_TRUE(WaitUntil([&] {
    return Int("select count(distinct CANAL_ID) from HISTORICOS_H") == 3 &&
           Int("select count(*) from STATUS_EQUIPS where STATUS = 1") == 2;
  }, 30s));
  // No record is stored twice by two objects for one equipment.
  EXPECT_EQ(Int("select count(*) from (select CANAL_ID, DATA from HISTORICOS_H "
                "group by CANAL_ID, DATA having count(*) > 1)"),
            0);
  // The waiting channel: visits of its equipment went by, nothing read.
  EXPECT_EQ(Int("select count(*) from HISTORICOS_H where CANAL_ID = 131"), 0);
  std::string summary;
  thread->Health(std::chrono::steady_clock::now(), summary);
  EXPECT_NE(summary.find("; 1 canais aguardando variável não carregada"), std::string::npos)
      << summary;
}

// Bad data from a package: NaN and absurd dates, an alarm text of 100 000
// characters, more live-value names than values. A record dated
// in the year 1 is a date (a meter whose clock was set far back): it is
// stored, and the meter goes on after it.
TEST_F(FaultTest, BadRecordsFromThePackageAreReportedAndTheNextIsRead) {
  ASSERT_EQ(0, controlAll("bad_history=nan_date\nbad_history=year1\nbad_history=year9999\n"
                          "bad_alarm=nan_date\nbad_alarm=year1\n"
                          "bad_alarm=year9999\nbad_alarm=long_text\nbad_online=1\n"));
  Install("interval_min=15\nbacklog_records=10\nalarm_interval_min=60\n");
  db.Exec("insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE) values (12, "
          "dateadd(1 hour to current_timestamp))");
  Start();
  // Every real record is stored once, whatever came between them.
  ASSERT_TRUE(WaitUntil([&] {
    return Int("select count(*) from HISTORICOS_H") == 21 &&
           log.Has("Telvane: relogio atualizado [12]!");
  }, 60s));
  const int64_t year1 = dt::ToMSecs(dt::EncodeDateTime(1, 1, 1, 12, 0));
  for (int index : {0, 1}) {
    std::vector<int64_t> stored = StoredDates(100 + index);
    if (!stored.empty() && stored.front() == year1) stored.erase(stored.begin());
    EXPECT_EQ(stored, MeterDates(index));
  }
  EXPECT_EQ(Int("select count(*) from HISTORICOS_H where DATA = '0001-01-01 12:00'"), 1);
  // A NaN date is an invalid record; year 9999 is a future record (the
  // meter's clock is then set).
  EXPECT_EQ(log.Count("CommThread [12]: record invalido"), 2);
  EXPECT_EQ(log.Count("CommThread: inserção de dados futuros [12]: CanalID=100, "
                      "Data=31/12/9999 12:00") +
                log.Count("CommThread: inserção de dados futuros [12]: CanalID=101, "
                          "Data=31/12/9999 12:00"),
            1);
  EXPECT_EQ(log.Count("CommThread: inserção de alarmes futuros [12] Data=31/12/9999 12:00"), 1);
  // The alarm of 100 000 characters is stored cut to its column.
  EXPECT_TRUE(log.StartingWith("AlarmLog: exceção ao inserir alarme [12]: ").empty());
  EXPECT_EQ(Int(kEquipAlarms), MeterStoredAlarms());
  EXPECT_EQ(Int("select count(*) from ALARMES where EQUIP_ID = 12 and char_length(TEXTO) = 255 "
                "and TEXTO starting with 'Alarme longo: '"),
            1);
  EXPECT_EQ(Int("select count(*) from ALARMES where EQUIP_ID = 12 and CLASSE = 99 and "
                "DATA = '0001-01-01 12:00'"),
            1);
  // Five names and two values: the online thread's failure line, and the
  // next request is served.
  EXPECT_EQ(log.Count("OnlineThread: exceção ao ler do equipamento [12]: "
                      "List index out of bounds (2)"),
            1);
  EXPECT_TRUE(WaitUntil([&] {
    return Int("select count(*) from ONLINE_VALUES where EQUIP_ID = 12") == 4;
  }, 30s));
  EXPECT_TRUE(log.StartingWith("CommThread: exceção").empty());
}

// A meter whose values are no numbers (NaN), beside one that is fine: its
// records are invalid, never stored, and it is asked for each of them once
// (the from-date moves past them). A restart of the acquisition stores none
// of them and nothing twice.
TEST_F(FaultTest, RecordsWhoseValuesAreNoNumbersAreNeverStoredAcrossARestart) {
  Install("interval_min=15\nbacklog_records=10\nalarm_interval_min=0\nequip.13.nan_value=-1\n");
  inst::AddEquipamento(db, 13, 3, kNull, kNull, "Medidor com defeito");
  inst::AddCanal(db, 130, 13, 0, 1, kNull, "Energia ativa");
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    Start();
    ASSERT_TRUE(WaitUntil([&] {
      return log.Count("CommThread [13]: fim dos records invalidos (10)") == run &&
             Int("select count(*) from STATUS_EQUIPS where STATUS = 1") == 2 &&
             Int("select count(*) from HISTORICOS_H") == 20;
    }, 60s));
    std::this_thread::sleep_for(300ms);  // passes that find nothing new
    EXPECT_EQ(StoredDates(100), MeterDates(0));
    EXPECT_EQ(StoredDates(101), MeterDates(1));
    thread.reset();  // the stop sequence
    cwd_.reset();
  }
  EXPECT_EQ(Int("select count(*) from HISTORICOS_H where CANAL_ID = 130"), 0);
  EXPECT_EQ(log.Count("CommThread [13]: record invalido"), 2);  // one run each start
}

// A meter that fails the same way at every pass: its clock 6 h ahead and its
// setting refused (its newest records and alarms dated in the future), then
// its history read throwing. However many passes run, each complaint has
// its one line; once its cause is gone, one more line counts them.
TEST_F(FaultTest, AComplaintThatRepeatsAtEveryPassIsWrittenOnceAndCountedAtItsEnd) {
  Install("interval_min=15\nbacklog_records=20\nalarm_interval_min=20\nclock_offset_hours=6\n"
          "refuse_clock=-1\n");
  const auto stat = Fn<SimMeter_StatProc>("SimMeter_Stat");
  const auto control = Fn<SimMeter_ControlProc>("SimMeter_Control");
  Start();
  ASSERT_TRUE(WaitUntil([&] { return stat(12, "clock_refused") >= 40; }, 60s));
  ASSERT_EQ(0, control(12, "throw_history=-1"));
  ASSERT_TRUE(WaitUntil([&] { return stat(12, "history_thrown") >= 40; }, 60s));
  ASSERT_EQ(0, control(12, "throw_history=0\nrefuse_clock=0"));
  ASSERT_TRUE(WaitUntil([&] {
    return Lines("CommThread [12]: fim dos dados futuros (") == 1 &&
           Lines("CommThread: equipamento [12] voltou a responder (") == 1;
  }, 60s));
  std::this_thread::sleep_for(300ms);

  // Dozens of passes: one line for each complaint...
  EXPECT_EQ(log.Count("Telvane: erro atualizando relogio [12]!"), 1);
  EXPECT_EQ(Lines("CommThread: inserção de dados futuros [12]: "), 1u);
  EXPECT_EQ(Lines("CommThread: inserção de alarmes futuros [12] "), 1u);
  EXPECT_EQ(Lines("CommThread: exceção ao ler histórico do equipamento [12]: "), 1u);
  EXPECT_EQ(Lines("CommThread: equipamento [12] em falha: "), 1u);
  EXPECT_LT(log.Lines().size(), 60u);
  // ...and one at its end, with the count.
  const std::string refused = std::to_string(stat(12, "clock_refused"));
  const std::string thrown = std::to_string(stat(12, "history_thrown"));
  // Every record delivered but not stored was a future one.
  const std::string future =
      std::to_string(stat(12, "history_ok") - Int("select count(*) from HISTORICOS_H"));
  EXPECT_EQ(log.Count("Telvane: relogio atualizado [12]! (" + refused + " recusas)"), 1);
  EXPECT_EQ(log.Count("CommThread [12]: fim das exceções ao ler histórico (" + thrown + ")"), 1);
  EXPECT_EQ(log.Count("CommThread: equipamento [12] voltou a responder (" + thrown +
                      " visitas em falha)"),
            1);
  EXPECT_EQ(log.Count("CommThread [12]: fim dos dados futuros (" + future + ")"), 1);
  EXPECT_EQ(Lines("CommThread [12]: fim dos alarmes futuros ("), 1u);
}

// The service's own events that the database refuses (the INSERT grant on
// ALARMES revoked) are still held when the stop ends: they are kept in the
// file beside the log, and the next start inserts them first, once, and
// empties the file.
TEST_F(FaultTest, ServiceEventsTheDatabaseRefusesAtTheStopAreInsertedAtTheNextStart) {
  Install("interval_min=15\nbacklog_records=4\nalarm_interval_min=0\n");
  db.Exec("revoke insert on ALARMES from user TELVUSR");
  Start();
  ASSERT_TRUE(WaitUntil([&] { return Int("select count(*) from HISTORICOS_H") == 8; }, 60s));
  thread.reset();
  cwd_.reset();
  EXPECT_EQ(Int("select count(*) from ALARMES"), 0);
  const std::string held = work.File("Telvane.eventos");
  int kept = 0;
  std::ifstream in(held);
  for (std::string line; std::getline(in, line);) ++kept;
  EXPECT_EQ(kept, 2);  // the start and the stop

  db.Exec("grant insert on ALARMES to user TELVUSR");
  Start();
  const std::string events = "select TEXTO from ALARMES where EQUIP_ID is null order by DATA";
  ASSERT_TRUE(WaitUntil([&] { return Int("select count(*) from (" + events + ")") == 3; }, 60s));
  std::vector<std::string> texts;
  for (int i = 1; i <= 3; ++i)
    texts.push_back(db.QueryString(events + " rows " + std::to_string(i) + " to " +
                                   std::to_string(i)));
  EXPECT_EQ(texts, (std::vector<std::string>{"Serviço de comunicação INICIADO.",
                                             "Serviço de comunicação PARADO.",
                                             "Serviço de comunicação INICIADO."}));
  EXPECT_EQ(std::filesystem::file_size(held), 0u);
}

// The server killed while a backlog that holds a holiday is being drained:
// every record gets the tariff period of its own day, the holiday's too (the
// holidays read before the loss stay in force, and the next pass reads them
// once the connection is back).
TEST_F(FaultTest, ServerKilledWhileDrainingKeepsTheHolidaysInForce) {
  // Three days of 1-minute records: Sunday 13/03/2016 12:08 to Wednesday
  // 16/03 12:07. Tuesday 15/03 is a holiday (its row's year is ignored).
  Install("interval_min=1\nbacklog_records=4320\nalarm_interval_min=0\n");
  db.Exec("insert into FERIADOS (DATA, DESCRICAO) values ('2011-03-15', 'Feriado')");
  inst::AddPeriodo(db, 10, 1);
  inst::AddSegmento(db, 1, 10, "00:00", "00:00", 124);  // Monday to Friday
  inst::AddPeriodo(db, 20, 1);
  inst::AddSegmento(db, 2, 20, "00:00", "00:00", 1);  // holidays
  inst::AddPeriodo(db, 30, 1);
  inst::AddSegmento(db, 3, 30, "00:00", "00:00", 130);  // Saturday and Sunday
  Start();
  ASSERT_TRUE(WaitUntil([&] { return Int("select count(*) from HISTORICOS_H") > 300; }, 60s));
  ASSERT_NO_FATAL_FAILURE(ServerOutage(8s));
  ASSERT_TRUE(WaitUntil([&] { return Int("select count(*) from HISTORICOS_H") >= 8640; }, 180s));

  for (int index : {0, 1}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(StoredDates(100 + index), MeterDates(index));
    FbConnection conn(db.Params());
    FbTransaction tr(conn, {});
    tr.StartTransaction();
    FbQuery q(conn, tr, "select DATA, PERIODO from HISTORICOS_H where CANAL_ID = " +
                            std::to_string(100 + index));
    int rows = 0, wrong = 0, holiday = 0;
    for (q.ExecQuery(); !q.Eof(); q.Next()) {
      const TDateTime date = q.FieldByName("DATA").AsDateTime();
      dt::DateTimeParts parts;
      ASSERT_TRUE(dt::Decode(date, parts));
      const int weekday = dt::DayOfWeek(date);  // 1 = Sunday
      const bool isHoliday = parts.month == 3 && parts.day == 15;
      const int expected = isHoliday ? 20 : (weekday == 1 || weekday == 7) ? 30 : 10;
      ++rows;
      holiday += isHoliday ? 1 : 0;
      if (q.FieldByName("PERIODO").AsInteger() != expected) ++wrong;
    }
    q.Close();
    tr.Commit();
    EXPECT_EQ(rows, 4320);
    EXPECT_EQ(holiday, 1440);
    EXPECT_EQ(wrong, 0);
  }
}

// The connection cut while the installation is being loaded, after the
// third of five equipment: what was loaded is thrown away (the rows read
// after the cut would have been skipped as failed) and the installation is
// loaded again from the start once the connection is back. Every equipment
// ends up loaded once and collected.
TEST_F(FaultTest, ConnectionLostDuringTheLoadLoadsAgainAndCollectsEveryEquipment) {
  inst::AddInterface(db, 1, "Serial simulada", "libSimInterface.so",
                     "interval_min=15\nbacklog_records=10\nalarm_interval_min=0\n");
  inst::AddVariavel(db, 1, "E", "Energia ativa");
  inst::AddDriver(db, 3, 1, "libSimMeter.so");
  for (int id = 12; id <= 16; ++id) {
    inst::AddEquipamento(db, id, 3, kNull, kNull, "Medidor " + std::to_string(id));
    inst::AddCanal(db, id * 10, id, 0, 1, kNull, "Energia");
  }
  std::atomic<bool> cut{false};
  log.OnLine([&](const std::string& line) {
    if (line.rfind("Criando equipamento [14]", 0) == 0 && !cut.exchange(true)) proxy.Cut();
  });
  Start();
  ASSERT_TRUE(WaitUntil([&] {
    return log.Has("Conexão com o banco de dados perdida durante a carga: a instalação será "
                   "carregada de novo.");
  }, 30s));
  std::this_thread::sleep_for(3s);
  EXPECT_FALSE(log.Has("Dados do banco carregados!"));
  proxy.Restore();

  ASSERT_TRUE(WaitUntil([&] {
    return log.Has("Dados do banco carregados!") &&
           Int("select count(*) from HISTORICOS_H") == 50 &&
           Int("select count(*) from STATUS_EQUIPS where STATUS = 1") == 5;
  }, 90s));
  // The second load went through every equipment, once.
  EXPECT_EQ(log.Count("Criando equipamento [12]: Medidor 12 (0/0) "), 2);
  EXPECT_EQ(log.Count("Criando equipamento [16]: Medidor 16 (0/0) "), 1);
  EXPECT_EQ(log.Count("\tEquipamento OK!"), 5 + 2);
  EXPECT_EQ(log.Count("Dados do banco carregados!"), 1);
  EXPECT_EQ(Int("select count(*) from ALARMES where TEXTO = 'Serviço de comunicação INICIADO.'"),
            1);
  EXPECT_EQ(Int("select count(*) from (select CANAL_ID, DATA from HISTORICOS_H "
                "group by CANAL_ID, DATA having count(*) > 1)"),
            0);
}

// A worker that stops making progress (the acquisition held in a database
// call by a frozen server) makes the service unhealthy once it has stood
// still for the bound, naming it, and healthy again once it moves: the
// watchdog of the service manager sees the first, the summary both.
TEST_F(FaultTest, AWorkerThatStandsStillMakesTheServiceUnhealthyUntilItMovesAgain) {
  Install("interval_min=1\nbacklog_records=3000\nalarm_interval_min=0\n");
  Start();
  ASSERT_TRUE(WaitUntil([&] { return Int("select count(*) from HISTORICOS_H") > 50; }, 60s));
  const auto t0 = std::chrono::steady_clock::now();
  const auto stall = KxLoadThread::kStallBound + 1s;
  std::string summary;
  EXPECT_TRUE(thread->Health(t0, summary)) << summary;
  EXPECT_EQ(0u, summary.find("1 equipamentos, 0 em falha; ")) << summary;
  EXPECT_NE(std::string::npos, summary.find(" registros gravados desde o início")) << summary;

  server.Freeze();
  std::this_thread::sleep_for(1s);  // every database call waits by then
  thread->Health(t0 + 1s, summary);
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(thread->Health(t0 + 1s + stall, summary));
  EXPECT_EQ(0u, summary.find("Sem progresso: CommThread")) << summary;
  server.Thaw();
  EXPECT_TRUE(WaitUntil([&] { return thread->Health(t0 + 2s + stall, summary); }, 30s)) << summary;
}

// A driver whose history read stops returning (a read without a timeout)
// holds its equipment only: once the bound has passed it is failed, with
// one line, its loss alarm and its status, and the next meter is collected
// in the same pass and after; when the call returns, it is visited again and
// answers.
TEST_F(FaultTest, AHungPackageCallFailsItsEquipmentAndTheOthersAreStillCollected) {
  Install("interval_min=1\nbacklog_records=5\nalarm_interval_min=0\n");
  inst::AddDriver(db, 5, 1, "libDrvHangHistory.so");
  inst::AddEquipamento(db, 13, 5, kNull, kNull, "Medidor travado");
  inst::AddCanal(db, 130, 13, 0, 1, kNull, "Energia ativa");
  inst::AddEquipamento(db, 14, 3, kNull, kNull, "Medidor Bloco C");
  inst::AddCanal(db, 140, 14, 0, 1, kNull, "Energia ativa");
  Start();
  auto status = [&](int equip) {
    return Int("select STATUS from STATUS_EQUIPS where EQUIP_ID = " + std::to_string(equip));
  };
  // 13 answers once, then hangs at its next visit.
  ASSERT_TRUE(WaitUntil([&] { return status(13) == 1 && status(14) == 1; }, 60s));
  void* pkg = dlopen("./Drivers/libDrvHangHistory.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(pkg, nullptr);
  auto hanging = reinterpret_cast<BrokenDriver_HangingProc>(dlsym(pkg, "BrokenDriver_Hanging"));
  auto release = reinterpret_cast<BrokenDriver_ReleaseProc>(dlsym(pkg, "BrokenDriver_Release"));
  ASSERT_TRUE(WaitUntil([&] { return hanging() == 1; }, 60s));
  const int64_t before = Int("select count(*) from HISTORICOS_H where CANAL_ID = 140");
  ASSERT_EQ(0, Fn<SimMeter_ControlProc>("SimMeter_Control")(
                   14, ("now=" + std::to_string(kMeterNow + 10.0 / 1440)).c_str()));

  ASSERT_TRUE(WaitUntil([&] { return status(13) == 3; }, 60s));
  EXPECT_EQ(1, Int("select count(*) from ALARMES where EQUIP_ID = 13 and CLASSE = 2"));
  EXPECT_EQ(1u, Lines("CommThread: equipamento [13] sem resposta de ReadHistorico em 120 s"));
  EXPECT_TRUE(WaitUntil(
      [&] { return Int("select count(*) from HISTORICOS_H where CANAL_ID = 140") >= before + 10; },
      60s));
  EXPECT_EQ(1, hanging());  // never called again while inside

  release();
  EXPECT_TRUE(WaitUntil([&] { return status(13) == 1; }, 60s));
  EXPECT_EQ(2, Int("select count(*) from ALARMES where EQUIP_ID = 13 and CLASSE = 3"));
  EXPECT_EQ(1u, Lines("CommThread: equipamento [13] voltou a responder"));
  dlclose(pkg);
}

}  // namespace
