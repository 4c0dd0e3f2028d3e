// The whole service at work: the configuration load thread with the real
// packages (SimInterface, SimMeter) on a fresh database, and the telvane
// program itself.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "database/FbQuery.h"
#include "database/FbTransaction.h"
#include "packages/sim/SimMeterControl.h"
#include "platform/DateTime.h"
#include "platform/Text.h"
#include "service/KxLoadThread.h"
#include "support/FakeClock.h"
#include "support/FirebirdServer.h"
#include "support/InstallationKit.h"
#include "support/ProcUtil.h"
#include "support/TestDatabase.h"
#include "support/ThreadTestKit.h"

namespace {

using inst::kNull;
using kit::WaitUntil;

const TDateTime kMeterNow = dt::EncodeDateTime(2016, 3, 16, 12, 7, 0);  // a Wednesday

// The test functions of a package, from the copy the service loads.
class Package {
 public:
  explicit Package(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW)) {
    if (!handle_) throw std::runtime_error(dlerror());
  }
  ~Package() {
    if (handle_) dlclose(handle_);
  }
  template <typename F>
  F Fn(const char* name) {
    auto f = reinterpret_cast<F>(dlsym(handle_, name));
    if (!f) throw std::runtime_error(std::string("no ") + name);
    return f;
  }

 private:
  void* handle_;
};

// Period 11: 08:00 to 10:00 on working days; period 12: the rest of working
// days, and whole weekends and holidays.
void AddCalendar(TestDatabase& db) {
  inst::AddVariavel(db, 1, "E", "Energia ativa");
  inst::AddPeriodo(db, 11, 1);
  inst::AddSegmento(db, 111, 11, "08:00:00", "10:00:00", 124);
  inst::AddPeriodo(db, 12, 1);
  inst::AddSegmento(db, 121, 12, "10:00:00", "08:00:00", 124);
  inst::AddSegmento(db, 122, 12, "00:00:00", "00:00:00", 131);
}
// The same rule, for a working day that is no holiday.
int32_t ExpectedPeriodo(TDateTime stored) {
  dt::DateTimeParts p;
  dt::Decode(stored, p);
  const int minutes = p.hour * 60 + p.minute;
  return minutes > 8 * 60 && minutes <= 10 * 60 ? 11 : 12;
}

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The name the service loads it by: a package that cannot be unloaded
    // (an earlier test's copy) is found again by that name.
    inst::ScopedChdir cd(work.Path());
    meter = std::make_unique<Package>("./Drivers/libSimMeter.so");
    controlAll = meter->Fn<SimMeter_ControlAllProc>("SimMeter_ControlAll");
    control = meter->Fn<SimMeter_ControlProc>("SimMeter_Control");
    getRecords = meter->Fn<SimMeter_GetRecordsProc>("SimMeter_GetRecords");
    getAlarms = meter->Fn<SimMeter_GetAlarmsProc>("SimMeter_GetAlarms");
    stat = meter->Fn<SimMeter_StatProc>("SimMeter_Stat");
    meterClock = meter->Fn<SimMeter_ClockProc>("SimMeter_Clock");
    meterNow = meter->Fn<SimMeter_NowProc>("SimMeter_Now");
    meter->Fn<SimMeter_ResetProc>("SimMeter_Reset")();
    ASSERT_EQ(0, controlAll(("now=" + std::to_string(kMeterNow)).c_str()));
    clock.SetRealDivisor(20);
  }
  void TearDown() override {
    Stop();
    if (HasFailure())
      for (const auto& l : log.Lines()) std::cerr << "  log: " << l << "\n";
    meter->Fn<SimMeter_ResetProc>("SimMeter_Reset")();
  }

  void Start() {
    inst::ScopedChdir cd(work.Path());
    thread = std::make_unique<KxLoadThread>(&log, db.Params(), clock);
    thread->WaitFor();
  }
  void Stop() {
    if (!thread) return;
    thread->Terminate();
    thread->WaitFor();
    thread.reset();
  }
  std::string Status(int equip) {
    auto v = db.QueryValue("select STATUS || ' ' || TEXTO from STATUS_EQUIPS where EQUIP_ID = " +
                           std::to_string(equip));
    return v ? *v : "(none)";
  }
  int64_t Int(const std::string& sql) { return db.QueryInt(sql); }

  TestDatabase db;
  inst::WorkDir work;
  kit::CaptureLog log{work.File("Telvane.log")};
  FakeClock clock{kMeterNow};
  std::unique_ptr<Package> meter;
  SimMeter_ControlAllProc controlAll = nullptr;
  SimMeter_ControlProc control = nullptr;
  SimMeter_GetRecordsProc getRecords = nullptr;
  SimMeter_GetAlarmsProc getAlarms = nullptr;
  SimMeter_StatProc stat = nullptr;
  SimMeter_ClockProc meterClock = nullptr;
  SimMeter_NowProc meterNow = nullptr;
  std::unique_ptr<KxLoadThread> thread;
};

TEST_F(EndToEndTest, TheServiceCollectsHistoryAlarmsStatusAndLiveValuesAndStopsInOrder) {
  inst::AddInterface(db, 1, "Serial simulada", "libSimInterface.so",
                     "interval_min=15\nrecord_second=42\nalarm_interval_min=0\n"
                     "backlog_records=20\nequip.12.alarm_interval_min=60\n");
  inst::AddInterface(db, 2, "Serial desligada", "libSimInterface.so", "offline=1\n");
  inst::AddDriver(db, 3, 1, "libSimMeter.so");
  inst::AddDriver(db, 4, 2, "libSimMeter.so");
  AddCalendar(db);
  inst::AddEquipamento(db, 12, 3, kNull, kNull, "Medidor Bloco A");
  inst::AddCanal(db, 100, 12, 0, 1, kNull, "Energia ativa");
  inst::AddCanal(db, 101, 12, 1, 1, kNull, "Energia reativa");
  inst::AddEquipamento(db, 13, 3, kNull, 6, "Medidor adiantado");  // clock 6 h ahead
  inst::AddCanal(db, 110, 13, 0, 1, kNull, "Energia ativa");
  inst::AddEquipamento(db, 14, 4, kNull, kNull, "Medidor sem rede");
  inst::AddCanal(db, 120, 14, 0, 1, kNull, "Energia ativa");
  db.Exec("insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE) values (12, "
          "dateadd(1 hour to current_timestamp))");

  Start();
  ASSERT_TRUE(WaitUntil([&] {
    return Status(12) == "1 Comunicação normal" && Status(14) == "3 Falha de comunicação" &&
           log.Count("Telvane: relogio atualizado [13]!") == 1 &&
           Int("select count(*) from ONLINE_VALUES where EQUIP_ID = 12") == 4;
  }, std::chrono::seconds(60)));

  // History of equipment 12: every record of the meter, seconds set to 0,
  // tagged with its tariff period.
  for (int index : {0, 1}) {
    SCOPED_TRACE(index);
    double dates[64];
    float values[64];
    const int n = getRecords(12, index, 0, 64, dates, values);
    ASSERT_EQ(20, n);
    FbConnection conn(db.Params());
    FbTransaction tr(conn, {});
    tr.StartTransaction();
    FbQuery q(conn, tr,
              "select DATA, VALOR, PERIODO from HISTORICOS_H where CANAL_ID = " +
                  std::to_string(100 + index) + " order by DATA");
    q.ExecQuery();
    int i = 0;
    for (; !q.Eof(); q.Next(), ++i) {
      ASSERT_LT(i, n);
      const TDateTime stored = dt::ZeroSeconds(dates[i]);
      EXPECT_EQ(dt::ToMSecs(stored), dt::ToMSecs(q.FieldByName("DATA").AsDateTime()));
      EXPECT_EQ(values[i], static_cast<float>(q.FieldByName("VALOR").AsDouble()));
      EXPECT_EQ(ExpectedPeriodo(stored), q.FieldByName("PERIODO").AsInteger());
    }
    EXPECT_EQ(n, i);
    q.Close();
    tr.Commit();
  }
  // Both periods occur among them (07:15 to 12:00).
  EXPECT_GT(Int("select count(*) from HISTORICOS_H where PERIODO = 11"), 0);

  // Alarms of equipment 12 with their seconds; notes and empty texts only logged.
  double alarmDates[64];
  int32_t classes[64];
  const int alarms = getAlarms(12, 0, 64, alarmDates, classes);
  ASSERT_GT(alarms, 3);
  std::vector<std::pair<int64_t, int32_t>> expectedAlarms;
  for (int i = 0; i < alarms; ++i)
    if (classes[i] != 0 && classes[i] != 14)  // the note and the empty text are not stored
      expectedAlarms.push_back({dt::ToMSecs(alarmDates[i]), classes[i]});
  std::vector<std::pair<int64_t, int32_t>> storedAlarms;
  {
    FbConnection conn(db.Params());
    FbTransaction tr(conn, {});
    tr.StartTransaction();
    FbQuery q(conn, tr,
              "select DATA, CLASSE from ALARMES where EQUIP_ID = 12 and CLASSE <> 3 order by DATA");
    for (q.ExecQuery(); !q.Eof(); q.Next())
      storedAlarms.push_back({dt::ToMSecs(q.FieldByName("DATA").AsDateTime()),
                              q.FieldByName("CLASSE").AsInteger()});
    q.Close();
    tr.Commit();
  }
  EXPECT_EQ(expectedAlarms, storedAlarms);
  int notes = 0, empties = 0;
  for (int i = 0; i < alarms; ++i) {
    notes += classes[i] == 0 ? 1 : 0;
    empties += classes[i] == 14 ? 1 : 0;
  }
  EXPECT_EQ(static_cast<size_t>(notes), log.StartingWith("Equip [12] alarm: ").size());
  EXPECT_EQ(empties, log.Count("Alarme vazio: "));

  // Equipment 13 ran 6 h ahead: its records 5 h or more ahead were refused
  // and its clock was set at the next visit.
  EXPECT_FALSE(log.StartingWith("CommThread: inserção de dados futuros [13]: CanalID=110, Data=")
                   .empty());
  EXPECT_EQ(1, stat(13, "clock_ok"));
  EXPECT_EQ(meterNow(), meterClock(13));
  EXPECT_EQ(0, Int("select count(*) from HISTORICOS_H where CANAL_ID = 110 and "
                   "DATA >= '2016-03-16 17:07:00'"));

  // Communication events: back for 12 and 13, none for 14 (never communicated).
  EXPECT_EQ(1, Int("select count(*) from ALARMES where EQUIP_ID = 12 and CLASSE = 3 and "
                   "TEXTO = 'Comunicação normal.'"));
  EXPECT_EQ(1, Int("select count(*) from ALARMES where EQUIP_ID = 13 and CLASSE = 3"));
  EXPECT_EQ(0, Int("select count(*) from ALARMES where EQUIP_ID = 14"));
  EXPECT_EQ(0, Int("select count(*) from HISTORICOS_H where CANAL_ID = 120"));

  // Live values of equipment 12.
  for (const char* var : {"Tensao", "Corrente", "Potencia", "Relogio"})
    EXPECT_EQ(1, Int(std::string("select count(*) from ONLINE_VALUES where EQUIP_ID = 12 and "
                                 "VAR = '") + var + "'"));

  Stop();
  for (const char* line :
       {"OnlineThread: finalizada!", "Thread comunicação finalizada!", "RTCThread: Finalizada!"})
    EXPECT_EQ(1, log.Count(line)) << line;
  EXPECT_EQ(0, Int("select count(*) from STATUS_EQUIPS where STATUS <> 0"));
  EXPECT_EQ(1, Int("select count(*) from ALARMES where EQUIP_ID is null and CLASSE = 1000 and "
                   "TEXTO = 'Serviço de comunicação PARADO.'"));
}

TEST_F(EndToEndTest, StoppingWhileAnEquipmentIsBeingReadEndsEveryWorkerAndResetsItsStatus) {
  inst::AddInterface(db, 1, "Serial simulada", "libSimInterface.so",
                     "interval_min=1\nbacklog_records=100000\nslow_ms=2\nalarm_interval_min=0\n");
  inst::AddDriver(db, 3, 1, "libSimMeter.so");
  AddCalendar(db);
  inst::AddEquipamento(db, 12, 3, kNull, kNull, "Medidor lento");
  inst::AddCanal(db, 100, 12, 0, 1, kNull, "Energia ativa");
  db.Exec("insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE) values (12, "
          "dateadd(1 hour to current_timestamp))");

  Start();
  // Reading its backlog, and served by the online thread meanwhile.
  ASSERT_TRUE(WaitUntil([&] {
    return Int("select count(*) from HISTORICOS_H") >= 20 &&
           Int("select count(*) from ONLINE_VALUES where EQUIP_ID = 12") == 4;
  }, std::chrono::seconds(60)));
  EXPECT_EQ("Lendo Medidor lento - Energia ativa",
            db.QueryString("select MENSAGEM from STATUS_COMM where ID = 1"));
  Stop();

  // All three were asked at once: each ends, in whatever order.
  for (const char* line :
       {"OnlineThread: finalizada!", "Thread comunicação finalizada!", "RTCThread: Finalizada!"})
    EXPECT_EQ(1, log.Count(line)) << line;
  EXPECT_EQ("0 ", Status(12));
  // A stop is no loss of communication.
  EXPECT_EQ(0, Int("select count(*) from ALARMES where CLASSE = 2"));
  EXPECT_EQ(1, Int("select count(*) from ALARMES where EQUIP_ID is null and CLASSE = 1000 and "
                   "TEXTO = 'Serviço de comunicação PARADO.'"));
  EXPECT_LT(Int("select count(*) from HISTORICOS_H"), 100000);
}

// ---------------------------------------------------------------------------
// The program itself, from a folder of its own, on RATEIO_DB pointed at a
// fresh database for the time of the test.

// Points the alias at a file and puts the former target back at the end.
class ScopedAlias {
 public:
  ScopedAlias(const std::string& alias, const std::string& path) : alias_(alias) {
    std::ifstream conf("/etc/firebird/3.0/databases.conf");
    std::string line;
    while (std::getline(conf, line)) {
      std::string t = line.substr(line.find_first_not_of(" \t") == std::string::npos
                                      ? line.size()
                                      : line.find_first_not_of(" \t"));
      if (t.rfind(alias + " ", 0) == 0 || t.rfind(alias + "=", 0) == 0) {
        const auto eq = t.find('=');
        old_ = t.substr(t.find_first_not_of(" \t", eq + 1));
        while (!old_.empty() && (old_.back() == ' ' || old_.back() == '\r')) old_.pop_back();
      }
    }
    ok_ = Set(path);
  }
  ~ScopedAlias() {
    if (!old_.empty()) {
      Set(old_);
      return;
    }
    // There was none: take ours out again.
    const std::string path = "/etc/firebird/3.0/databases.conf";
    std::ifstream in(path);
    std::string line, kept;
    while (std::getline(in, line)) {
      const auto start = line.find_first_not_of(" \t");
      const std::string t = start == std::string::npos ? "" : line.substr(start);
      if (t.rfind(alias_ + " ", 0) == 0 || t.rfind(alias_ + "=", 0) == 0) continue;
      kept += line + "\n";
    }
    in.close();
    std::ofstream(path, std::ios::trunc) << kept;
  }
  bool Ok() const { return ok_; }

 private:
  // The server sees a change of databases.conf by the file's modification
  // time, to the second: a second change within the second of the first
  // (the previous test putting the alias back, this one moving it) can go
  // unseen. Written again until an attach through the alias reaches `path`.
  bool Set(const std::string& path) {
    const std::string cmd = std::string(TELVANE_SOURCE_DIR) + "/db/set-alias " + alias_ + " '" +
                            path + "' > /dev/null";
    if (std::system(cmd.c_str()) != 0) return false;
    for (int i = 0; i < 10; ++i) {
      if (Resolves(path)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1100));
      std::filesystem::last_write_time(
          "/etc/firebird/3.0/databases.conf",
          std::filesystem::file_time_type::clock::now());
    }
    return false;
  }
  bool Resolves(const std::string& path) {
    try {
      FbConnectParams p{"127.0.0.1:" + alias_, "SYSDBA", TestDatabase::SysdbaPassword(), "UTF8"};
      FbConnection conn(p);
      FbTransaction tr(conn, {});
      tr.StartTransaction();
      FbQuery q(conn, tr, "select trim(MON$DATABASE_NAME) as N from MON$DATABASE");
      q.ExecQuery();
      const bool same = !q.Eof() && q.FieldByName("N").AsString() == path;
      q.Close();
      tr.Commit();
      return same;
    } catch (const std::exception&) {
      return false;
    }
  }
  std::string alias_;
  std::string old_;
  bool ok_ = false;
};

// The program copied into a work folder that holds the packages, started
// there; its log and how often a line stands in it.
class ProgramRun {
 public:
  ProgramRun() {
    proc::CopyFile(TELVANE_EXE, Exe(), 0755);
    Restart();
  }
  // Starts the program again in the same folder (the last run has ended).
  void Restart() {
    proc::ChildOptions options;
    options.cwd = work_.Path();
    options.unsetEnv = {"NOTIFY_SOCKET"};
    child_.reset();
    child_ = std::make_unique<proc::Child>(Exe(), options, work_.Path());
  }
  proc::Child& Child() { return *child_; }
  const std::string& Exe() const { return exe_; }
  std::string LogPath() const { return work_.File("Telvane.log"); }
  int LogCount(const std::string& text) const {
    int n = 0;
    for (const auto& line : proc::SplitCrLf(proc::ReadFile(LogPath())))
      n += proc::LineText(line) == text::ToCp1252(text) ? 1 : 0;
    return n;
  }

 private:
  inst::WorkDir work_;  // Interfaces/ and Drivers/
  std::string exe_ = work_.File("telvane");
  std::unique_ptr<proc::Child> child_;
};

TEST(TelvaneProgram, CollectsIntoRateioDbAndStopsOnSigterm) {
  TestDatabase db;
  inst::AddInterface(db, 1, "Serial simulada", "libSimInterface.so",
                     "interval_min=15\nbacklog_records=8\nalarm_interval_min=0\n");
  inst::AddDriver(db, 3, 1, "libSimMeter.so");
  AddCalendar(db);
  inst::AddEquipamento(db, 12, 3, kNull, kNull, "Medidor Bloco A");
  inst::AddCanal(db, 100, 12, 0, 1, kNull, "Energia ativa");
  inst::AddCanal(db, 101, 12, 1, 1, kNull, "Energia reativa");
  db.Exec("insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE) values (12, "
          "dateadd(1 hour to current_timestamp))");

  ScopedAlias alias("RATEIO_DB", db.Path());
  ASSERT_TRUE(alias.Ok());
  ProgramRun run;
  proc::Child& child = run.Child();
  const std::string& exe = run.Exe();
  auto logHas = [&](const std::string& text) { return run.LogCount(text) > 0; };
  // The first pass starts 5 s after the start; give it time to visit twice.
  ASSERT_TRUE(proc::WaitUntil(
      [&] {
        // The status is written when the visit ends, after its records.
        return db.QueryInt("select count(*) from HISTORICOS_H") >= 16 &&
               db.QueryInt("select count(*) from ONLINE_VALUES") == 4 &&
               db.QueryInt("select count(*) from STATUS_EQUIPS where EQUIP_ID = 12 and STATUS = 1") == 1;
      },
      std::chrono::seconds(60)))
      << child.Stderr();
  EXPECT_EQ("1 Comunicação normal",
            db.QueryString("select STATUS || ' ' || TEXTO from STATUS_EQUIPS where EQUIP_ID = 12"));

  // A copy of the program in another folder, and the same one started
  // again: each says so on standard error, exits 3 and writes nothing, so
  // no record is collected twice.
  inst::WorkDir other;
  proc::CopyFile(TELVANE_EXE, other.File("telvane"), 0755);
  for (const std::string& second : {other.File("telvane"), exe}) {
    SCOPED_TRACE(second);
    proc::ChildOptions o;
    o.cwd = other.Path();
    o.unsetEnv = {"NOTIFY_SOCKET"};
    proc::TempDir out;
    proc::Child twin(second, o, out.Path());
    int twinStatus = 0;
    ASSERT_TRUE(twin.Wait(std::chrono::seconds(20), twinStatus)) << "the second instance runs";
    EXPECT_EQ(3, proc::ExitCode(twinStatus));
    EXPECT_NE(twin.Stderr().find("outra inst"), std::string::npos)
        << twin.Stderr();
  }
  EXPECT_FALSE(proc::FileExists(other.File("Telvane.log")));
  EXPECT_EQ(1, db.QueryInt("select count(*) from ALARMES where CLASSE = 1000 and "
                           "TEXTO = 'Serviço de comunicação INICIADO.'"));
  child.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(child.Wait(std::chrono::seconds(60), status));
  EXPECT_EQ(0, proc::ExitCode(status)) << child.Stderr();

  EXPECT_EQ(0, db.QueryInt("select count(*) from STATUS_EQUIPS where STATUS <> 0"));
  EXPECT_EQ(1, db.QueryInt("select count(*) from ALARMES where EQUIP_ID = 12 and CLASSE = 3"));
  EXPECT_EQ(1, db.QueryInt("select count(*) from ALARMES where CLASSE = 1000 and "
                           "TEXTO = 'Serviço de comunicação INICIADO.'"));
  EXPECT_EQ(1, db.QueryInt("select count(*) from ALARMES where CLASSE = 1000 and "
                           "TEXTO = 'Serviço de comunicação PARADO.'"));
  EXPECT_EQ(0, db.QueryInt("select count(*) from HISTORICOS_H where "
                           "extract(second from DATA) <> 0"));
  EXPECT_EQ(0, db.QueryInt("select count(*) from (select CANAL_ID, DATA from HISTORICOS_H "
                           "group by CANAL_ID, DATA having count(*) > 1)"));
  for (const char* line :
       {"Telvane 2.17 Iniciado!", "Thread comunicação iniciada!", "Equipamento [12]: SimMeter 1.0 - medidor simulado nº 12",
        "OnlineThread: finalizada!", "Thread comunicação finalizada!", "RTCThread: Finalizada!",
        "Telvane Encerrado!"})
    EXPECT_TRUE(logHas(line)) << line;
}

// Restarts, clean and killed, store every record and alarm once: records
// dated past the whole minute (the stored minute loses its seconds), a meter
// whose clock runs 10 minutes fast (rows ahead of the server's clock) and
// one whose clock runs 4 minutes slow (its alarms dated before the service's
// own communication event of the same visit). About 75 s.
TEST(TelvaneProgram, RestartsCleanAndKilledStoreEveryRecordAndAlarmOnce) {
  TestDatabase db;
  inst::AddInterface(db, 1, "Rapido", "libSimInterface.so",
                     "interval_min=1\nbacklog_records=5\nrecord_second=20\nclock_offset_min=10\n"
                     "alarm_interval_min=0\n");
  inst::AddInterface(db, 2, "Lento", "libSimInterface.so",
                     "interval_min=1\nbacklog_records=15\nrecord_second=40\nclock_offset_min=-4\n"
                     "alarm_interval_s=20\n");
  inst::AddDriver(db, 3, 1, "libSimMeter.so");
  inst::AddDriver(db, 4, 2, "libSimMeter.so");
  AddCalendar(db);
  inst::AddEquipamento(db, 12, 3, kNull, kNull, "Medidor rapido");
  inst::AddCanal(db, 120, 12, 0, 1, kNull, "Energia");
  inst::AddEquipamento(db, 13, 4, kNull, kNull, "Medidor lento");
  inst::AddCanal(db, 130, 13, 0, 1, kNull, "Energia");
  ScopedAlias alias("RATEIO_DB", db.Path());
  ASSERT_TRUE(alias.Ok());

  auto visits = [&] {
    return db.QueryInt("select count(*) from ALARMES where EQUIP_ID = 13 and CLASSE = 3");
  };
  ProgramRun run;
  auto runUntil = [&](int visitsDone, int signal) {
    ASSERT_TRUE(proc::WaitUntil([&] { return visits() >= visitsDone; }, std::chrono::seconds(60)))
        << run.Child().Stderr();
    std::this_thread::sleep_for(std::chrono::seconds(2));  // into the next visits
    run.Child().Signal(signal);
    int status = 0;
    ASSERT_TRUE(run.Child().Wait(std::chrono::seconds(60), status));
  };
  runUntil(1, SIGTERM);
  run.Restart();
  runUntil(2, SIGKILL);
  // The slow meter records an alarm every 20 s, and of any two in a row one
  // is stored (the others are notes or empty): let two fall after the first
  // start's event, then a last start.
  std::this_thread::sleep_for(std::chrono::seconds(40));
  run.Restart();
  runUntil(3, SIGTERM);

  EXPECT_EQ(0, db.QueryInt("select count(*) from (select CANAL_ID, DATA from HISTORICOS_H "
                           "group by CANAL_ID, DATA having count(*) > 1)"));
  EXPECT_EQ(0, db.QueryInt("select count(*) from (select EQUIP_ID, DATA, CLASSE, TEXTO from "
                           "ALARMES where CLASSE not in (2, 3, 1000) group by EQUIP_ID, DATA, "
                           "CLASSE, TEXTO having count(*) > 1)"));
  // Nothing skipped: every channel's minutes without a gap, and alarms the
  // slow meter dated before the first start's event, delivered after it.
  for (const char* canal : {"120", "130"})
    EXPECT_EQ(0, db.QueryInt(std::string("select datediff(minute from min(DATA) to max(DATA)) + 1 "
                                         "- count(*) from HISTORICOS_H where CANAL_ID = ") +
                             canal))
        << canal;
  EXPECT_GT(db.QueryInt("select count(*) from ALARMES where EQUIP_ID = 13 and CLASSE > 3 and "
                        "DATA > dateadd(-4 minute to (select min(DATA) from ALARMES where "
                        "EQUIP_ID = 13 and CLASSE = 3))"),
            0);
  EXPECT_GT(db.QueryInt("select count(*) from HISTORICOS_H where CANAL_ID = 120 and DATA > "
                        "current_timestamp"),
            0);  // the fast meter's rows ahead of the server's clock
}

// A package call that never returns (the live values of a meter that hangs)
// does not hold the stop: the online thread leaves the call behind and ends
// at once, and the stop sequence runs to its end: status reset, stop alarm,
// "Telvane Encerrado!", exit status 0.
TEST(TelvaneProgram, AStuckPackageCallDoesNotHoldTheStop) {
  TestDatabase db;
  inst::AddInterface(db, 1, "Serial simulada", "libSimInterface.so",
                     "interval_min=15\nbacklog_records=8\nalarm_interval_min=0\n");
  inst::AddDriver(db, 3, 1, "libSimMeter.so");
  inst::AddDriver(db, 5, 1, "libDrvHangOnline.so");
  AddCalendar(db);
  inst::AddEquipamento(db, 12, 3, kNull, kNull, "Medidor Bloco A");
  inst::AddCanal(db, 100, 12, 0, 1, kNull, "Energia ativa");
  inst::AddEquipamento(db, 13, 5, kNull, kNull, "Medidor travado");
  db.Exec("insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE) values (13, "
          "dateadd(1 hour to current_timestamp))");

  ScopedAlias alias("RATEIO_DB", db.Path());
  ASSERT_TRUE(alias.Ok());
  ProgramRun run;
  proc::Child& child = run.Child();
  auto logCount = [&](const std::string& text) { return run.LogCount(text); };
  // Both meters visited; the online thread, which starts its first pass
  // with them, is inside the hanging call by then.
  ASSERT_TRUE(proc::WaitUntil(
      [&] {
        return db.QueryInt("select count(*) from HISTORICOS_H") >= 8 &&
               db.QueryInt("select count(*) from STATUS_EQUIPS where STATUS = 1") == 2;
      },
      std::chrono::seconds(60)))
      << child.Stderr() << text::FromCp1252(proc::ReadFile(run.LogPath()));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const auto stopAt = std::chrono::steady_clock::now();
  child.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(child.Wait(std::chrono::seconds(60), status)) << "the stop hangs";
  EXPECT_EQ(0, proc::ExitCode(status)) << child.Stderr();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(15));

  EXPECT_EQ(0, logCount("OnlineThread: não terminou em 20 s após o pedido de parada; o serviço "
                        "para sem ela."));
  EXPECT_EQ(1, logCount("OnlineThread: finalizada!"));
  EXPECT_EQ(1, logCount("Thread comunicação finalizada!"));
  EXPECT_EQ(1, logCount("RTCThread: Finalizada!"));
  EXPECT_EQ(1, logCount("Telvane Encerrado!"));
  EXPECT_EQ(1, logCount("==================== LOG Stopped!"));
  EXPECT_EQ(0, db.QueryInt("select count(*) from STATUS_EQUIPS where STATUS <> 0"));
  EXPECT_EQ(1, db.QueryInt("select count(*) from ALARMES where CLASSE = 1000 and "
                           "TEXTO = 'Serviço de comunicação PARADO.'"));
}

// A stop while the server is frozen (SIGSTOP: connections stay open and
// nothing answers) ends all the same: the workers held in database calls are
// left behind after the stop's bound, then its own writes after theirs, with
// one line saying so; the banner is written and the exit status is 0. The
// next start reads what the server holds: nothing stored twice, no gap.
TEST(TelvaneProgram, AStopWhileTheServerIsFrozenEndsWithItsBannerAndStatusZero) {
  TestDatabase db;
  inst::AddInterface(db, 1, "Serial simulada", "libSimInterface.so",
                     "interval_min=1\nbacklog_records=100000\nslow_ms=2\nalarm_interval_min=0\n");
  inst::AddDriver(db, 3, 1, "libSimMeter.so");
  AddCalendar(db);
  inst::AddEquipamento(db, 12, 3, kNull, kNull, "Medidor Bloco A");
  inst::AddCanal(db, 100, 12, 0, 1, kNull, "Energia ativa");
  db.Exec("insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE) values (12, "
          "dateadd(1 hour to current_timestamp))");
  ScopedAlias alias("RATEIO_DB", db.Path());
  ASSERT_TRUE(alias.Ok());
  const char* const countSql = "select count(*) from HISTORICOS_H";
  ProgramRun run;
  ASSERT_TRUE(proc::WaitUntil(
      [&] {
        return db.QueryInt(countSql) >= 200 &&
               db.QueryInt("select count(*) from ONLINE_VALUES") > 0;
      },
      std::chrono::seconds(60)))
      << run.Child().Stderr();

  FirebirdServer server;  // after db: thawed before the database is dropped
  server.Freeze();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const auto stopAt = std::chrono::steady_clock::now();
  run.Child().Signal(SIGTERM);
  int status = 0;
  const bool ended = run.Child().Wait(std::chrono::seconds(60), status);
  const auto took = std::chrono::steady_clock::now() - stopAt;
  server.Thaw();
  ASSERT_TRUE(ended) << "the stop hangs";
  EXPECT_EQ(0, proc::ExitCode(status)) << run.Child().Stderr();
  EXPECT_LT(took, std::chrono::seconds(45));
  EXPECT_EQ(1, run.LogCount("CommThread: não terminou em 20 s após o pedido de parada; o serviço "
                            "para sem ela."));
  EXPECT_EQ(1, run.LogCount("Parada: banco de dados sem resposta há 10 s; o serviço para sem "
                            "gravar o status dos equipamentos e o alarme de parada."));
  EXPECT_EQ(1, run.LogCount("Telvane Encerrado!"));
  EXPECT_EQ(1, run.LogCount("==================== LOG Stopped!"));

  const int64_t before = db.QueryInt(countSql);
  run.Restart();
  ASSERT_TRUE(proc::WaitUntil([&] { return db.QueryInt(countSql) >= before + 100; },
                              std::chrono::seconds(60)))
      << run.Child().Stderr();
  run.Child().Signal(SIGTERM);
  ASSERT_TRUE(run.Child().Wait(std::chrono::seconds(60), status));
  EXPECT_EQ(0, db.QueryInt("select count(*) from (select DATA from HISTORICOS_H group by DATA "
                           "having count(*) > 1)"));
  EXPECT_EQ(0, db.QueryInt("select datediff(minute from min(DATA) to max(DATA)) + 1 - count(*) "
                           "from HISTORICOS_H"));
}

}  // namespace
