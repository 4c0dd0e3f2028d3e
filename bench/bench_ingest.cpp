// History ingest by the acquisition thread against the bare client library.
//
// A meter holds a backlog of N records (default 20 000) on one channel; the
// acquisition thread drains it (read, future check, seconds zeroed, tariff
// period with 4 periods x 3 segments and 20 holidays, one transaction per
// row). The same number of rows goes through a minimal insert loop written
// directly on the client library. The two run in alternating blocks of 1000
// rows so that both see the same machine load. Run with forced writes off (the
// service's own cost is then the largest share it can be) and on (a real
// installation: the fsync of each commit dominates). Target: thread/bare
// time <= 1.10.
//   bench_ingest [N]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "acquisition/KxAlarmLog.h"
#include "acquisition/KxCommThread.h"
#include "bench/AcquisitionBenchKit.h"
#include "database/TmodDatabase.h"
#include "log/TFileLog.h"
#include "model/KxBuildingData.h"
#include "model/KxListaPeriodos.h"
#include "model/KxListaSegmentos.h"
#include "model/KxVariavel.h"
#include "model/TmodFeriados.h"
// The test database helper (creates, fills and drops a database as SYSDBA).
#include "tests/support/TestDatabase.cpp"

namespace {

KxVariavel* TariffVariable() {
  auto* periodos = new KxListaPeriodos();
  const int windows[4][3][4] = {
      {{18, 0, 21, 0}, {17, 30, 18, 0}, {21, 0, 21, 30}},
      {{7, 0, 17, 30}, {21, 30, 23, 0}, {10, 0, 14, 0}},
      {{23, 0, 7, 0}, {0, 0, 10, 0}, {14, 0, 0, 0}},
      {{0, 0, 0, 0}, {0, 0, 0, 0}, {6, 0, 22, 0}},
  };
  const int dias[4][3] = {{124, 124, 124}, {124, 124, 2}, {124, 2, 2}, {129, 1, 128}};
  for (int p = 0; p < 4; ++p) {
    auto* segs = new KxListaSegmentos();
    for (int s = 0; s < 3; ++s) {
      const int* w = windows[p][s];
      segs->AddSegmento(dias[p][s], p + 1, dt::EncodeTime(w[0], w[1], 0, 0),
                        dt::EncodeTime(w[2], w[3], 0, 0));
    }
    periodos->AddPeriodo(p + 1, segs);
  }
  return new KxVariavel(1, 'E', periodos);
}

void Run(int n, bool forcedWrites) {
  TestDatabase::Options o;
  o.forcedWrites = forcedWrites;
  TestDatabase db(o);
  db.Exec("insert into INTERFACES values (1, 1, 'i', 'x', 'x.so', 'x')");
  db.Exec("insert into DRIVERS values (1, 'd', 1, 'x.so', 1)");
  db.Exec("insert into EQUIPAMENTOS values (1, 1, 0, 0, 'Medidor com atraso')");
  db.Exec("insert into CANAIS values (1, 1, 0, null, 0, 'E', 'Energia ativa')");
  for (int i = 0; i < 20; ++i)
    db.Exec("insert into FERIADOS (DATA) values ('20" + std::to_string(10 + i) + "-" +
            std::to_string(1 + i % 12) + "-" + std::to_string(1 + (i * 7) % 28) + "')");

  const std::string logPath =
      (std::filesystem::temp_directory_path() / "bench_ingest.log").string();
  double thread = 0, bare = 0;
  std::vector<double> ratios;
  long long stored = 0;
  {
    TFileLog log(logPath);
    TmodDatabase mod(db.Params());
    KxAlarmLog alarms(&log, &mod);
    TmodFeriados feriados(&mod);
    KxBuildingData building(&log, &mod);
    KxVariavel* var = TariffVariable();
    building.ListaVariaveis->Add(var);
    auto* canais = new KxListaCanais();
    canais->AddCanal(1, 0, var, 0, dt::EncodeDate(2000, 1, 1));
    const int block = 1000;
    auto* meter = new bench::BacklogMeter(1, canais, n, block);
    building.ListaEquipamentos->Add(meter);

    bench::BareInsert b(db.Params());
    b.Rows(900, 0, 50);  // warm-up
    bench::NoPauseClock clock;
    KxCommThread comm(&building, &feriados, &log, &alarms, clock, &mod);
    for (int k = 0; k * block < n; ++k) {
      const int to = std::min(n, (k + 1) * block);
      double tt, tb;
      if (k % 2 == 0) {
        tt = meter->RunBlock();
        tb = b.Rows(901, k * block, to);
      } else {
        tb = b.Rows(901, k * block, to);
        tt = meter->RunBlock();
      }
      thread += tt;
      bare += tb;
      ratios.push_back(tt / tb);
    }
    comm.Terminate();
    comm.WaitFor();
    stored = db.QueryInt("select count(*) from HISTORICOS_H where CANAL_ID = 1");
  }
  std::filesystem::remove(logPath);
  std::sort(ratios.begin(), ratios.end());
  std::printf("forced writes %-3s: thread %6.0f rows/s (%5.0f us/row), bare %6.0f rows/s "
              "(%5.0f us/row), thread/bare %.3f (median of %zu blocks %.3f), rows stored by the "
              "thread %lld of %d\n",
              forcedWrites ? "on" : "off", n / thread, thread * 1e6 / n, n / bare, bare * 1e6 / n,
              thread / bare, ratios.size(), ratios[ratios.size() / 2], stored, n);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 20000;
  std::printf("bench_ingest: a backlog of %d records on one channel\n", n);
  try {
    Run(n, false);
    Run(n, true);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_ingest: %s\n", e.what());
    return 1;
  }
  return 0;
}
