// The simulated meter as the acquisition and online threads use it: backlog,
// records from a meter running ahead, faults on demand and concurrent calls.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "model/KxListaEquipamentos.h"
#include "packages/sim/SimMeterControl.h"
#include "platform/DateTime.h"
#include "platform/Text.h"
#include "plugins/KxListaDrivers.h"
#include "plugins/KxListaInterfaces.h"

namespace {

std::string Pkg(const std::string& file) { return std::string(TELVANE_PACKAGES_DIR) + "/" + file; }

template <typename Proc>
Proc Fn(const char* file, const char* name) {
  void* handle = dlopen(Pkg(file).c_str(), RTLD_NOW | RTLD_LOCAL);  // kept loaded
  if (handle == nullptr) throw std::runtime_error(dlerror());
  void* fn = dlsym(handle, name);
  if (fn == nullptr) throw std::runtime_error(std::string("missing ") + name);
  return reinterpret_cast<Proc>(fn);
}

class RecordingLog : public KxPackageLog {
 public:
  void WriteLine(const std::u16string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(text::FromUtf16(text));
  }
  bool Has(const std::string& part) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& line : lines_)
      if (line.find(part) != std::string::npos) return true;
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TDateTime At(int y, int mo, int d, int h, int mi, int s = 0) { return dt::EncodeDateTime(y, mo, d, h, mi, s); }

// Same instant to the millisecond.
bool Same(TDateTime a, TDateTime b) { return dt::ToMSecs(a) == dt::ToMSecs(b); }

struct Record {
  int code;
  TDateTime date;
  float value;
};

class SimMeterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    control = Fn<SimMeter_ControlProc>("libSimMeter.so", "SimMeter_Control");
    controlAll = Fn<SimMeter_ControlAllProc>("libSimMeter.so", "SimMeter_ControlAll");
    reset = Fn<SimMeter_ResetProc>("libSimMeter.so", "SimMeter_Reset");
    clock = Fn<SimMeter_ClockProc>("libSimMeter.so", "SimMeter_Clock");
    historyStart = Fn<SimMeter_HistoryStartProc>("libSimMeter.so", "SimMeter_HistoryStart");
    historyCount = Fn<SimMeter_HistoryCountProc>("libSimMeter.so", "SimMeter_HistoryCount");
    getRecords = Fn<SimMeter_GetRecordsProc>("libSimMeter.so", "SimMeter_GetRecords");
    getAlarms = Fn<SimMeter_GetAlarmsProc>("libSimMeter.so", "SimMeter_GetAlarms");
    getAlarmText = Fn<SimMeter_GetAlarmTextProc>("libSimMeter.so", "SimMeter_GetAlarmText");
    stat = Fn<SimMeter_StatProc>("libSimMeter.so", "SimMeter_Stat");
    interfaceControl = Fn<SimInterface_ControlProc>("libSimInterface.so", "SimInterface_Control");
  }

  void SetUp() override {
    reset();
    ASSERT_EQ(controlAll("now=2016-03-16 12:07:00"), 0);
    now = At(2016, 3, 16, 12, 7);
    drivers.AddDriver(Pkg("libSimMeter.so"), 1, nullptr);
  }

  void TearDown() override {
    equips.Clear();
    drivers.Clear();
    interfaces.Clear();
    reset();
  }

  // A meter on driver `driver` (0: the one without an interface), then `settings`.
  KxEquipamento* Make(int32_t id, const std::string& settings = "", int32_t addr1 = 0,
                      int32_t addr2 = 0, int driver = 0) {
    auto* canais = new KxListaCanais();
    canais->AddCanal(id * 10, 0, nullptr, 0, 0);
    canais->AddCanal(id * 10 + 1, 1, nullptr, 0, 0);
    KxEquipamento* e = drivers.Items(driver)->CreateEquipamento(id, addr1, addr2, canais, &log);
    if (e == nullptr) {
      delete canais;
      throw std::runtime_error("no meter");
    }
    equips.Add(e);
    if (!settings.empty()) {
      EXPECT_EQ(control(id, settings.c_str()), 0) << settings;
    }
    return e;
  }

  // The acquisition loop over one channel: records the service accepts move
  // the from-date on; refused (future) and invalid ones leave it.
  std::vector<Record> Drain(KxEquipamento* e, int32_t index, TDateTime& from,
                            const std::function<bool(TDateTime)>& accept = nullptr) {
    std::vector<Record> out;
    for (int guard = 0; guard < 100000; ++guard) {
      Record r{0, -1, -1};
      r.code = e->ReadHistorico(index, from, r.date, r.value);
      out.push_back(r);
      if (r.code == ReadOk && (!accept || accept(r.date))) from = r.date;
      if (r.code != ReadOk && r.code != ReadInvalid) return out;
    }
    ADD_FAILURE() << "the meter never ended";
    return out;
  }

  static inline SimMeter_ControlProc control;
  static inline SimMeter_ControlAllProc controlAll;
  static inline SimMeter_ResetProc reset;
  static inline SimMeter_ClockProc clock;
  static inline SimMeter_HistoryStartProc historyStart;
  static inline SimMeter_HistoryCountProc historyCount;
  static inline SimMeter_GetRecordsProc getRecords;
  static inline SimMeter_GetAlarmsProc getAlarms;
  static inline SimMeter_GetAlarmTextProc getAlarmText;
  static inline SimMeter_StatProc stat;
  static inline SimInterface_ControlProc interfaceControl;

  TDateTime now = 0;
  RecordingLog log;
  // Declared so that equipment go first, then drivers, then interfaces.
  KxListaInterfaces interfaces;
  KxListaDrivers drivers;
  KxListaEquipamentos equips;
};

TEST_F(SimMeterTest, DeliversItsBacklogInOrderThenReadEnd) {
  KxEquipamento* e = Make(4001, "backlog_records=10");
  EXPECT_TRUE(Same(historyStart(4001), At(2016, 3, 16, 9, 45)));
  EXPECT_EQ(historyCount(4001, 0, 0, 1e6), 10);
  double dates[16];
  float values[16];
  ASSERT_EQ(getRecords(4001, 0, 0, 16, dates, values), 10);

  TDateTime from = dt::EncodeDate(2000, 1, 1);
  std::vector<Record> got = Drain(e, 0, from);
  ASSERT_EQ(got.size(), 11u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(got[i].code, ReadOk);
    EXPECT_TRUE(Same(got[i].date, At(2016, 3, 16, 9, 45) + i * dt::EncodeTime(0, 15, 0, 0))) << i;
    EXPECT_EQ(got[i].date, dates[i]);
    EXPECT_EQ(got[i].value, values[i]);
    if (i > 0) {
      EXPECT_GT(got[i].value, got[i - 1].value);
    }
  }
  EXPECT_EQ(got.back().code, ReadEnd);
  EXPECT_TRUE(Same(from, At(2016, 3, 16, 12, 0)));
  // Nothing new until time passes.
  EXPECT_EQ(Drain(e, 0, from).size(), 1u);
  ASSERT_EQ(control(4001, "advance_min=15"), 0);
  got = Drain(e, 0, from);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(Same(got[0].date, At(2016, 3, 16, 12, 15)));
  // Channels have values of their own; the same meter id gives the same values.
  TDateTime other = 0;
  const std::vector<Record> channel1 = Drain(e, 1, other);
  ASSERT_EQ(channel1.size(), 12u);
  EXPECT_NE(channel1[0].value, values[0]);
  Make(4001);
  EXPECT_EQ(historyCount(4001, 0, 0, 1e6), 11);  // the first meter with that id answers
}

TEST_F(SimMeterTest, MeterAheadDeliversFutureRecordsUntilItsClockIsSet) {
  KxEquipamento* e = Make(4002, "history_start=2016-03-16 11:00\nclock_offset_hours=6");
  EXPECT_TRUE(Same(clock(4002), At(2016, 3, 16, 18, 7)));
  // The service refuses records 5 or more whole hours ahead and asks again
  // with the same from-date: the meter must move on by itself.
  auto notFuture = [&](TDateTime d) { return dt::HoursBetween(now, d) < 5; };
  TDateTime from = 0;
  std::vector<Record> got = Drain(e, 0, from, notFuture);
  ASSERT_EQ(got.size(), 30u);  // 11:00 .. 18:00, then ReadEnd
  EXPECT_TRUE(Same(got[28].date, At(2016, 3, 16, 18, 0)));
  EXPECT_EQ(got.back().code, ReadEnd);
  EXPECT_TRUE(Same(from, At(2016, 3, 16, 17, 0)));
  // The next visit, before the clock is set, is offered them again.
  TDateTime date = 0;
  float value = 0;
  ASSERT_EQ(e->ReadHistorico(0, from, date, value), ReadOk);
  EXPECT_TRUE(Same(date, At(2016, 3, 16, 17, 15)));

  ASSERT_EQ(e->SetRelogio(), 0);
  EXPECT_TRUE(Same(clock(4002), now));
  EXPECT_EQ(Drain(e, 0, from, notFuture).back().code, ReadEnd);
  EXPECT_EQ(Drain(e, 0, from, notFuture).size(), 1u);
  ASSERT_EQ(control(4002, "advance_min=310"), 0);  // 17:17
  now += 310.0 / 1440;
  got = Drain(e, 0, from, notFuture);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(Same(got[0].date, At(2016, 3, 16, 17, 15)));
}

TEST_F(SimMeterTest, InvalidRecordsAreSkippedAndTheMeterMovesOn) {
  KxEquipamento* e = Make(4003, "backlog_records=5\ninvalid_history=2");
  TDateTime from = 0;
  std::vector<Record> got = Drain(e, 0, from);
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0].code, ReadInvalid);
  EXPECT_EQ(got[1].code, ReadInvalid);
  EXPECT_TRUE(Same(got[2].date, historyStart(4003) + dt::EncodeTime(0, 30, 0, 0)));
  EXPECT_EQ(got[4].code, ReadOk);
  EXPECT_EQ(got[5].code, ReadEnd);
  EXPECT_EQ(stat(4003, "history_invalid"), 2);
  EXPECT_EQ(stat(4003, "history_ok"), 3);
}

enum class Op { History, Alarm, Clock, Version, Online };

int Call(KxEquipamento* e, Op op) {
  TDateTime date = 0;
  float value = 0;
  std::u16string text;
  int32_t classe = 0;
  std::vector<std::u16string> names, values;
  switch (op) {
    case Op::History: return e->ReadHistorico(0, 0, date, value);
    case Op::Alarm: return e->ReadAlarme(0, date, text, classe);
    case Op::Clock: return e->SetRelogio();
    case Op::Version: return e->ReadVersao(text);
    case Op::Online: return e->ReadOnline(names, values);
  }
  return -1;
}

constexpr int kThrows = -1000;

TEST_F(SimMeterTest, FaultsOnDemandHitTheNextCallsOnly) {
  struct Case {
    const char* settings;
    Op op;
    int expected;  // kThrows: raises
    int times;
    int afterwards;
  };
  const Case cases[] = {
      {"fail_history=1", Op::History, 1, 1, ReadOk},
      {"fail_code=7\nfail_history=2", Op::History, 7, 2, ReadOk},
      {"throw_history=1", Op::History, kThrows, 1, ReadOk},
      {"fail_alarm=1", Op::Alarm, 1, 1, ReadOk},
      {"throw_alarm=1", Op::Alarm, kThrows, 1, ReadOk},
      {"invalid_alarm=1", Op::Alarm, ReadInvalid, 1, ReadOk},
      {"refuse_clock=2", Op::Clock, 1, 2, 0},
      {"throw_clock=1", Op::Clock, kThrows, 1, 0},
      {"fail_version=1", Op::Version, 1, 1, 0},
      {"throw_version=1", Op::Version, kThrows, 1, 0},
      {"fail_online=1", Op::Online, 1, 1, 0},
      {"throw_online=1", Op::Online, kThrows, 1, 0},
      {"fail_history=-1", Op::History, 1, 5, 1},  // for ever
  };
  int32_t id = 4100;
  for (const Case& c : cases) {
    KxEquipamento* e = Make(++id, std::string("history_start=2016-03-15 00:00\n") +
                                      c.settings);
    for (int i = 0; i < c.times; ++i) {
      if (c.expected == kThrows) {
        try {
          Call(e, c.op);
          ADD_FAILURE() << c.settings << ": did not raise";
        } catch (const std::runtime_error& err) {
          EXPECT_NE(std::string(err.what()).find("SimMeter [" + std::to_string(id) + "]"),
                    std::string::npos);
        }
      } else {
        EXPECT_EQ(Call(e, c.op), c.expected) << c.settings;
      }
    }
    EXPECT_EQ(Call(e, c.op), c.afterwards) << c.settings;
  }
  // A refused clock update leaves the meter ahead.
  KxEquipamento* ahead = Make(4199, "clock_offset_hours=6\nrefuse_clock=1");
  EXPECT_EQ(ahead->SetRelogio(), 1);
  EXPECT_TRUE(Same(clock(4199), At(2016, 3, 16, 18, 7)));
  EXPECT_EQ(ahead->SetRelogio(), 0);
  EXPECT_TRUE(Same(clock(4199), now));
}

TEST_F(SimMeterTest, BadDataOnDemand) {
  KxEquipamento* e = Make(4201, "backlog_records=3\nbad_history=nan_date\nbad_history=year1\n"
                                "bad_history=year9999\nbad_history=nan_value");
  TDateTime date = 0;
  float value = 0;
  ASSERT_EQ(e->ReadHistorico(0, 0, date, value), ReadOk);
  EXPECT_TRUE(std::isnan(date));
  dt::DateTimeParts p;
  ASSERT_EQ(e->ReadHistorico(0, 0, date, value), ReadOk);
  ASSERT_TRUE(dt::Decode(date, p));
  EXPECT_EQ(p.year, 1);
  ASSERT_EQ(e->ReadHistorico(0, 0, date, value), ReadOk);
  ASSERT_TRUE(dt::Decode(date, p));
  EXPECT_EQ(p.year, 9999);
  // The injected records did not move the real history on.
  ASSERT_EQ(e->ReadHistorico(0, 0, date, value), ReadOk);
  EXPECT_TRUE(Same(date, historyStart(4201)));
  EXPECT_TRUE(std::isnan(value));
  ASSERT_EQ(e->ReadHistorico(0, date, date, value), ReadOk);
  EXPECT_FALSE(std::isnan(value));

  KxEquipamento* a = Make(4202, "history_start=2016-03-15 00:00\nbad_alarm=long_text\n"
                                "bad_alarm=empty_text\nbad_alarm=note_text\nbad_alarm=nan_date");
  std::u16string text;
  int32_t classe = 0;
  ASSERT_EQ(a->ReadAlarme(0, date, text, classe), ReadOk);
  EXPECT_TRUE(std::isnan(date));
  TDateTime from = 0;
  ASSERT_EQ(a->ReadAlarme(from, from, text, classe), ReadOk);
  EXPECT_EQ(text.size(), 100000u);
  ASSERT_EQ(a->ReadAlarme(from, from, text, classe), ReadOk);
  EXPECT_TRUE(text.empty());
  ASSERT_EQ(a->ReadAlarme(from, from, text, classe), ReadOk);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text[0], u'#');

  KxEquipamento* o = Make(4203, "bad_online=1");
  std::vector<std::u16string> names, values;
  ASSERT_EQ(o->ReadOnline(names, values), 0);
  EXPECT_GT(names.size(), values.size());
  names.clear();
  values.clear();
  ASSERT_EQ(o->ReadOnline(names, values), 0);
  ASSERT_EQ(names.size(), values.size());
  EXPECT_EQ(text::FromUtf16(names[0]), "Tensao");
  EXPECT_EQ(text::FromUtf16(values[3]), "16/03/2016 12:07:00");  // the meter's clock
}

TEST_F(SimMeterTest, AlarmsComeInDateOrderWithNotesAndEmptyTexts) {
  KxEquipamento* e = Make(4301, "history_start=2016-03-14 00:00\nalarm_interval_min=360\n"
                                "add_alarm=now|50|Alarme de teste");
  double dates[32];
  int32_t classes[32];
  const int n = getAlarms(4301, 0, 32, dates, classes);
  ASSERT_EQ(n, 11);  // 00:07:30, 06:07:30, ... up to 12:07:00 on the 16th, plus the added one
  TDateTime from = 0, date = 0;
  std::u16string text;
  int32_t classe = 0;
  bool sawNote = false, sawEmpty = false, sawAdded = false;
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(e->ReadAlarme(from, date, text, classe), ReadOk) << i;
    EXPECT_EQ(date, dates[i]);
    EXPECT_EQ(classe, classes[i]);
    if (i > 0) {
      EXPECT_GT(date, from);
    }
    char buf[64];
    EXPECT_EQ(getAlarmText(4301, date, buf, sizeof buf), static_cast<int32_t>(text::FromUtf16(text).size()));
    sawNote = sawNote || (!text.empty() && text[0] == u'#');
    sawEmpty = sawEmpty || text.empty();
    sawAdded = sawAdded || (classe == 50 && text == u"Alarme de teste");
    from = date;
  }
  EXPECT_EQ(e->ReadAlarme(from, date, text, classe), ReadEnd);
  EXPECT_TRUE(sawNote && sawEmpty && sawAdded);
  EXPECT_TRUE(Same(from, now));
}

TEST_F(SimMeterTest, StaticSettingsFromInterfaceConfigsAndAddresses) {
  const std::string configs =
      "interval_min=30\nequip.4401.record_second=42\nequip.4402.fail_history=-1\n"
      "latency_ms=0\nnonsense_key=1\nnow=2001-01-01\n";
  KxInterface* i = interfaces.AddInterface(44, Pkg("libSimInterface.so"), &log,
                                           reinterpret_cast<const uint8_t*>(configs.data()),
                                           static_cast<int32_t>(configs.size()));
  ASSERT_NE(i, nullptr);
  drivers.AddDriver(Pkg("libSimMeter.so"), 2, i);
  KxEquipamento* e = Make(4401, "", 2, 6, 1);  // 2 days of backlog, 6 hours ahead
  KxEquipamento* f = Make(4402, "", 0, 0, 1);
  EXPECT_TRUE(Same(clock(4401), At(2016, 3, 16, 18, 7)));
  EXPECT_EQ(historyCount(4401, 0, 0, 1e6), 96);
  TDateTime date = 0;
  float value = 0;
  ASSERT_EQ(e->ReadHistorico(0, 0, date, value), ReadOk);
  dt::DateTimeParts p;
  dt::Decode(date, p);
  EXPECT_EQ(p.second, 42);
  EXPECT_EQ(p.minute % 30, 0);
  EXPECT_EQ(f->ReadHistorico(0, 0, date, value), 1);
  EXPECT_EQ(f->ReadHistorico(0, 0, date, value), 1);
  EXPECT_TRUE(log.Has("configuração ignorada: nonsense_key=1"));
  EXPECT_TRUE(log.Has("configuração ignorada: now=2001-01-01"));  // tests only
  EXPECT_TRUE(Same(clock(4402), now));
}

TEST_F(SimMeterTest, InterfaceOffLineOrNotOpenFailsEveryOperation) {
  KxInterface* good = interfaces.AddInterface(45, Pkg("libSimInterface.so"), nullptr, nullptr, 0);
  const std::string failOpen = "fail_open=1";
  KxInterface* closed = interfaces.AddInterface(46, Pkg("libSimInterface.so"), nullptr,
                                                reinterpret_cast<const uint8_t*>(failOpen.data()),
                                                static_cast<int32_t>(failOpen.size()));
  drivers.AddDriver(Pkg("libSimMeter.so"), 2, good);
  drivers.AddDriver(Pkg("libSimMeter.so"), 3, closed);
  KxEquipamento* e = Make(4501, "backlog_records=2\nfail_code=9", 0, 0, 1);
  KxEquipamento* f = Make(4502, "", 0, 0, 2);
  EXPECT_EQ(Call(e, Op::History), ReadOk);
  ASSERT_EQ(interfaceControl(45, "offline=1"), 1);
  for (Op op : {Op::History, Op::Alarm, Op::Clock, Op::Version, Op::Online})
    EXPECT_EQ(Call(e, op), 9) << static_cast<int>(op);
  ASSERT_EQ(interfaceControl(45, "offline=0"), 1);
  EXPECT_EQ(Call(e, Op::History), ReadOk);
  EXPECT_EQ(Call(f, Op::History), 1);
  EXPECT_EQ(Call(f, Op::Online), 1);
}

TEST_F(SimMeterTest, OddFromDatesAndControlResults) {
  KxEquipamento* e = Make(4601, "backlog_records=4");
  TDateTime date = 0;
  float value = 0;
  for (double from : {std::nan(""), -1e300, -1e6}) {
    ASSERT_EQ(control(4601, "reset_cursors=1"), 0);
    ASSERT_EQ(e->ReadHistorico(0, from, date, value), ReadOk) << from;
    EXPECT_TRUE(Same(date, historyStart(4601)));
  }
  for (double from : {std::numeric_limits<double>::infinity(), 1e300, 3e6})
    EXPECT_EQ(e->ReadHistorico(0, from, date, value), ReadEnd) << from;
  EXPECT_EQ(control(4999, "fail_history=1"), -1);
  EXPECT_EQ(control(4601, "no_such_setting=1"), -2);
  EXPECT_EQ(control(4601, "now=garbage"), -2);
  EXPECT_EQ(control(4601, "interval_min=0"), -2);
  EXPECT_EQ(stat(4999, "history_calls"), -1);
  EXPECT_TRUE(std::isnan(clock(4999)));
}

// Run under TSan: the acquisition and online threads use one meter at once
// while a test changes its settings.
TEST_F(SimMeterTest, ConcurrentHistoryAndOnlineReads) {
  KxEquipamento* e = Make(4701, "backlog_records=200\nslow_ms=1\nalarm_interval_min=15");
  std::atomic<bool> stop{false};
  std::atomic<int> historyRecords{0}, onlineReads{0};
  std::thread acquisition([&] {
    while (!stop) {
      TDateTime from = 0, date = 0;
      float value = 0;
      std::u16string text;
      int32_t classe = 0;
      while (!stop && e->ReadHistorico(0, from, date, value) == ReadOk) {
        from = date;
        ++historyRecords;
      }
      from = 0;
      while (!stop && e->ReadAlarme(from, date, text, classe) == ReadOk) from = date;
      e->SetRelogio();
    }
  });
  std::thread online([&] {
    while (!stop) {
      std::vector<std::u16string> names, values;
      if (e->ReadOnline(names, values) == 0 && names.size() == values.size()) ++onlineReads;
    }
  });
  std::thread tester([&] {
    while (!stop) {
      control(4701, "clock_offset_min=1");
      stat(4701, "history_ok");
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  stop = true;
  acquisition.join();
  online.join();
  tester.join();
  EXPECT_GT(historyRecords.load(), 0);
  EXPECT_GT(onlineReads.load(), 0);
  EXPECT_GE(stat(4701, "max_concurrent"), 2);
}

}  // namespace
