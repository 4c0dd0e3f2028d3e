// Faults met for real by the whole service (load thread, workers, the real
// packages): the database connection lost while a meter's backlog of history
// and alarms is being drained, and the database unreachable when the service
// starts. The loss is made by a relay between the service and the server
// (TcpProxy): cutting it closes every connection (the next call fails with
// isc_net_read_err, as when the server process dies) and refuses new ones
// until it is restored, as a stopped server does.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
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
  int64_t Int(const std::string& sql) { return db.QueryInt(sql); }
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

  TestDatabase db;
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
  // 3000 records per channel and 1500 alarms (1000 of them stored).
  Install("interval_min=1\nbacklog_records=3000\nalarm_interval_min=2\n");
  Start();

  // Lost while the history is being drained...
  ASSERT_TRUE(WaitUntil([&] { return Int("select count(*) from HISTORICOS_H") > 300; }, 60s));
  Outage(8s);
  // ...and again while the alarms are.
  ASSERT_TRUE(WaitUntil([&] { return Int(kEquipAlarms) > 100; }, 120s));
  Outage(8s);

  const int64_t alarms = MeterStoredAlarms();
  ASSERT_TRUE(WaitUntil([&] {
    return Int(kEquipAlarms) >= alarms && Int("select count(*) from HISTORICOS_H") >= 6000;
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

}  // namespace
