// The online thread against a fresh database, with scripted equipment and a
// fake clock whose pauses last a twentieth of their length.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "model/KxBuildingData.h"
#include "online/KxOnlineThread.h"
#include "support/FakeClock.h"
#include "support/TestDatabase.h"
#include "support/ThreadTestKit.h"

namespace {

using kit::CaptureLog;
using kit::FakeEquip;
using kit::TempDir;
using kit::WaitUntil;

class OnlineThreadTest : public ::testing::Test {
 protected:
  OnlineThreadTest() : log(dir.File("Telvane.log")), building(&log) {
    for (int id : {7, 8}) {
      auto* e = new FakeEquip(id, new KxListaCanais());
      equips[id] = e;
      building.ListaEquipamentos->Add(e);
    }
    clock.SetRealDivisor(20);  // 5 s start: 250 ms; 1 s between passes: 50 ms
  }
  ~OnlineThreadTest() override { Stop(); }

  void Start() {
    thread = std::make_unique<KxOnlineThread>(&building, &log, db.OnlineParams(), clock);
  }
  void Stop() {
    if (!thread) return;
    thread->Terminate();
    thread->WaitFor();
    thread.reset();
  }
  void Request(int equip, const std::string& validade) {
    db.Exec("insert into ONLINE_EQUIPS (EQUIP_ID, VALIDADE) values (" + std::to_string(equip) +
            ", " + validade + ")");
  }
  std::string Value(int equip, const std::string& var) {
    auto v = db.QueryValue("select VALOR from ONLINE_VALUES where EQUIP_ID = " +
                           std::to_string(equip) + " and VAR = '" + var + "'");
    return v ? *v : "(none)";
  }
  int64_t Count(const std::string& sql) { return db.QueryInt(sql); }
  int Passes() { return clock.SleepCount(KxOnlineThread::kPassPause); }

  TestDatabase db;
  TempDir dir;
  CaptureLog log;
  KxBuildingData building;
  std::map<int, FakeEquip*> equips;  // owned by the building
  FakeClock clock;
  std::unique_ptr<KxOnlineThread> thread;
};

const char kHourAhead[] = "dateadd(1 hour to current_timestamp)";

TEST_F(OnlineThreadTest, AValidRequestIsServedEveryPassAndLaterPairsReplaceEarlierOnes) {
  equips[7]->SetOnline(0, {u"A", u"B"}, {u"1", u"2,5 kW"});
  Request(7, kHourAhead);
  Start();
  ASSERT_TRUE(WaitUntil([&] { return Value(7, "B") == "2,5 kW"; }));
  EXPECT_EQ("1", Value(7, "A"));

  equips[7]->SetOnline(0, {u"A"}, {u"3"});
  ASSERT_TRUE(WaitUntil([&] { return Value(7, "A") == "3"; }));
  EXPECT_EQ("2,5 kW", Value(7, "B"));  // never deleted
  EXPECT_EQ(2, Count("select count(*) from ONLINE_VALUES"));

  // One read per pass; each pass: 50 ms after the equipment, then 1000 ms.
  ASSERT_TRUE(WaitUntil([&] { return Passes() >= 5; }));
  Stop();
  const auto sleeps = clock.SleepLog();
  ASSERT_GE(sleeps.size(), 3u);
  EXPECT_EQ(KxOnlineThread::kStartPause, sleeps[0]);
  for (size_t i = 1; i + 1 < sleeps.size(); i += 2) {
    EXPECT_EQ(KxOnlineThread::kEquipPause, sleeps[i]);
    EXPECT_EQ(KxOnlineThread::kPassPause, sleeps[i + 1]);
  }
  EXPECT_EQ(Passes(), equips[7]->CallCount('O'));
  EXPECT_EQ((std::vector<std::string>{"OnlineThread: iniciada!", "OnlineThread: finalizada!"}),
            log.Lines());
}

TEST_F(OnlineThreadTest, ExpiredRequestsAreDeletedAndUnknownEquipmentSkippedSilently) {
  equips[7]->SetOnline(0, {u"A"}, {u"1"});
  equips[8]->SetOnline(0, {u"X"}, {u"9"});
  Request(8, "dateadd(-1 second to current_timestamp)");  // already expired
  Request(999, kHourAhead);                                // no such equipment
  Request(7, "dateadd(1500 millisecond to current_timestamp)");
  Start();
  ASSERT_TRUE(WaitUntil([&] { return Value(7, "A") == "1"; }));
  EXPECT_EQ(0, Count("select count(*) from ONLINE_EQUIPS where EQUIP_ID = 8"));
  EXPECT_EQ(0, equips[8]->CallCount('O'));
  EXPECT_EQ("(none)", Value(8, "X"));

  // Once its VALIDADE has passed, the request of 7 is deleted and no longer served.
  ASSERT_TRUE(WaitUntil(
      [&] { return Count("select count(*) from ONLINE_EQUIPS where EQUIP_ID = 7") == 0; }));
  const int reads = equips[7]->CallCount('O');
  const int passes = Passes();
  ASSERT_TRUE(WaitUntil([&] { return Passes() >= passes + 3; }));
  EXPECT_EQ(reads, equips[7]->CallCount('O'));
  EXPECT_EQ(1, Count("select count(*) from ONLINE_EQUIPS"));  // 999 stays until it expires
  EXPECT_EQ((std::vector<std::string>{"OnlineThread: iniciada!"}), log.Lines());
}

TEST_F(OnlineThreadTest, AFailingEquipmentIsLoggedOrSkippedAndTheNextOneIsServed) {
  struct Case {
    std::string name;
    int result;
    std::vector<std::u16string> names, values;
    std::string raise;
    std::string line;        // expected log line ("" = silent)
    std::string storedA;     // VALOR of A afterwards
  };
  const Case cases[] = {
      {"raises", 0, {u"A"}, {u"1"}, "sem resposta",
       "OnlineThread: exceção ao ler do equipamento [7]: sem resposta", "(none)"},
      {"non-zero", 3, {u"A"}, {u"1"}, "", "", "(none)"},
      {"names beyond values", 0, {u"A", u"B"}, {u"1"}, "",
       "OnlineThread: exceção ao ler do equipamento [7]: List index out of bounds (1)", ""},
      {"surplus values", 0, {u"A"}, {u"1", u"2"}, "", "", "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    db.Exec("delete from ONLINE_VALUES");
    db.Exec("delete from ONLINE_EQUIPS");
    equips[7]->SetOnline(c.result, c.names, c.values, c.raise);
    equips[8]->SetOnline(0, {u"X"}, {u"9"});
    Request(7, kHourAhead);
    Request(8, kHourAhead);
    const size_t failuresBefore = log.StartingWith("OnlineThread: exceção").size();
    const int linesBefore = c.line.empty() ? 0 : log.Count(c.line);
    const int passes = Passes();
    Start();
    ASSERT_TRUE(WaitUntil([&] { return Value(8, "X") == "9" && Passes() >= passes + 3; }));
    Stop();
    if (c.line.empty()) {
      EXPECT_EQ(failuresBefore, log.StartingWith("OnlineThread: exceção").size());
    } else {
      EXPECT_GE(log.Count(c.line) - linesBefore, 2);
    }
    if (!c.storedA.empty()) {
      EXPECT_EQ(c.storedA, Value(7, "A"));
    }
    EXPECT_EQ(0, Count("select count(*) from ONLINE_VALUES where EQUIP_ID = 7 and VAR = 'B'"));
    EXPECT_EQ("OnlineThread: finalizada!", log.Lines().back());
  }
}

TEST_F(OnlineThreadTest, ALostConnectionPausesEachPassWritesOneLineAndTheThreadStillStops) {
  Request(7, kHourAhead);
  equips[7]->SetOnline(0, {u"A"}, {u"1"});
  Start();
  ASSERT_TRUE(WaitUntil([&] { return Value(7, "A") == "1"; }));
  ASSERT_GE(db.KillConnections(), 1);
  ASSERT_TRUE(WaitUntil([&] { return clock.SleepCount(KxOnlineThread::kErrorPause) >= 2; }));
  Stop();
  // One line for the loss, none per failing pass; every failing pass is
  // followed by the error pause, never by another pass at once.
  EXPECT_EQ(1u, log.StartingWith("OnlineThread: conexão com o banco de dados perdida: ").size());
  EXPECT_TRUE(log.StartingWith("OnlineThread: exceção ").empty());
  EXPECT_EQ("OnlineThread: finalizada!", log.Lines().back());
}

TEST_F(OnlineThreadTest, AConnectionThatCannotBeOpenedIsAwaitedWithOneLine) {
  {
    KxOnlineThread t(&building, &log, UnreachableParams(), clock);
    ASSERT_TRUE(WaitUntil([&] { return clock.SleepCount(KxOnlineThread::kErrorPause) >= 2; }));
    t.Terminate();
    t.WaitFor();
  }
  EXPECT_EQ(1u, log.StartingWith("OnlineThread: conexão com o banco de dados perdida: ").size());
  EXPECT_EQ("OnlineThread: finalizada!", log.Lines().back());
}

}  // namespace
