// The alarm log against a real server: what each alarm stores, concurrent
// callers, and the failure line when the insert cannot be done.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/KxAlarmLog.h"
#include "database/TmodDatabase.h"
#include "log/TFileLog.h"
#include "platform/DateTime.h"
#include "platform/Text.h"
#include "support/TestDatabase.h"
#include "support/ThreadTestKit.h"

namespace {

// A text log that also keeps its lines for the test.
class CaptureLog : public TFileLog {
 public:
  explicit CaptureLog(const std::string& path) : TFileLog(path) {}
  void WriteLine(const std::string& text) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(text);
    }
    TFileLog::WriteLine(text);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

std::string TempLogPath() {
  static int seq = 0;
  return "/tmp/telvane_alarmlog_" + std::to_string(getpid()) + "_" + std::to_string(seq++) + ".log";
}

class AlarmLogTest : public ::testing::Test {
 protected:
  void TearDown() override { unlink(path_.c_str()); }
  TestDatabase db;
  std::string path_ = TempLogPath();
};

TEST_F(AlarmLogTest, StoresEachAlarmAsGiven) {
  CaptureLog log(path_);
  TmodDatabase m(db.Params());
  KxAlarmLog alarms(&log, &m);
  const TDateTime d1 = dt::EncodeDateTime(2024, 3, 5, 8, 30, 17, 123);
  const TDateTime d2 = dt::EncodeDateTime(2024, 3, 5, 8, 31, 0, 0);
  alarms.LogAlarme(2, d1, "Sem comunicação com o equipamento.", 7);
  alarms.LogAlarme(1000, d2, "Serviço de comunicação INICIADO.", -1);

  EXPECT_EQ(db.QueryInt("select count(*) from ALARMES"), 2);
  EXPECT_EQ(db.QueryInt("select EQUIP_ID from ALARMES where CLASSE = 2"), 7);
  EXPECT_FALSE(db.QueryValue("select EQUIP_ID from ALARMES where CLASSE = 1000"));  // NULL, not 7
  EXPECT_EQ(db.QueryDateTime("select DATA from ALARMES where CLASSE = 2"), d1);
  EXPECT_EQ(db.QueryString("select cast(DATA as varchar(30)) from ALARMES where CLASSE = 2"),
            "2024-03-05 08:30:17.1230");
  EXPECT_EQ(db.QueryString("select TEXTO from ALARMES where CLASSE = 1000"),
            "Serviço de comunicação INICIADO.");
  EXPECT_EQ(db.QueryInt("select octet_length(TEXTO) from ALARMES where CLASSE = 1000"), 32);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_FALSE(m.AlarmesTrans.InTransaction());
}

TEST_F(AlarmLogTest, ConcurrentCallersGiveWholeRows) {
  CaptureLog log(path_);
  TmodDatabase m(db.Params());
  KxAlarmLog alarms(&log, &m);
  const int kPerThread = 150;
  auto worker = [&](int equip) {
    for (int i = 0; i < kPerThread; ++i)
      alarms.LogAlarme(i, dt::EncodeDate(2024, 1, 1) + equip + i / 1440.0,
                       "E" + std::to_string(equip) + " C" + std::to_string(i), equip);
  };
  std::thread a(worker, 1), b(worker, 2), c(worker, -1);
  a.join();
  b.join();
  c.join();
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(db.QueryInt("select count(*) from ALARMES"), 3 * kPerThread);
  // Every row carries the parameters of one call, never a mix.
  EXPECT_EQ(db.QueryInt("select count(*) from ALARMES where TEXTO <> 'E' || coalesce(EQUIP_ID, -1) "
                        "|| ' C' || CLASSE"),
            0);
  EXPECT_EQ(db.QueryInt("select count(*) from ALARMES where "
                        "DATA <> dateadd(CLASSE minute to dateadd(coalesce(EQUIP_ID, -1) day to "
                        "timestamp '2024-01-01 00:00'))"),
            0);
}

TEST_F(AlarmLogTest, FailedInsertWritesItsLineAndRollsBack) {
  db.Exec("alter table ALARMES add constraint CK_TESTE check (CLASSE <> 666)");
  CaptureLog log(path_);
  TmodDatabase m(db.Params());
  KxAlarmLog alarms(&log, &m);
  // Refused for the row itself: lost, with its line, whoever would retry it.
  for (KxAlarmeRetry retry : {KxAlarmeRetry::Never, KxAlarmeRetry::Caller})
    EXPECT_EQ(alarms.LogAlarme(666, dt::EncodeDate(2024, 1, 1), "Recusado", 3, retry),
              KxAlarmeResult::Refused);
  ASSERT_EQ(log.Lines().size(), 2u);
  for (const auto& line : log.Lines())
    EXPECT_EQ(line.rfind("AlarmLog: exceção ao inserir alarme [3]: ", 0), 0u) << line;
  EXPECT_FALSE(m.AlarmesTrans.InTransaction());
  // A text longer than the column is stored cut to it.
  EXPECT_EQ(alarms.LogAlarme(5, dt::EncodeDate(2024, 1, 1), std::string(300, 'x'), 3),
            KxAlarmeResult::Stored);
  EXPECT_EQ(db.QueryString("select TEXTO from ALARMES"), std::string(255, 'x'));
  EXPECT_EQ(log.Lines().size(), 2u);
}

TEST_F(AlarmLogTest, LostConnectionWritesTheFailureLineAndReturns) {
  {
    const std::string path = TempLogPath();
    {
      CaptureLog log(path);
      TcpProxy proxy;
      TmodDatabase m(proxy.Params(db.Params()));
      KxAlarmLog alarms(&log, &m);
      proxy.Cut();
      // Nobody offers these again: lost, each with its line.
      EXPECT_EQ(alarms.LogAlarme(1000, dt::EncodeDate(2024, 1, 1), "Serviço de comunicação PARADO.", -1),
                KxAlarmeResult::ConnectionLost);
      EXPECT_EQ(alarms.LogAlarme(2, dt::EncodeDate(2024, 1, 1), "Sem comunicação com o equipamento.", 7),
                KxAlarmeResult::ConnectionLost);
      // Its caller offers this one again once the connection is back: not
      // lost, no line.
      EXPECT_EQ(alarms.LogAlarme(10, dt::EncodeDate(2024, 1, 1), "Porta aberta", 7,
                                 KxAlarmeRetry::Caller),
                KxAlarmeResult::ConnectionLost);
      EXPECT_FALSE(m.AlarmesTrans.InTransaction());
      const auto lines = log.Lines();
      ASSERT_EQ(lines.size(), 2u);
      const std::string prefix = "AlarmLog: exceção ao inserir alarme [-1]: ";
      EXPECT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
      EXPECT_GT(lines[0].size(), prefix.size());  // followed by the client library's message
      EXPECT_EQ(lines[1].rfind("AlarmLog: exceção ao inserir alarme [7]: ", 0), 0u) << lines[1];
    }
    // The line reached the file, in the log's code page.
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_NE(ss.str().find(text::ToCp1252("\tAlarmLog: exceção ao inserir alarme [-1]: ")),
              std::string::npos);
    unlink(path.c_str());
  }
  EXPECT_EQ(db.QueryInt("select count(*) from ALARMES"), 0);
}

// A service event whose commit was cut after it reached the server is held
// in doubt: before the next alarm it is looked up, found, and not stored
// twice. (Those still held at a stop: FaultTest.)
TEST_F(AlarmLogTest, AHeldEventWhoseCommitWasCutIsLookedUpNotStoredTwice) {
  const TDateTime t = dt::EncodeDateTime(2024, 3, 5, 8, 0, 0);
  const std::string held = KxAlarmLog::HeldEventsPath(path_);
  EXPECT_EQ(held, path_.substr(0, path_.size() - 4) + ".eventos");
  CaptureLog log(path_);
  TmodDatabase m(db.Params());
  std::atomic<int> commits{0};
  m.Database.SetCommitFault([&](const FbTransaction&) {
    return ++commits == 1 ? FbConnection::CommitFault::LoseAfter : FbConnection::CommitFault::None;
  });
  KxAlarmLog alarms(&log, &m, held);
  EXPECT_EQ(alarms.LogAlarme(1000, t, "Serviço de comunicação INICIADO.", -1),
            KxAlarmeResult::ConnectionLost);
  ASSERT_TRUE(kit::WaitUntil([&] { return m.Database.EnsureAttached(); }));
  EXPECT_EQ(alarms.LogAlarme(1000, t + 1.0 / 24, "Atualização periódica de relógios iniciada!", -1),
            KxAlarmeResult::Stored);
  EXPECT_EQ(db.QueryInt("select count(*) from ALARMES where EQUIP_ID is null"), 2);
  alarms.KeepHeldEvents();  // nothing held: no file
  EXPECT_FALSE(std::ifstream(held).good());
}

}  // namespace
