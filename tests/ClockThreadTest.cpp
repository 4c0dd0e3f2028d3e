// The periodic clock update thread, on a fake clock: each test releases the
// thread's pauses one check at a time and sets the time of every check.
#include <gtest/gtest.h>

#include <chrono>

#include "acquisition/KxAlarmLog.h"
#include "clock/KxAtualizacaoRelogioThread.h"
#include "database/TmodDatabase.h"
#include "model/KxBuildingData.h"
#include "support/FakeClock.h"
#include "support/TestDatabase.h"
#include "support/ThreadTestKit.h"

namespace {

using kit::CaptureLog;
using kit::FakeEquip;
using kit::RecordingAlarmLog;
using kit::TempDir;

const char kTrigger[] = "RTCThread: atualização periódica de relógios iniciada!";
const char kAlarm[] = "Atualização periódica de relógios iniciada!";

class ClockThreadTest : public ::testing::Test {
 protected:
  ClockThreadTest() : log(dir.File("Telvane.log")), building(&log) {
    for (int id : {3, 1, 2}) {
      auto* e = new FakeEquip(id, new KxListaCanais());
      equips.push_back(e);
      building.ListaEquipamentos->Add(e);
    }
    clock.SetManual(true);
  }
  ~ClockThreadTest() override { Stop(); }

  void StartThread(TDateTime firstCheck, KxCustomLog* alarmLog = nullptr) {
    clock.Set(firstCheck);
    thread = std::make_unique<KxAtualizacaoRelogioThread>(&building, &log,
                                                           alarmLog ? alarmLog : &alarms, clock);
    ASSERT_TRUE(clock.WaitBlocked());
  }
  // Lets the thread finish its 60 x 1000 ms pause and make its next check at `at`.
  void CheckAt(TDateTime at) {
    clock.Set(at);
    clock.Release(KxAtualizacaoRelogioThread::kPauseSteps);
    ASSERT_TRUE(clock.WaitBlocked());
  }
  int Raised() {
    int n = 0;
    for (auto* e : equips) n += e->RelogioPendente ? 1 : 0;
    return n;
  }
  void Lower() {
    for (auto* e : equips) e->RelogioPendente = false;
  }
  void Stop() {
    if (!thread) return;
    thread->Terminate();
    thread->WaitFor();
    thread.reset();
  }

  TempDir dir;
  CaptureLog log;
  KxBuildingData building;
  std::vector<FakeEquip*> equips;  // owned by the building
  RecordingAlarmLog alarms;
  FakeClock clock;
  std::unique_ptr<KxAtualizacaoRelogioThread> thread;
};

TEST_F(ClockThreadTest, TriggersOnlyAtTheFirstCheckOfMinuteZeroOfHoursZeroAndTwelve) {
  struct Check {
    TDateTime at;
    bool triggers;
  };
  const Check checks[] = {
      {dt::EncodeDateTime(2016, 3, 16, 12, 0, 0), true},         // first check after 11:59:30
      {dt::EncodeDateTime(2016, 3, 16, 12, 0, 45), false},       // same minute: done
      {dt::EncodeDateTime(2016, 3, 16, 12, 1, 0), false},        // clears done
      {dt::EncodeDateTime(2016, 3, 16, 13, 0, 0), false},        // minute 0 of another hour
      {dt::EncodeDateTime(2016, 3, 16, 6, 0, 30), false},
      {dt::EncodeDateTime(2016, 3, 16, 23, 59, 59, 999), false},
      {dt::EncodeDateTime(2016, 3, 17, 0, 0, 59, 999), true},    // last millisecond of 00:00
      {dt::EncodeDateTime(2016, 3, 17, 0, 1, 0), false},
      {dt::EncodeDateTime(2016, 3, 17, 12, 0, 20), true},
  };
  StartThread(dt::EncodeDateTime(2016, 3, 16, 11, 59, 30));
  EXPECT_EQ(0, Raised());
  EXPECT_TRUE(alarms.Alarms().empty());
  EXPECT_EQ(0, log.Count(kTrigger));

  int triggered = 0;
  for (const Check& c : checks) {
    SCOPED_TRACE(dt::FormatLong(c.at));
    Lower();
    CheckAt(c.at);
    if (c.triggers) ++triggered;
    EXPECT_EQ(c.triggers ? 3 : 0, Raised());
    EXPECT_EQ(triggered, log.Count(kTrigger));
    const auto got = alarms.Alarms();
    ASSERT_EQ(static_cast<size_t>(triggered), got.size());
    if (c.triggers) {
      EXPECT_EQ(1000, got.back().classe);
      EXPECT_EQ(kAlarm, got.back().texto);
      EXPECT_EQ(-1, got.back().equipId);
      EXPECT_EQ(dt::ToMSecs(c.at), dt::ToMSecs(got.back().data));
    }
  }
  // Every pause is made of 1000 ms steps.
  for (unsigned ms : clock.SleepLog()) EXPECT_EQ(1000u, ms);

  Stop();
  const auto lines = log.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("RTCThread: Iniciada!", lines.front());
  EXPECT_EQ("RTCThread: Finalizada!", lines.back());
}

TEST_F(ClockThreadTest, AlarmCarriesTheTimeReadAgainAndStartInsideTriggerMinuteTriggers) {
  clock.SetNowStep(7);  // every read of the time is 7 ms after the previous one
  const TDateTime start = dt::EncodeDateTime(2016, 3, 16, 0, 0, 30);
  StartThread(start);
  const auto got = alarms.Alarms();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(dt::ToMSecs(start) + 7, dt::ToMSecs(got[0].data));
  EXPECT_EQ(3, Raised());
}

TEST_F(ClockThreadTest, AnErrorIsLoggedWaitsOneSecondAndTheSameMinuteTriesAgain) {
  alarms.SetRaise("falha simulada");
  StartThread(dt::EncodeDateTime(2016, 3, 16, 12, 0, 5));
  // The alarm raised before the requests were raised: nothing marked.
  EXPECT_EQ(0, Raised());
  EXPECT_EQ(1, log.Count("RTCThread: falha simulada"));
  EXPECT_EQ(std::vector<unsigned>{KxAtualizacaoRelogioThread::kErrorPause}, clock.SleepLog());

  // After the error pause the next check, still in 12:00, tries again.
  clock.Set(dt::EncodeDateTime(2016, 3, 16, 12, 0, 7));
  alarms.SetRaise("");
  clock.Release(1);
  ASSERT_TRUE(clock.WaitBlocked());
  EXPECT_EQ(3, Raised());
  EXPECT_EQ(1u, alarms.Alarms().size());
  EXPECT_EQ(2, log.Count(kTrigger));
}

TEST_F(ClockThreadTest, StopDuringThePauseEndsTheThreadAtOnce) {
  StartThread(dt::EncodeDateTime(2016, 3, 16, 9, 0, 0));
  clock.Release(10);  // ten seconds into the pause
  ASSERT_TRUE(clock.WaitBlocked());
  const auto t0 = std::chrono::steady_clock::now();
  Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(11u, clock.SleepLog().size());  // no further step after the request
  EXPECT_EQ("RTCThread: Finalizada!", log.Lines().back());
}

TEST_F(ClockThreadTest, MarkClocksForUpdateRaisesEveryRequest) {
  StartThread(dt::EncodeDateTime(2016, 3, 16, 9, 0, 0));
  thread->MarkClocksForUpdate();
  EXPECT_EQ(3, Raised());
}

TEST(ClockThreadDatabase, AnEmptyInstallationStillLogsAndStoresTheAlarm) {
  TestDatabase db;
  TempDir dir;
  CaptureLog log(dir.File("Telvane.log"));
  TmodDatabase mod(db.Params());
  KxAlarmLog alarmLog(&log, &mod);
  KxBuildingData building(&log, &mod);
  FakeClock clock(dt::EncodeDateTime(2016, 3, 16, 12, 0, 17, 250));
  clock.SetManual(true);
  KxAtualizacaoRelogioThread thread(&building, &log, &alarmLog, clock);
  ASSERT_TRUE(clock.WaitBlocked());
  thread.Terminate();
  thread.WaitFor();
  EXPECT_EQ(1, log.Count(kTrigger));
  EXPECT_EQ(1, db.QueryInt("select count(*) from ALARMES where EQUIP_ID is null and CLASSE = 1000 "
                           "and DATA = '2016-03-16 12:00:17.250' and TEXTO = " +
                           std::string("'") + kAlarm + "'"));
  EXPECT_EQ("RTCThread: Finalizada!", log.Lines().back());
}

}  // namespace
