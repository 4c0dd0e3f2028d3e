// One pass of the acquisition thread over 200 equipment x 10 channels with
// nothing new: the cost of the per-visit database work (descriptions,
// activity messages, status), which the design fixes at one short
// transaction per operation. The main connection goes through a relay that
// counts the client's requests; a bare ping through the same relay gives the
// round-trip cost. Prints the time per pass against requests x round trip.
//   bench_pass [passes]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "acquisition/KxAlarmLog.h"
#include "acquisition/KxCommThread.h"
#include "bench/AcquisitionBenchKit.h"
#include "database/TmodDatabase.h"
#include "log/TFileLog.h"
#include "model/KxBuildingData.h"
#include "model/TmodFeriados.h"
#include "tests/support/TestDatabase.cpp"

int main(int argc, char** argv) {
  const int passes = argc > 1 ? std::atoi(argv[1]) : 5;
  const int equips = 200, channels = 10;
  try {
    TestDatabase db;
    db.Exec("insert into INTERFACES values (1, 1, 'i', 'x', 'x.so', 'x')");
    db.Exec("insert into DRIVERS values (1, 'd', 1, 'x.so', 1)");
    for (int e = 1; e <= equips; ++e) {
      db.Exec("insert into EQUIPAMENTOS values (" + std::to_string(e) + ", 1, 0, 0, 'Medidor " +
              std::to_string(e) + "')");
      for (int c = 0; c < channels; ++c)
        db.Exec("insert into CANAIS values (" + std::to_string(e * 100 + c) + ", " +
                std::to_string(e) + ", " + std::to_string(c) + ", null, 0, 'E', 'Canal " +
                std::to_string(c) + "')");
    }
    bench::CountingRelay relay;
    FbConnectParams params = db.Params();
    params.Database = relay.Through(db.Database());

    const std::string logPath =
        (std::filesystem::temp_directory_path() / "bench_pass.log").string();
    // Runs the thread over the installation on `params`; seconds per pass
    // after the first, and the relay's requests per pass.
    auto runPasses = [&](const FbConnectParams& p, long long& requestsPerPass) {
      TFileLog log(logPath);
      TmodDatabase mod(p);
      KxAlarmLog alarms(&log, &mod);
      TmodFeriados feriados(&mod);
      KxBuildingData building(&log, &mod);
      std::vector<bench::BacklogMeter*> meters;
      for (int e = 1; e <= equips; ++e) {
        auto* canais = new KxListaCanais();
        for (int c = 0; c < channels; ++c)
          canais->AddCanal(e * 100 + c, c, nullptr, 0, dt::EncodeDate(2000, 1, 1));
        auto* m = new bench::BacklogMeter(e, canais, 0);
        meters.push_back(m);
        building.ListaEquipamentos->Add(m);
      }
      bench::NoPauseClock clock;
      KxCommThread comm(&building, &feriados, &log, &alarms, clock, &mod);
      auto waitPasses = [&](long long n) {
        while (meters.back()->alarmReads.load() < n)
          std::this_thread::sleep_for(std::chrono::microseconds(200));
      };
      waitPasses(1);  // the first pass (version reads, first alarms) is not counted
      const long long r0 = relay.Requests();
      const auto t0 = bench::Steady::now();
      waitPasses(1 + passes);
      const double seconds = bench::Seconds(t0, bench::Steady::now()) / passes;
      requestsPerPass = (relay.Requests() - r0) / passes;
      comm.Terminate();
      comm.WaitFor();
      return seconds;
    };
    long long requests = 0, unused = 0;
    const double passSeconds = runPasses(params, requests);
    const double directSeconds = runPasses(db.Params(), unused);
    double pingUs = 0;
    {
      bench::BareInsert pinger(params);
      for (int i = 0; i < 200; ++i) pinger.Ping();
      const auto p0 = bench::Steady::now();
      const int pings = 3000;
      for (int i = 0; i < pings; ++i) pinger.Ping();
      pingUs = bench::Seconds(p0, bench::Steady::now()) * 1e6 / pings;
    }
    // Each operation of a visit on its own, over a direct connection.
    struct Op {
      const char* name;
      int perVisit;
      double us;
    };
    std::vector<Op> ops;
    double directPass = 0;
    {
      TmodDatabase mod(db.Params());
      TmodFeriados feriados(&mod);
      const int reps = 500;
      auto time = [&](const char* name, int perVisit, const std::function<void(int)>& op) {
        for (int i = 0; i < 20; ++i) op(i);
        const auto t0 = bench::Steady::now();
        for (int i = 0; i < reps; ++i) op(i);
        ops.push_back({name, perVisit, bench::Seconds(t0, bench::Steady::now()) * 1e6 / reps});
      };
      time("GetEquipDescription", 1, [&](int i) { mod.GetEquipDescription(1 + i % equips); });
      time("GetCanalDescription", channels,
           [&](int i) { mod.GetCanalDescription(100 + (i % equips) * 100); });
      time("SetCommStatus", channels + 1,
           [&](int i) { mod.SetCommStatus(1, "Lendo Medidor " + std::to_string(i)); });
      time("SetEquipStatus", 1,
           [&](int i) { mod.SetEquipStatus(1 + i % equips, 1, "Comunicação normal"); });
      double visitUs = 0;
      for (const Op& op : ops) visitUs += op.perVisit * op.us;
      const auto t0 = bench::Steady::now();
      for (int i = 0; i < 50; ++i) feriados.Load();
      const double loadUs = bench::Seconds(t0, bench::Steady::now()) * 1e6 / 50;
      ops.push_back({"TmodFeriados::Load (per pass)", 0, loadUs});
      directPass = (visitUs * equips + loadUs) / 1e6;
    }
    std::filesystem::remove(logPath);
    const double predicted = requests * pingUs / 1e6;
    std::printf("bench_pass: %d equipment x %d channels, nothing new, %d passes measured\n",
                equips, channels, passes);
    std::printf("  time per pass %.3f s direct (%.2f ms per equipment), %.3f s through the "
                "counting relay\n",
                directSeconds, directSeconds * 1e3 / equips, passSeconds);
    std::printf("  requests per pass %lld (%.1f per equipment, %.2f per operation of the visit)\n",
                requests, static_cast<double>(requests) / equips,
                static_cast<double>(requests) / (equips * (2 * channels + 3) + 1));
    std::printf("  round trip (ping through the relay) %.1f us; requests x round trip %.3f s; "
                "pass / that %.2f\n",
                pingUs, predicted, passSeconds / predicted);
    std::printf("  the operations alone, direct connection (us each):\n");
    for (const auto& op : ops) std::printf("    %-32s %7.1f  x %d per visit\n", op.name, op.us, op.perVisit);
    std::printf("  sum of the operations of one pass %.3f s; direct pass / sum %.2f\n", directPass,
                directSeconds / directPass);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_pass: %s\n", e.what());
    return 1;
  }
  return 0;
}
