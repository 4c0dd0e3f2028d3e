// Modbus meters collected by the whole service (load thread, workers, the real
// packages) on a fresh database, against a libmodbus server on 127.0.0.1 or
// on a pseudo-terminal pair (socat) for RTU. The meters sample every 2 s
// (period_s, the commissioning setting).
//
// Each meter has a "clock" register whose value is the position of the
// moment of the request within its minute ((ms of the minute) / 2000): a
// stored row with DATA (seconds cut off) and that value names the boundary
// it was sampled at, so every row can be checked to hold the value of its
// own boundary, boundaries can be counted, and a row stored twice or one
// that was never read shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "database/FbQuery.h"
#include "database/FbTransaction.h"
#include "packages/fieldbus/LocalClock.h"
#include "packages/fieldbus/SampleJournal.h"
#include "packages/modbus/sim/ModbusSimServer.h"
#include "service/KxLoadThread.h"
#include "support/InstallationKit.h"
#include "support/ProcUtil.h"
#include "support/TestDatabase.h"
#include "support/ThreadTestKit.h"

namespace {

using inst::kNull;
using kit::WaitUntil;
using mbsim::ModbusSimServer;
using Table = ModbusSimServer::Table;
using namespace std::chrono_literals;

constexpr int64_t kPeriodMs = 2000;
constexpr int kClockRegister = 100;  // holding register 100, uint16 (LOCAL_ID 410)

// The clock register of `unit`: which 2-second boundary of its minute it is.
void AddClock(ModbusSimServer& server, uint8_t unit) {
  server.SetHook(unit, [](uint16_t* holding, uint16_t*) {
    holding[kClockRegister] = static_cast<uint16_t>(fb::LocalNowMs() % fb::kMsPerMinute / kPeriodMs);
  });
}

std::vector<uint16_t> Words(float f) { return mbsim::FloatWords(f); }
std::vector<uint16_t> Swapped(std::vector<uint16_t> w) { return {w[1], w[0]}; }
std::vector<uint16_t> ByteSwapped(std::vector<uint16_t> w) {
  for (auto& x : w) x = static_cast<uint16_t>((x >> 8) | (x << 8));
  return w;
}

class ModbusEndToEndTest : public ::testing::Test {
 protected:
  void TearDown() override {
    proxy.Restore();
    Stop();
    if (HasFailure())
      for (const auto& l : log.Lines()) std::cerr << "  log: " << l << "\n";
  }
  // The service with the real clock, on the database through the relay.
  void Start() {
    cwd_ = std::make_unique<inst::ScopedChdir>(work.Path());
    thread = std::make_unique<KxLoadThread>(&log, proxy.Params(db.Params()));
  }
  void Stop() {
    if (!thread) return;
    thread->Terminate();
    thread->WaitFor();
    thread.reset();
    cwd_.reset();
  }
  void Install(const std::string& configs) {
    inst::AddInterface(db, 1, "Gateway Modbus", "libModbusInterface.so", configs);
    inst::AddDriver(db, 3, 1, "libModbusMeter.so");
    inst::AddVariavel(db, 1, "E", "Energia ativa");
  }
  // Channels as (register address, format code): EQUIP_INDEX holds both;
  // LOCAL_ID is the building's unit, which the meter must not read.
  void AddMeter(int equipId, int unit, const std::vector<std::pair<int, int>>& channels) {
    inst::AddEquipamento(db, equipId, 3, unit, kNull, "Medidor " + std::to_string(equipId));
    for (size_t i = 0; i < channels.size(); ++i)
      inst::AddCanal(db, equipId * 10 + static_cast<int>(i), equipId,
                     channels[i].second * 100000 + channels[i].first, 1, 900 + static_cast<int>(i),
                     "Canal " + std::to_string(i));
  }
  int64_t Int(const std::string& sql) {
    try {
      return db.QueryInt(sql);
    } catch (const std::exception&) {
      return -1;
    }
  }
  // The values stored for a channel, oldest first, with their DATA.
  std::vector<std::pair<int64_t, double>> Rows(int canal) {
    std::vector<std::pair<int64_t, double>> out;
    FbConnection conn(db.Params());
    FbTransaction tr(conn, {});
    tr.StartTransaction();
    FbQuery q(conn, tr,
              "select DATA, VALOR from HISTORICOS_H where CANAL_ID = " + std::to_string(canal) +
                  " order by DATA, VALOR");
    for (q.ExecQuery(); !q.Eof(); q.Next())
      out.push_back({fb::FromDateTime(q.FieldByName("DATA").AsDateTime()),
                     q.FieldByName("VALOR").AsDouble()});
    q.Close();
    tr.Commit();
    return out;
  }
  // The boundaries of a clock channel's rows, each checked to be a boundary
  // of the minute it is stored in, oldest first.
  std::vector<int64_t> Boundaries(int canal) {
    std::vector<int64_t> out;
    for (const auto& [data, value] : Rows(canal)) {
      EXPECT_EQ(data % fb::kMsPerMinute, 0);
      EXPECT_TRUE(value >= 0 && value < 30 && value == static_cast<int>(value)) << value;
      out.push_back(data + static_cast<int64_t>(value) * kPeriodMs);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  // Boundaries missing between the first and the last row.
  static int64_t Missing(const std::vector<int64_t>& b) {
    int64_t missing = 0;
    for (size_t i = 1; i < b.size(); ++i) missing += (b[i] - b[i - 1]) / kPeriodMs - 1;
    return missing;
  }
  static bool Unique(const std::vector<int64_t>& b) {
    return std::set<int64_t>(b.begin(), b.end()).size() == b.size();
  }
  // True once the channel's newest row is at most two periods old.
  bool UpToDate(int canal) {
    try {
      const auto b = Boundaries(canal);
      return !b.empty() && b.back() >= fb::LocalNowMs() - 2 * kPeriodMs;
    } catch (const std::exception&) {
      return false;
    }
  }
  std::vector<fb::JournalRecord> Journal(int equipId) {
    return fb::SampleJournal::ReadAll(work.File("ModbusJournal/equip-" + std::to_string(equipId) + ".jrn"));
  }

  TestDatabase db;
  TcpProxy proxy;
  inst::WorkDir work;
  kit::CaptureLog log{work.File("Telvane.log")};
  std::unique_ptr<inst::ScopedChdir> cwd_;
  std::unique_ptr<KxLoadThread> thread;
};

TEST_F(ModbusEndToEndTest, EveryBoundaryIsStoredOnceDecodedByTypeAlsoAcrossARestart) {
  auto server = ModbusSimServer::Tcp();
  AddClock(*server, 7);
  server->SetRegisters(7, Table::Holding, 0, {65000, 0xFFFE, 0x0001, 0x0002, 0x0002, 0x0001});
  // -100000 is FFFE 7960: bytes swapped in each word, then also the words.
  server->SetRegisters(7, Table::Holding, 6, {0xFEFF, 0x6079, 0x6079, 0xFEFF});
  server->SetRegisters(7, Table::Input, 110, Words(-1.5f));
  server->SetRegisters(7, Table::Input, 112, Swapped(Words(3.1415927f)));
  server->SetRegisters(7, Table::Input, 114, ByteSwapped(Words(1234.5f)));
  server->SetRegisters(7, Table::Input, 116, ByteSwapped(Swapped(Words(0.25f))));
  // 64-bit: -1234567890123 low word first; 123456789012 Wh read as kWh
  // (/ 1000); 0.0025 as a float64 with the bytes of each word swapped, x 100.
  server->SetRegisters(7, Table::Holding, 20, {0xFB35, 0x8E04, 0xFEE0, 0xFFFF});
  server->SetRegisters(7, Table::Holding, 24, {0x0000, 0x001C, 0xBE99, 0x1A14});
  server->SetRegisters(7, Table::Input, 120, {0x643F, 0xE17A, 0xAE47, 0x7B14});
  Install("host=127.0.0.1; port=" + std::to_string(server->Port()) + "; period_s=2; timeout_ms=300");
  const std::vector<std::pair<int, int>> channels = {
      {kClockRegister, 410}, {0, 410}, {1, 420}, {2, 430}, {4, 431}, {6, 442},
      {8, 443},  {110, 350}, {112, 351}, {114, 352}, {116, 353},
      {20, 471}, {24, 3460}, {120, 7382}};
  const double expected[] = {-1,         65000, -2,         65538,  65538,          -100000, -100000,
                             -1.5,       3.1415927f, 1234.5, 0.25, -1234567890123.0, 123456789.012,
                             0.25};
  AddMeter(12, 7, channels);
  db.Exec("insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE) values (12, "
          "dateadd(1 hour to current_timestamp))");
  // A meter whose float register holds NaN, its "not available" (a power
  // factor at no load): a channel not read, not a meter without communication.
  AddClock(*server, 9);
  server->SetRegisters(9, Table::Input, 0, {0x7FC0, 0x0000});
  AddMeter(14, 9, {{kClockRegister, 410}, {0, 350}});

  Start();
  ASSERT_TRUE(WaitUntil([&] {
    return Int("select count(*) from HISTORICOS_H where CANAL_ID = 120") >= 4 &&
           Int("select count(*) from ONLINE_VALUES where EQUIP_ID = 12") == 14;
  }, 60s));
  Stop();
  const int64_t stoppedAt = fb::LocalNowMs();
  const size_t before = Boundaries(120).size();
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * kPeriodMs));
  Start();
  // On the last channel, read last in a visit: the stop then cuts at most
  // the visit after it.
  ASSERT_TRUE(WaitUntil([&] { return Rows(133).size() >= before + 4; }, 60s));
  EXPECT_TRUE(WaitUntil([&] { return Int("select STATUS from STATUS_EQUIPS where EQUIP_ID = 14") == 1; }, 20s));
  Stop();

  // Every row holds the value of its own boundary; none is missing but those
  // while the service was stopped. With periods under a minute the database
  // keeps only the minute of a date: the one sample a stop may catch between
  // its insert and the next read of its channel can come again after the
  // restart (docs/ModbusMeter.md), and nothing else.
  const auto stored = Boundaries(120);
  const int64_t lastBefore = *std::prev(std::lower_bound(stored.begin(), stored.end(), stoppedAt));
  for (int64_t b : stored) {
    if (std::count(stored.begin(), stored.end(), b) > 1) {
      EXPECT_EQ(b, lastBefore);
    }
  }
  auto boundaries = stored;
  boundaries.erase(std::unique(boundaries.begin(), boundaries.end()), boundaries.end());
  int64_t repeated = static_cast<int64_t>(stored.size() - boundaries.size());
  EXPECT_LE(Missing(boundaries), 3);
  EXPECT_GE(Missing(boundaries), 1);
  // Every type and word order decoded right, in every round: each channel
  // holds what the journal sampled of its register, but the newest sample
  // the stop may have come before (a visit can span a boundary, so later
  // channels may hold a round that earlier ones do not).
  const auto journal = Journal(12);
  for (size_t i = 1; i < channels.size(); ++i) {
    SCOPED_TRACE(channels[i].second);
    const auto rows = Rows(120 + static_cast<int>(i));
    const int64_t sampledHere = std::count_if(journal.begin(), journal.end(), [&](const auto& r) {
      return r.type == 'S' && r.key == channels[i].first;
    });
    const int64_t extra = static_cast<int64_t>(rows.size()) - sampledHere;
    EXPECT_GE(extra, -1);
    repeated += std::max<int64_t>(extra, 0);
    for (const auto& [data, value] : rows) EXPECT_EQ(value, static_cast<float>(expected[i]));
  }
  EXPECT_LE(repeated, 1);
  // The journal holds the same boundaries (the last one may not have been
  // taken by the service before it stopped).
  std::vector<int64_t> sampled;
  for (const auto& r : journal)
    if (r.type == 'S' && r.key == kClockRegister) sampled.push_back(r.dateMs);
  for (int64_t b : sampled) EXPECT_EQ(b % kPeriodMs, 0);
  ASSERT_GE(sampled.size(), boundaries.size());
  EXPECT_LE(sampled.size(), boundaries.size() + 1);
  EXPECT_TRUE(std::equal(boundaries.begin(), boundaries.end(), sampled.begin()));

  EXPECT_EQ(db.QueryString("select VALOR from ONLINE_VALUES where EQUIP_ID = 12 and VAR = 'Reg 40007'"),
            "-100000");
  EXPECT_EQ(db.QueryString("select VALOR from ONLINE_VALUES where EQUIP_ID = 12 and VAR = 'Reg 30113'"),
            "3.1415927");
  EXPECT_EQ(db.QueryString("select VALOR from ONLINE_VALUES where EQUIP_ID = 12 and VAR = 'Reg 40021'"),
            "-1234567890123");
  EXPECT_EQ(db.QueryString("select VALOR from ONLINE_VALUES where EQUIP_ID = 12 and VAR = 'Reg 40025'"),
            "123456789.012");
  EXPECT_EQ(log.Count("Equipamento [12]: ModbusMeter 1.0 - unidade 7"), 2);
  EXPECT_EQ(Int("select count(*) from ALARMES where EQUIP_ID = 12 and CLASSE in (2, 20, 21)"), 0);

  // The NaN meter: its class 20 once (the journal keeps the state across the
  // restart), never class 2 (its status was normal, above), its other
  // channel stored.
  EXPECT_EQ(db.QueryString("select TEXTO from ALARMES where EQUIP_ID = 14 and CLASSE = 20"),
            "Falha de leitura: valor não disponível (NaN ou infinito) (Reg 30001)");
  EXPECT_EQ(Int("select count(*) from ALARMES where EQUIP_ID = 14 and CLASSE in (2, 20, 21)"), 1);
  EXPECT_GE(Rows(140).size(), 4u);
  EXPECT_TRUE(Rows(141).empty());
}

TEST_F(ModbusEndToEndTest, ASilentMeterADatabaseOutageAndARestartLoseAndInventNothing) {
  auto server = ModbusSimServer::Tcp();
  AddClock(*server, 7);
  AddClock(*server, 8);
  Install("host=127.0.0.1; port=" + std::to_string(server->Port()) +
          "; period_s=2; timeout_ms=300; retries=1");
  AddMeter(12, 7, {{kClockRegister, 410}});
  AddMeter(13, 8, {{kClockRegister, 410}});
  Start();
  ASSERT_TRUE(WaitUntil([&] { return UpToDate(120) && UpToDate(130); }, 60s));

  // Meter 13 stops answering for a while: an alarm each way, its status, no
  // row for what it did not answer; meter 12 is not held up.
  const int64_t silentFrom = fb::LocalNowMs();
  server->SetSilent(8, true);
  ASSERT_TRUE(WaitUntil([&] {
    return Int("select count(*) from ALARMES where EQUIP_ID = 13 and CLASSE = 20") == 1 &&
           Int("select STATUS from STATUS_EQUIPS where EQUIP_ID = 13") == 3;
  }, 30s));
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * kPeriodMs));
  const int64_t silentTo = fb::LocalNowMs();
  server->SetSilent(8, false);
  ASSERT_TRUE(WaitUntil([&] {
    return Int("select count(*) from ALARMES where EQUIP_ID = 13 and CLASSE = 21") == 1 &&
           Int("select STATUS from STATUS_EQUIPS where EQUIP_ID = 13") == 1 && UpToDate(130);
  }, 30s));
  EXPECT_EQ(db.QueryString("select TEXTO from ALARMES where EQUIP_ID = 13 and CLASSE = 20"),
            "Falha de leitura: sem resposta (Reg 40101)");
  EXPECT_EQ(db.QueryString("select TEXTO from ALARMES where EQUIP_ID = 13 and CLASSE = 21"),
            "Leitura normalizada");
  EXPECT_EQ(Int("select count(*) from ALARMES where EQUIP_ID = 13 and CLASSE = 2"), 1);
  const int64_t missing13 = Missing(Boundaries(130));
  EXPECT_GE(missing13, 2);
  for (int64_t b : Boundaries(130)) EXPECT_FALSE(b >= silentFrom && b < silentTo - kPeriodMs) << b;
  EXPECT_EQ(Missing(Boundaries(120)), 0);

  // The database away while sampling goes on: everything stored once after.
  proxy.Cut();
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * kPeriodMs));
  proxy.Restore();
  ASSERT_TRUE(WaitUntil([&] { return UpToDate(120) && UpToDate(130); }, 60s));
  EXPECT_EQ(Missing(Boundaries(120)), 0);
  EXPECT_EQ(Missing(Boundaries(130)), missing13);

  // Away again, and the service stopped meanwhile: what was sampled before
  // the stop waits in the journal and is stored once after the restart.
  proxy.Cut();
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * kPeriodMs));
  Stop();
  const int64_t stoppedAt = fb::LocalNowMs();
  proxy.Restore();
  Start();
  ASSERT_TRUE(WaitUntil([&] { return UpToDate(120) && UpToDate(130); }, 60s));
  Stop();
  for (int canal : {120, 130}) {
    SCOPED_TRACE(canal);
    const auto b = Boundaries(canal);
    EXPECT_TRUE(Unique(b));
    // Before the stop: every boundary (but 13's silence).
    std::vector<int64_t> upToStop;
    for (int64_t x : b)
      if (x < stoppedAt - kPeriodMs) upToStop.push_back(x);
    EXPECT_EQ(Missing(upToStop), canal == 120 ? 0 : missing13);
  }
  EXPECT_EQ(Int("select count(*) from ALARMES where EQUIP_ID = 12 and CLASSE in (2, 20, 21)"), 0);
  EXPECT_EQ(Int("select count(*) from ALARMES where EQUIP_ID = 13 and CLASSE in (20, 21)"), 2);
}

TEST_F(ModbusEndToEndTest, TwoMetersShareAnRtuBusWithTheOnlineThread) {
  proc::TempDir ptys;
  proc::ChildOptions options;
  options.args = {"-d", "-d", "pty,raw,echo=0,link=" + (ptys / "bus"),
                  "pty,raw,echo=0,link=" + (ptys / "meters")};
  proc::Child socat("/usr/bin/socat", options, ptys.Path());
  ASSERT_TRUE(proc::WaitUntil([&] {
    return proc::FileExists(ptys / "bus") && proc::FileExists(ptys / "meters");
  })) << socat.Stderr();
  auto server = ModbusSimServer::Rtu(ptys / "meters");
  for (uint8_t unit : {1, 2}) {
    AddClock(*server, unit);
    server->SetRegisters(unit, Table::Input, 110, Words(unit * 1.5f));
  }
  Install("device=" + (ptys / "bus") + "; baud=9600; period_s=2; timeout_ms=500");
  AddMeter(12, 1, {{kClockRegister, 410}, {110, 350}});
  AddMeter(13, 2, {{kClockRegister, 410}, {110, 350}});
  db.Exec("insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE) values (12, dateadd(1 hour to current_timestamp))");
  db.Exec("insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE) values (13, dateadd(1 hour to current_timestamp))");

  Start();
  ASSERT_TRUE(WaitUntil([&] {
    return Boundaries(120).size() >= 5 && Boundaries(130).size() >= 5 &&
           Int("select count(*) from ONLINE_VALUES") == 4;
  }, 60s));
  // The online thread keeps both meters busy while they sample.
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * kPeriodMs));
  Stop();

  // No frame was ever mixed with another: every request arrived whole and
  // every reply reached its meter.
  EXPECT_EQ(server->BadFrames(), 0);
  for (int equip : {12, 13}) {
    SCOPED_TRACE(equip);
    const auto b = Boundaries(equip * 10);
    EXPECT_TRUE(Unique(b));
    EXPECT_EQ(Missing(b), 0);
    for (const auto& [data, value] : Rows(equip * 10 + 1)) EXPECT_EQ(value, (equip - 11) * 1.5);
    EXPECT_EQ(db.QueryString("select VALOR from ONLINE_VALUES where EQUIP_ID = " +
                             std::to_string(equip) + " and VAR = 'Reg 30111'"),
              equip == 12 ? "1.5" : "3");
  }
  EXPECT_EQ(Int("select count(*) from ALARMES where CLASSE in (2, 20)"), 0);
}

}  // namespace
