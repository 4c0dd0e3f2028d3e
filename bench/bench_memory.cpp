// Memory of a loaded installation: 1000 equipment x 10 channels built by the
// installation loader from the configuration tables, with the simulated
// packages (SimInterface, SimMeter) and one variable of 4 periods x 3
// segments. Prints the resident size before and after the load.
//   bench_memory [equipment] [channels]
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bench/AcquisitionBenchKit.h"
#include "database/TmodDatabase.h"
#include "log/TFileLog.h"
#include "model/KxBuildingData.h"
#include "tests/support/TestDatabase.cpp"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  const int equips = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int channels = argc > 2 ? std::atoi(argv[2]) : 10;
  const fs::path work = fs::temp_directory_path() / "bench_memory";
  try {
    fs::remove_all(work);
    for (const char* folder : {"Interfaces", "Drivers"}) {
      fs::create_directories(work / folder);
      for (const char* lib : {"libSimInterface.so", "libSimMeter.so"})
        fs::copy_file(fs::path(TELVANE_PACKAGES_DIR) / lib, work / folder / lib,
                      fs::copy_options::overwrite_existing);
    }
    TestDatabase db;
    db.Exec("insert into INTERFACES values (1, 1, 'i', 'backlog_days=1', 'libSimInterface.so', "
            "'x')");
    db.Exec("insert into DRIVERS values (1, 'd', 1, 'libSimMeter.so', 1)");
    db.Exec("insert into VARIAVEIS values (1, 'E', 'kWh', 'Energia')");
    for (int p = 1; p <= 4; ++p) {
      db.Exec("insert into PERIODOS values (" + std::to_string(p) + ", 1, 0, 'p')");
      for (int s = 0; s < 3; ++s)
        db.Exec("insert into PERIODOS_SEGMENTOS values (" + std::to_string(p * 10 + s) + ", " +
                std::to_string(p) + ", '0" + std::to_string(s * 3) + ":00:00', '0" +
                std::to_string(s * 3 + 2) + ":00:00', 124)");
    }
    // One statement per block of rows keeps the set-up short.
    for (int e = 1; e <= equips; ++e) {
      std::string block = "execute block as begin insert into EQUIPAMENTOS values (" +
                          std::to_string(e) + ", 1, 0, 0, 'Medidor " + std::to_string(e) + "');";
      for (int c = 0; c < channels; ++c)
        block += " insert into CANAIS values (" + std::to_string(e * 100 + c) + ", " +
                 std::to_string(e) + ", " + std::to_string(c) + ", 1, 0, 'E', 'Canal " +
                 std::to_string(c) + "');";
      block += " end";
      FbTransaction tr(db.Sysdba(), {});
      tr.StartTransaction();
      {
        FbQuery q(db.Sysdba(), tr, block);
        q.ExecQuery();
      }
      tr.Commit();
    }

    const fs::path old = fs::current_path();
    fs::current_path(work);
    {
      TFileLog log((work / "Telvane.log").string());
      TmodDatabase mod(db.Params());
      const long before = bench::ResidentKiB();
      const auto t0 = bench::Steady::now();
      KxBuildingData building(&log, &mod);
      std::atomic<bool> stop{false};
      building.Load(&stop);
      const double seconds = bench::Seconds(t0, bench::Steady::now());
      const long after = bench::ResidentKiB();
      std::printf("bench_memory: %d equipment x %d channels loaded (%d equipment objects) in "
                  "%.1f s\n",
                  equips, channels, building.ListaEquipamentos->Count(), seconds);
      std::printf("  resident before the load %ld KiB, after %ld KiB: %ld KiB for the "
                  "installation (%.0f bytes per channel)\n",
                  before, after, after - before,
                  (after - before) * 1024.0 / (equips * channels));
    }
    fs::current_path(old);
    fs::remove_all(work);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_memory: %s\n", e.what());
    return 1;
  }
  return 0;
}
