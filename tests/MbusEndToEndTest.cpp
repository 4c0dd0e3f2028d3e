// M-Bus meters collected by the whole service (load thread, workers, the real
// MbusInterface and MbusMeter packages) on a fresh database, against the
// simulated line (MbusSimLine) on a pseudo-terminal pair from socat and on
// TCP. The meters sample every 2 s (period_s, the commissioning setting).
//
// Meter 12 (by its secondary address) answers with a new volume at every
// reading, so a stored value names the reading it came from: a row stored
// twice, or a sample never stored, shows. Its storage 1 (a month-end value
// and its date) changes once and is corrected once for the same date; its
// status byte and error flags raise a condition each for a few readings.
// Meter 13 answers garbage for a while; meter 14 is not on the line; meter
// 15's row is wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "database/FbQuery.h"
#include "database/FbTransaction.h"
#include "packages/fieldbus/LocalClock.h"
#include "packages/fieldbus/SampleJournal.h"
#include "packages/mbus/MbusFrame.h"
#include "packages/mbus/sim/MbusSimLine.h"
#include "plugins/KxDriver.h"
#include "plugins/KxListaDrivers.h"
#include "plugins/KxListaInterfaces.h"
#include "service/KxLoadThread.h"
#include "support/InstallationKit.h"
#include "support/PackageLog.h"
#include "support/ProcUtil.h"
#include "support/TestDatabase.h"
#include "support/ThreadTestKit.h"

namespace {

using inst::kNull;
using kit::WaitUntil;
using namespace std::chrono_literals;

constexpr int kVolume = 10000016;      // instantaneous volume (m³), storage 0
constexpr int kMonthEnd = 10100016;    // the same, storage 1
constexpr int64_t kOctober = 46326;    // 31/10/2026 as days since 30/12/1899
constexpr int64_t kNovember = 46356;   // 30/11/2026

void Put32(std::vector<uint8_t>& d, uint32_t v) {
  for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A date of type G (2000 + year).
void PutDate(std::vector<uint8_t>& d, int year, int month, int day) {
  d.push_back(static_cast<uint8_t>(((year & 7) << 5) | day));
  d.push_back(static_cast<uint8_t>(((year >> 3) << 4) | month));
}

// One telegram: the volume, the storage 1 volume with its date, the error
// flags and the header's status byte.
mbussim::Telegram Telegram(uint32_t volume, uint32_t monthEnd, int month, uint8_t status, uint8_t flags,
                          int year = 26) {
  std::vector<uint8_t> d = {0x78, 0x56, 0x34, 0x12, 0x2D, 0x2C, 0x01, 0x07, 0x10, status, 0x00, 0x00};
  d.insert(d.end(), {0x04, 0x16});
  Put32(d, volume);
  d.insert(d.end(), {0x44, 0x16});
  Put32(d, monthEnd);
  d.insert(d.end(), {0x42, 0x6C});
  PutDate(d, year, month, month == 10 ? 31 : 30);
  d.insert(d.end(), {0x01, 0xFD, 0x17, flags});
  return mbus::MbusFrame::Long(mbus::MbusFrame::kRspUd, 0, 0x72, d);
}

class MbusEndToEndTest : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override {
    Stop();
    if (HasFailure())
      for (const auto& l : log.Lines()) std::cerr << "  log: " << l << "\n";
  }
  void Start() {
    cwd_ = std::make_unique<inst::ScopedChdir>(work.Path());
    thread = std::make_unique<KxLoadThread>(&log, db.Params());
  }
  void Stop() {
    if (!thread) return;
    thread->Terminate();
    thread->WaitFor();
    thread.reset();
    cwd_.reset();
  }
  void AddMeter(int equipId, long long addr1, const std::vector<int>& channels) {
    inst::AddEquipamento(db, equipId, 3, addr1, kNull, "Medidor " + std::to_string(equipId));
    for (size_t i = 0; i < channels.size(); ++i)
      inst::AddCanal(db, equipId * 10 + static_cast<int>(i), equipId, channels[i], 1, 900 + static_cast<int>(i),
                     "Canal " + std::to_string(i));
  }
  int64_t Int(const std::string& sql) {
    try {
      return db.QueryInt(sql);
    } catch (const std::exception&) {
      return -1;
    }
  }
  std::vector<std::pair<int64_t, double>> Rows(int canal) {
    std::vector<std::pair<int64_t, double>> out;
    try {
      FbConnection conn(db.Params());
      FbTransaction tr(conn, {});
      tr.StartTransaction();
      FbQuery q(conn, tr,
                "select DATA, VALOR from HISTORICOS_H where CANAL_ID = " + std::to_string(canal) +
                    " order by DATA, VALOR");
      for (q.ExecQuery(); !q.Eof(); q.Next())
        out.push_back({fb::FromDateTime(q.FieldByName("DATA").AsDateTime()), q.FieldByName("VALOR").AsDouble()});
      q.Close();
      tr.Commit();
    } catch (const std::exception&) {
    }
    return out;
  }
  // The texts of the alarms `where` selects, oldest first, each followed by |.
  std::string Texts(const std::string& where) {
    std::string out;
    FbConnection conn(db.Params());
    FbTransaction tr(conn, {});
    tr.StartTransaction();
    FbQuery q(conn, tr, "select TEXTO from ALARMES where " + where + " order by DATA, CLASSE");
    for (q.ExecQuery(); !q.Eof(); q.Next()) out += q.FieldByName("TEXTO").AsString() + "|";
    q.Close();
    tr.Commit();
    return out;
  }
  int Lines(const std::string& part) {
    const auto lines = log.Lines();
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; }));
  }
  std::vector<fb::JournalRecord> Journal(int equipId) {
    return fb::SampleJournal::ReadAll(work.File("MbusJournal/equip-" + std::to_string(equipId) + ".jrn"));
  }

  TestDatabase db;
  inst::WorkDir work;
  kit::CaptureLog log{work.File("Telvane.log")};
  std::unique_ptr<inst::ScopedChdir> cwd_;
  std::unique_ptr<KxLoadThread> thread;
};

TEST_P(MbusEndToEndTest, SamplesCertifiedValuesAndAlarmsAreStoredOnceAlsoAcrossARestart) {
  std::unique_ptr<proc::TempDir> ptys;
  std::unique_ptr<proc::Child> socat;
  std::unique_ptr<mbussim::MbusSimLine> sim;
  std::string configs = "period_s=2; timeout_ms=300; retries=1";
  if (GetParam()) {
    sim = mbussim::MbusSimLine::Tcp(0);
    configs += "; host=127.0.0.1; port=" + std::to_string(sim->Port());
  } else {
    ptys = std::make_unique<proc::TempDir>("telvane-mbus");
    proc::ChildOptions options;
    options.args = {"pty,raw,echo=0,link=" + (*ptys / "bus"), "pty,raw,echo=0,link=" + (*ptys / "meters")};
    socat = std::make_unique<proc::Child>("/usr/bin/socat", options, ptys->Path());
    ASSERT_TRUE(proc::WaitUntil([&] { return proc::FileExists(*ptys / "bus") && proc::FileExists(*ptys / "meters"); }));
    sim = mbussim::MbusSimLine::Serial(*ptys / "meters");
    configs += "; device=" + (*ptys / "bus") + "; baud=2400";
  }
  // Meter 12: reading k has volume 1000 + k; storage 1 is October's 500
  // (corrected to 550 at readings 2-3, which must not be followed), then
  // November's 600; power low at readings 6-8, error flag bit 1 at 7-9.
  mbussim::MeterSetup m12;
  m12.primary = 5;
  for (uint32_t k = 0; k < 400; ++k) {
    const bool october = k < 4;
    m12.answers.push_back({Telegram(1000 + k, october ? (k >= 2 ? 550 : 500) : 600, october ? 10 : 11,
                                    k >= 6 && k <= 8 ? 0x04 : 0x00, k >= 7 && k <= 9 ? 0x02 : 0x00)});
  }
  sim->AddMeter(m12);
  mbussim::MeterSetup m13;
  m13.primary = 6;
  m13.id = 0x33333333;
  m13.answers = {{Telegram(7, 0, 11, 0, 0)}};
  sim->AddMeter(m13);

  inst::AddInterface(db, 1, "Linha M-Bus", "libMbusInterface.so", configs);
  inst::AddDriver(db, 3, 1, "libMbusMeter.so");
  inst::AddVariavel(db, 1, "E", "Volume");
  AddMeter(12, 112345678, {kVolume, kMonthEnd});
  AddMeter(13, 6, {kVolume});
  AddMeter(14, 7, {kVolume});
  AddMeter(15, 251, {kVolume});

  Start();
  ASSERT_TRUE(WaitUntil([&] { return Rows(130).size() >= 2; }, 60s));
  // Meter 13 answers garbage for a while: no sample, one line, one alarm pair.
  const int64_t garbageFrom = fb::LocalNowMs();
  sim->SetGarbage(6, true);
  ASSERT_TRUE(WaitUntil([&] { return Int("select STATUS from STATUS_EQUIPS where EQUIP_ID = 13") == 3; }, 30s));
  std::this_thread::sleep_for(4s);
  const int64_t garbageTo = fb::LocalNowMs();
  sim->SetGarbage(6, false);
  ASSERT_TRUE(WaitUntil([&] {
    return Int("select count(*) from ALARMES where EQUIP_ID = 13 and CLASSE = 21") == 1 &&
           Int("select count(*) from ALARMES where EQUIP_ID = 12 and CLASSE = 31") == 2 &&
           Rows(121).size() == 2;
  }, 60s));
  Stop();
  std::this_thread::sleep_for(4s);
  const size_t before = Rows(120).size();
  Start();
  ASSERT_TRUE(WaitUntil([&] { return Rows(120).size() >= before + 3; }, 60s));
  Stop();

  // Every sample of the journal stored once, at its boundary's minute; one
  // taken just before the stop may come again after it, nothing else.
  std::map<double, int64_t> sampled;
  for (const auto& r : Journal(12))
    if (r.type == 'S' && r.key == kVolume) {
      float v = 0;
      std::memcpy(&v, &r.data, sizeof v);
      EXPECT_EQ(r.dateMs % 2000, 0);
      EXPECT_TRUE(sampled.emplace(v, r.dateMs).second) << v;
    }
  std::map<double, int> stored;
  for (const auto& [data, value] : Rows(120)) {
    ++stored[value];
    ASSERT_TRUE(sampled.count(value)) << value;
    EXPECT_EQ(data, fb::ZeroSecondsMs(sampled[value]));
  }
  int repeated = 0;
  for (const auto& [value, n] : stored) repeated += n - 1;
  EXPECT_LE(repeated, 1);
  EXPECT_GE(stored.size() + 1, sampled.size());

  // The month-end values once each, dated by the meter, the correction not followed.
  EXPECT_EQ(Rows(121), (std::vector<std::pair<int64_t, double>>{{kOctober * fb::kMsPerDay, 500},
                                                                 {kNovember * fb::kMsPerDay, 600}}));
  // The conditions in pairs.
  EXPECT_EQ(Texts("EQUIP_ID = 12 and CLASSE in (30, 31)"),
            "Alarme do medidor: energia baixa|Alarme do medidor: sinalizador de erro do medidor, bit 1|"
            "Fim do alarme do medidor: energia baixa|"
            "Fim do alarme do medidor: sinalizador de erro do medidor, bit 1|");
  EXPECT_EQ(Int("select count(*) from ALARMES where EQUIP_ID = 12 and CLASSE in (2, 20)"), 0);

  // The garbage: one line for the run and one when it ended, no sample in it.
  EXPECT_EQ(Lines("MbusMeter [13]: resposta inválida"), 1);
  EXPECT_EQ(Lines("MbusMeter [13]: fim das respostas inválidas"), 1);
  for (const auto& r : Journal(13))
    if (r.type == 'S') {
      EXPECT_FALSE(r.dateMs > garbageFrom + 2000 && r.dateMs < garbageTo - 2000) << r.dateMs;
    }
  EXPECT_EQ(Int("select count(*) from ALARMES where EQUIP_ID = 13 and CLASSE = 20 and TEXTO starting "
                "'Falha de leitura: resposta inválida'"),
            1);
  EXPECT_EQ(db.QueryString("select TEXTO from ALARMES where EQUIP_ID = 13 and CLASSE = 21"), "Leitura normalizada");

  // The meter that is not there backs off while the others answer.
  EXPECT_GE(Lines("MbusMeter [14]: medidor sem resposta: consultado a cada 2 períodos"), 1);
  EXPECT_TRUE(Rows(140).empty());
  // A wrong row is refused with what is wrong.
  EXPECT_GE(Lines("endereço M-Bus 251 inválido (DRV_ADDR1"), 1);
}

// The driver package alone, as the service loads it, on the simulated line:
// rows it must refuse, and month-end dates the journal must not keep (one
// that went back, one ahead of the computer's clock), and a line silent as
// a whole, which backs off nobody.
TEST(MbusMeterPackage, WrongRowsAreRefusedDatesBackOrAheadNotKeptAndASilentLineBacksOffNobody) {
  auto sim = mbussim::MbusSimLine::Tcp(0);
  mbussim::MeterSetup meter;
  meter.primary = 5;
  meter.answers = {{Telegram(1, 600, 11, 0, 0)}, {Telegram(2, 500, 10, 0, 0)}, {Telegram(3, 700, 11, 0, 0, 27)}};
  sim->AddMeter(meter);
  proc::TempDir dir;
  inst::ScopedChdir cwd(dir.Path());
  kit::PackageLog log;
  KxListaInterfaces interfaces;
  KxListaDrivers drivers;
  const std::string configs = "host=127.0.0.1; port=" + std::to_string(sim->Port()) + "; period_s=1; timeout_ms=300";
  KxInterface* line = interfaces.AddInterface(1, std::string(TELVANE_PACKAGES_DIR) + "/libMbusInterface.so", &log,
                                              reinterpret_cast<const uint8_t*>(configs.data()),
                                              static_cast<int32_t>(configs.size()));
  ASSERT_NE(line, nullptr);
  KxDriver* driver = drivers.AddDriver(std::string(TELVANE_PACKAGES_DIR) + "/libMbusMeter.so", 3, line);
  ASSERT_NE(driver, nullptr);
  auto channels = [](std::vector<int> indexes) {
    auto* canais = new KxListaCanais();
    for (size_t i = 0; i < indexes.size(); ++i) canais->AddCanal(100 + static_cast<int>(i), indexes[i], nullptr, 0, 0);
    return canais;
  };
  auto refusal = [&](int addr1, int addr2, std::vector<int> indexes) {
    try {
      delete driver->CreateEquipamento(12, addr1, addr2, channels(std::move(indexes)), &log);
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("criado");
  };
  EXPECT_EQ(refusal(0, 0, {kVolume}), "MbusMeter [12]: endereço M-Bus 0 inválido (DRV_ADDR1: endereço primário de 1 "
                                      "a 250, ou 1 seguido dos 8 dígitos do número de identificação, por exemplo "
                                      "112345678)");
  EXPECT_NE(refusal(212345678, 0, {kVolume}).find("endereço M-Bus 212345678 inválido"), std::string::npos);
  EXPECT_EQ(refusal(5, 1441, {kVolume}), "MbusMeter [12]: período 1441 inválido (DRV_ADDR2: minutos, de 1 a 1440; 0 = 15)");
  EXPECT_NE(refusal(5, 0, {kVolume, 12}).find("canal 101: EQUIP_INDEX 12 inválido: "), std::string::npos);
  EXPECT_EQ(refusal(5, 0, {kVolume, 300000000 + kVolume}),
            "MbusMeter [12]: canal 101: EQUIP_INDEX 310000016: o mesmo registro já é lido por outro canal com outra "
            "escala");

  // November, then October (the meter's clock went back), then a November
  // a year ahead: November alone is kept.
  std::unique_ptr<KxEquipamento> m(driver->CreateEquipamento(12, 5, 0, channels({kVolume, kMonthEnd}), &log));
  ASSERT_TRUE(WaitUntil([&] { return sim->Readings(5) >= 5; }, 20s)) << log.All();
  TDateTime date = 0;
  float value = 0;
  ASSERT_EQ(m->ReadHistorico(kMonthEnd, 0, date, value), ReadOk);
  EXPECT_EQ(fb::FromDateTime(date), kNovember * fb::kMsPerDay);
  EXPECT_EQ(value, 600);
  EXPECT_EQ(m->ReadHistorico(kMonthEnd, date, date, value), ReadEnd);
  EXPECT_EQ(fb::SampleJournal::ReadAll(dir / "MbusJournal/equip-12-c10100016.jrn").size(), 1u);
  m.reset();
  line->Close();

  // A line on which nothing answers (a converter with its M-Bus side cut):
  // its meter is asked at every boundary, it does not back off.
  auto empty = mbussim::MbusSimLine::Tcp(0);
  const std::string silent = "host=127.0.0.1; port=" + std::to_string(empty->Port()) + "; period_s=1; timeout_ms=100; retries=0";
  KxInterface* line2 = interfaces.AddInterface(2, std::string(TELVANE_PACKAGES_DIR) + "/libMbusInterface.so", &log,
                                               reinterpret_cast<const uint8_t*>(silent.data()),
                                               static_cast<int32_t>(silent.size()));
  KxDriver* driver2 = drivers.AddDriver(std::string(TELVANE_PACKAGES_DIR) + "/libMbusMeter.so", 4, line2);
  std::unique_ptr<KxEquipamento> alone(driver2->CreateEquipamento(14, 9, 0, channels({kVolume}), &log));
  std::this_thread::sleep_for(5s);
  alone.reset();
  EXPECT_EQ(log.Count("MbusMeter [14]: Falha de leitura: sem resposta"), 1) << log.All();
  EXPECT_EQ(log.Count("MbusMeter [14]: medidor sem resposta"), 0) << log.All();
  line2->Close();
}

INSTANTIATE_TEST_SUITE_P(Line, MbusEndToEndTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Tcp" : "Pty"; });

}  // namespace
