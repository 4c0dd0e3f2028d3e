// The configuration load thread against a real database and the real
// packages: start and stop alarms, STATUS_EQUIPS resets, the log lines of a
// start, a database that cannot be opened, a stop request during the load,
// an installation without equipment, the clock-update mark, and a load that
// fails and is retried, with what the health says meanwhile.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "database/TmodDatabase.h"
#include "packages/sim/SimMeterControl.h"
#include "platform/DateTime.h"
#include "service/KxLoadThread.h"
#include "support/FakeClock.h"
#include "support/InstallationKit.h"
#include "support/TestDatabase.h"

namespace {

using inst::kNull;

bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

const char* const kStartLines[] = {"Thread comunicação iniciada!", "RTCThread: Iniciada!",
                                   "OnlineThread: iniciada!"};

class LoadThreadTest : public ::testing::Test {
 protected:
  LoadThreadTest() {
    // The workers must not move on by themselves: every pause waits for a
    // ticket from the test (or a stop request).
    clock.SetManual(true);
  }

  void Installation() {
    inst::AddInterface(db, 1, "Interface simulada", "libSimInterface.so");
    inst::AddDriver(db, 3, 1, "libSimMeter.so");
    inst::AddVariavel(db, 1, "E", "Energia ativa");
    inst::AddEquipamento(db, 12, 3, kNull, kNull, "Medidor Bloco A");
    inst::AddCanal(db, 100, 12, 0, 1, kNull, "Energia ativa");
    inst::AddEquipamento(db, 13, 3, kNull, kNull, "Medidor Bloco B");
  }

  // Starts the thread in the work folder and waits until its Execute ended.
  void Start(const FbConnectParams& params) {
    inst::ScopedChdir cd(work.Path());
    thread = std::make_unique<KxLoadThread>(&log, params, clock);
    self = thread.get();
    thread->WaitFor();
  }

  // What ServiceStop does: terminate, wait, free.
  void Stop() {
    thread->Terminate();
    thread->WaitFor();
    thread.reset();
  }

  bool WorkersStarted() {
    for (const char* line : kStartLines)
      if (log.Count(line) != 1) return false;
    return true;
  }

  size_t Starting(const std::string& prefix) {
    size_t n = 0;
    for (const std::string& l : log.Lines()) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

  int64_t ServiceAlarms(const std::string& texto) {
    return db.QueryInt(
        "select count(*) from ALARMES where EQUIP_ID is null and CLASSE = 1000 and TEXTO = " +
        inst::Q(texto));
  }

  TestDatabase db;
  inst::WorkDir work;
  inst::HookLog log{work.File("Telvane.log")};
  FakeClock clock{dt::EncodeDateTime(2016, 11, 1, 10, 0, 0)};
  std::atomic<KxLoadThread*> self{nullptr};
  std::unique_ptr<KxLoadThread> thread;
};

TEST_F(LoadThreadTest, StartAndStopSequences) {
  Installation();
  // Rows left by an earlier run: reset at start, also for an id that is no
  // longer configured.
  db.Exec("insert into STATUS_EQUIPS (EQUIP_ID, STATUS, TEXTO) values (12, 3, 'Falha')");
  db.Exec("insert into STATUS_EQUIPS (EQUIP_ID, STATUS, TEXTO) values (99, 1, 'Normal')");

  Start(db.Params());

  std::vector<std::string> lines = log.LinesWithout({"SimMeter [", "Thread comunicação",
                                                     "RTCThread: ", "OnlineThread: "});
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Carregando dados do banco...");
  EXPECT_EQ(lines.back(), "Dados do banco carregados!");
  EXPECT_EQ(log.Count("Criando equipamento [13]: Medidor Bloco B (0/0) "), 1);
  EXPECT_EQ(log.Count("Carga do banco interrompida!"), 0);
  ASSERT_TRUE(WaitUntil([&] { return WorkersStarted(); }));

  // The start alarm: no equipment, class 1000, at the clock's time.
  EXPECT_EQ(ServiceAlarms("Serviço de comunicação INICIADO."), 1);
  EXPECT_EQ(db.QueryInt("select count(*) from ALARMES where DATA = '2016-11-01 10:00:00' "
                        "and TEXTO = 'Serviço de comunicação INICIADO.'"),
            1);
  EXPECT_EQ(db.QueryInt("select STATUS from STATUS_EQUIPS where EQUIP_ID = 99"), 0);
  EXPECT_EQ(db.QueryString("select TEXTO from STATUS_EQUIPS where EQUIP_ID = 99"), "");
  EXPECT_EQ(db.QueryString("select TEXTO from STATUS_EQUIPS where EQUIP_ID = 12"),
            "Aguardando leitura");
  EXPECT_NE(modDatabase, nullptr);

  Stop();

  // The workers were all asked to end at once: each ended, in whatever order.
  for (const char* line :
       {"OnlineThread: finalizada!", "Thread comunicação finalizada!", "RTCThread: Finalizada!"})
    EXPECT_EQ(log.Count(line), 1) << line;

  EXPECT_EQ(ServiceAlarms("Serviço de comunicação PARADO."), 1);
  EXPECT_EQ(db.QueryInt("select count(*) from ALARMES"), 2);
  // Every status row back to 0 and an empty text, after the equipment went.
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_EQUIPS"), 3);
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_EQUIPS where STATUS = 0 and TEXTO = ''"),
            3);
  EXPECT_EQ(modDatabase, nullptr);
}

TEST_F(LoadThreadTest, DatabaseThatCannotBeOpenedIsAwaitedAndAStopEndsTheWaitWithoutAlarm) {
  Installation();
  FbConnectParams params = db.Params();
  params.Password = "senha-errada";

  {
    inst::ScopedChdir cd(work.Path());
    thread = std::make_unique<KxLoadThread>(&log, params, clock);
  }
  // The load waits for the database (a try every 5 s of its clock) with one line.
  ASSERT_TRUE(WaitUntil([&] { return log.Lines().size() >= 2; }));
  thread->MarkClocksForUpdate();  // nothing loaded: does nothing
  Stop();

  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Carregando dados do banco...");
  EXPECT_EQ(lines[1].rfind("Banco de dados indisponível, nova tentativa a cada 5 s: ", 0), 0u)
      << lines[1];
  EXPECT_EQ(db.QueryInt("select count(*) from ALARMES"), 0);
  EXPECT_EQ(modDatabase, nullptr);
}

TEST_F(LoadThreadTest, StopRequestDuringTheLoad) {
  Installation();
  log.OnLine([&](const std::string& line) {
    if (line.rfind("Criando equipamento [", 0) != 0) return;
    KxLoadThread* t;
    while ((t = self.load()) == nullptr) std::this_thread::yield();
    t->Terminate();
  });

  Start(db.Params());

  EXPECT_EQ(log.Count("Carga do banco interrompida!"), 1);
  EXPECT_EQ(log.Count("Dados do banco carregados!"), 0);
  EXPECT_EQ(log.Count("Criando equipamento [13]: Medidor Bloco B (0/0) "), 0);
  // The workers were still created; the stop ends them at once.
  Stop();
  for (const char* line : kStartLines) EXPECT_EQ(log.Count(line), 1) << line;
  EXPECT_EQ(log.Count("Thread comunicação finalizada!"), 1);
  EXPECT_EQ(ServiceAlarms("Serviço de comunicação INICIADO."), 1);
  EXPECT_EQ(ServiceAlarms("Serviço de comunicação PARADO."), 1);
}

TEST_F(LoadThreadTest, InstallationWithoutEquipmentStillGetsTheWorkers) {
  Start(db.Params());
  EXPECT_EQ(log.Count("Dados do banco carregados!"), 1);
  EXPECT_TRUE(WaitUntil([&] { return WorkersStarted(); }));
  Stop();
  EXPECT_EQ(ServiceAlarms("Serviço de comunicação PARADO."), 1);
}

// A clock-update mark made while the equipment list is being filled is
// applied to every equipment once the load ends, also to those loaded after
// it; the acquisition thread then sets each clock at its next visit.
TEST_F(LoadThreadTest, ClockMarkDuringTheLoadReachesEveryEquipment) {
  Installation();
  log.OnLine([&](const std::string& line) {
    if (line != "Criando equipamento [12]: Medidor Bloco A (0/0) ") return;
    KxLoadThread* t;
    while ((t = self.load()) == nullptr) std::this_thread::yield();
    t->MarkClocksForUpdate();
  });

  Start(db.Params());
  ASSERT_EQ(log.Count("Dados do banco carregados!"), 1);

  // The instance the service loaded: the package stays loaded for the whole
  // process once loaded (it cannot be unloaded), and is found again by the
  // name the service gave it.
  void* pkg = dlopen("./Drivers/libSimMeter.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(pkg, nullptr) << dlerror();
  auto reset = reinterpret_cast<SimMeter_ResetProc>(dlsym(pkg, "SimMeter_Reset"));
  ASSERT_NE(reset, nullptr);
  auto stat = reinterpret_cast<SimMeter_StatProc>(dlsym(pkg, "SimMeter_Stat"));
  auto control = reinterpret_cast<SimMeter_ControlProc>(dlsym(pkg, "SimMeter_Control"));
  ASSERT_NE(stat, nullptr);
  ASSERT_NE(control, nullptr);
  // The meters see the service's (fake) time: nothing they hold is dated in
  // the future, so only the mark can make the acquisition set their clocks.
  control(12, "now=2016-11-01 10:00");
  EXPECT_EQ(stat(12, "clock_calls"), 0);
  const bool set = WaitUntil([&] {
    clock.Release(1);  // let the workers past their pauses, one at a time
    return stat(12, "clock_ok") >= 1 && stat(13, "clock_ok") >= 1;
  });
  EXPECT_TRUE(set);
  reset();  // the real clock again, for whoever uses the package next
  dlclose(pkg);
  Stop();
}

// A load that fails for the database (here a table the service may no
// longer read, as an upgrade of the other application that drops a column
// would make it fail too) is retried from the start after a pause that
// grows to 5 min, with one line while the reason stays and the reason in
// STATUS_COMM; the health turns false once nothing has been loaded for
// kBlockedBound. The grant given back, the next try loads and the workers
// start. Then the holidays cannot be read: the acquisition visits nothing,
// and the health says why and turns false after the same bound.
TEST_F(LoadThreadTest, AFailingLoadIsRetriedWithGrowingPausesAndTheHealthSaysWhy) {
  using namespace std::chrono_literals;
  Installation();
  db.Exec("revoke select on EQUIPAMENTOS from user TELVUSR");
  db.Exec("revoke select on FERIADOS from user TELVUSR");
  // The packages are loaded at every try: the folder stays current.
  inst::ScopedChdir cd(work.Path());
  thread = std::make_unique<KxLoadThread>(&log, db.Params(), clock);
  ASSERT_TRUE(clock.WaitBlocked());  // in the pause after the first try

  const char* const kFailing =
      "Falha ao carregar a instalação, nova tentativa em 5 s (pausas crescentes até 5 min): ";
  ASSERT_EQ(Starting(kFailing), 1u);
  const std::string line = log.Lines().back();
  EXPECT_EQ(line.rfind(kFailing, 0), 0u) << line;
  EXPECT_NE(line.find("EQUIPAMENTOS"), std::string::npos) << line;
  const std::string comm = db.QueryString("select MENSAGEM from STATUS_COMM where ID = 1");
  EXPECT_EQ(comm.rfind("Falha ao carregar a instalação: ", 0), 0u) << comm;
  EXPECT_NE(comm.find("EQUIPAMENTOS"), std::string::npos) << comm;

  std::string summary;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(thread->Health(t0, summary)) << summary;
  EXPECT_EQ(summary.rfind("Sem instalação carregada: ", 0), 0u) << summary;
  EXPECT_NE(summary.find("EQUIPAMENTOS"), std::string::npos) << summary;
  EXPECT_TRUE(thread->Health(t0 + KxLoadThread::kBlockedBound, summary)) << summary;
  EXPECT_FALSE(thread->Health(t0 + KxLoadThread::kBlockedBound + 1s, summary));
  EXPECT_EQ(summary.rfind("Sem instalação carregada: ", 0), 0u) << summary;

  // Seven more tries: the pause doubles up to 5 min; still the one line.
  for (int i = 0; i < 7; ++i) {
    clock.Release(1);
    ASSERT_TRUE(clock.WaitBlocked());
  }
  EXPECT_EQ(clock.SleepLog(), (std::vector<unsigned>{5000, 10000, 20000, 40000, 80000, 160000,
                                                     300000, 300000}));
  EXPECT_EQ(Starting("Falha ao carregar a instalação"), 1u);
  EXPECT_EQ(log.Count("Dados do banco carregados!"), 0);
  EXPECT_EQ(ServiceAlarms("Serviço de comunicação INICIADO."), 1);

  db.Exec("grant select on EQUIPAMENTOS to user TELVUSR");
  clock.Release(1);
  ASSERT_TRUE(WaitUntil([&] { return thread->Finished(); }));
  EXPECT_EQ(log.Count("Instalação carregada após 8 tentativas com falha."), 1);
  EXPECT_EQ(log.Count("Dados do banco carregados!"), 1);
  // Every try from the start: the interfaces were loaded nine times.
  EXPECT_EQ(log.Count("Criando interface: Interface simulada"), 9);
  EXPECT_EQ(log.Count("Criando equipamento [13]: Medidor Bloco B (0/0) "), 1);
  ASSERT_TRUE(WaitUntil([&] { return WorkersStarted(); }));
  const auto t1 = t0 + KxLoadThread::kBlockedBound + 1min;
  EXPECT_TRUE(thread->Health(t1, summary)) << summary;
  EXPECT_EQ(summary.rfind("2 equipamentos, 0 em falha; ", 0), 0u) << summary;

  // The workers run on (their pauses cost nothing) and make progress
  // between two looks; the acquisition waits for the holidays.
  clock.SetManual(false);
  ASSERT_TRUE(WaitUntil([&] {
    return Starting("CommThread: nenhuma passagem até que a lista de feriados seja lida: ") == 1;
  }));
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(thread->Health(t1 + 1s, summary)) << summary;
  EXPECT_EQ(summary.rfind("Sem lista de feriados: ", 0), 0u) << summary;
  EXPECT_NE(summary.find("FERIADOS"), std::string::npos) << summary;
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(thread->Health(t1 + 1s + KxLoadThread::kBlockedBound, summary)) << summary;
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(thread->Health(t1 + 2s + KxLoadThread::kBlockedBound, summary));
  EXPECT_EQ(summary.rfind("Sem lista de feriados: ", 0), 0u) << summary;
  EXPECT_EQ(db.QueryInt("select count(*) from STATUS_EQUIPS where STATUS <> 0"), 0);

  db.Exec("grant select on FERIADOS to user TELVUSR");
  ASSERT_TRUE(WaitUntil([&] {
    return log.Count("CommThread: lista de feriados lida; as passagens começam.") == 1;
  }));
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(thread->Health(t1 + 3s + KxLoadThread::kBlockedBound, summary)) << summary;
  Stop();
}

}  // namespace
