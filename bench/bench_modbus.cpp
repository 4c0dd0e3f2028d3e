// The Modbus packages against libmodbus itself, on one TCP bus to a libmodbus
// server on 127.0.0.1 (the tests' server, in this process):
//   1. registers per second read through ModbusInterface::Exchange (the bus
//      queue, the request and reply structures, the retry loop) against a
//      bare modbus_read_registers loop on its own connection to the same
//      server, for 1, 10 and 125 registers per request (target: >= 0.9);
//   2. registers per second of ModbusMeter::ReadOnline over 20 float32
//      channels (40 touching registers, one request);
//   3. the journal's write cost: one sampling round of 1 and of 10 channels
//      appended and synced to the disk, per round and per sample;
//   4. dead units beside a healthy meter on one bus sampled every 5 s (the
//      default timeout and retry: 2 s per dead unit asked): the share of the
//      healthy meter's boundaries it sampled over 90 s, with 6 dead units
//      (12 s of silence if all were asked at each boundary). Target: >= 0.8
//      (the first two boundaries ask every unit: a unit backs off once the
//      others answered between two of its readings that got no answer, so
//      that a bus silent as a whole backs off nobody; about 3 boundaries of
//      the healthy meter are lost to that start, whatever the length).
//   bench_modbus [seconds per measure]
#include <dlfcn.h>
#include <modbus/modbus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "packages/modbus/ModbusProtocol.h"
#include "packages/fieldbus/SampleJournal.h"
#include "packages/modbus/sim/ModbusSimServer.h"
#include "plugins/TelvaneSdk.h"

namespace {

using Clock = std::chrono::steady_clock;

class QuietLog : public KxPackageLog {
 public:
  void WriteLine(const std::u16string&) override {}
};

// Calls `read` (which returns the registers it read, 0 on failure) for
// `seconds`; registers per second.
double Rate(double seconds, const std::function<int()>& read) {
  long long registers = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    const int n = read();
    if (n <= 0) {
      std::fprintf(stderr, "bench_modbus: a read failed\n");
      std::exit(1);
    }
    registers += n;
  }
  return registers / std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename F>
F Symbol(void* lib, const char* name) {
  auto f = reinterpret_cast<F>(dlsym(lib, name));
  if (f == nullptr) {
    std::fprintf(stderr, "bench_modbus: %s not found\n", name);
    std::exit(1);
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  auto server = mbsim::ModbusSimServer::Tcp();
  for (int i = 0; i < 125; i += 2) server->SetFloat(1, mbsim::ModbusSimServer::Table::Holding, static_cast<uint16_t>(i), 1.0f + i);
  const std::string configs = "host=127.0.0.1; port=" + std::to_string(server->Port());
  QuietLog log;

  void* ifLib = dlopen(TELVANE_PACKAGES_DIR "/libModbusInterface.so", RTLD_NOW);
  void* drvLib = dlopen(TELVANE_PACKAGES_DIR "/libModbusMeter.so", RTLD_NOW);
  if (ifLib == nullptr || drvLib == nullptr) {
    std::fprintf(stderr, "bench_modbus: %s (build telvane_packages first)\n", dlerror());
    return 1;
  }
  KxInterface* bus = Symbol<KxCreateInterfaceProc>(ifLib, KX_CREATE_INTERFACE)(&log);
  bus->InterfaceId = 1;
  if (!bus->Configure(reinterpret_cast<const uint8_t*>(configs.data()), static_cast<int32_t>(configs.size())) ||
      !bus->Open()) {
    std::fprintf(stderr, "bench_modbus: the interface does not open\n");
    return 1;
  }
  modbus_t* raw = modbus_new_tcp("127.0.0.1", server->Port());
  modbus_set_slave(raw, 1);
  if (modbus_connect(raw) != 0) {
    std::fprintf(stderr, "bench_modbus: libmodbus does not connect\n");
    return 1;
  }

  std::printf("1. one TCP bus, registers per second (best of 3 runs of %.1f s each)\n", seconds);
  std::printf("   %-10s %14s %14s %8s\n", "registers", "libmodbus", "interface", "ratio");
  bool met = true;
  for (int count : {1, 10, 125}) {
    std::vector<uint16_t> buf(125);
    mb::Request req;
    req.unit = 1;
    req.count = static_cast<uint16_t>(count);
    mb::ReadReply reply;
    double best[2] = {0, 0};
    for (int run = 0; run < 3; ++run) {
      best[0] = std::max(best[0], Rate(seconds, [&] { return modbus_read_registers(raw, 0, count, buf.data()); }));
      best[1] = std::max(best[1], Rate(seconds, [&] {
        bus->Exchange(&req, sizeof req, &reply, sizeof reply);
        return reply.status == mb::Status::Ok ? static_cast<int>(reply.count) : 0;
      }));
    }
    const double ratio = best[1] / best[0];
    met = met && ratio >= 0.9;
    std::printf("   %-10d %14.0f %14.0f %8.3f\n", count, best[0], best[1], ratio);
  }
  std::printf("   target >= 0.9: %s\n", met ? "met" : "NOT met");

  // 2. A meter's live read: 20 float32 channels in one request.
  {
    const auto dir = std::filesystem::temp_directory_path() / "bench_modbus_meter";
    std::filesystem::create_directories(dir);
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    auto* canais = new KxListaCanais();
    for (int i = 0; i < 20; ++i) canais->AddCanal(i, 45000000 + 2 * i, nullptr, 0, 0);
    // Sampled once a day: the live reads have the bus to themselves.
    KxEquipamento* meter =
        Symbol<KxCreateEquipClassProc>(drvLib, KX_CREATE_EQUIP_CLASS)(12, 1, 1440, canais, bus, &log);
    std::filesystem::current_path(old);
    const double rate = Rate(seconds, [&] {
      std::vector<std::u16string> names, values;
      return meter->ReadOnline(names, values) == 0 ? 40 : 0;
    });
    std::printf("2. ModbusMeter::ReadOnline, 20 float32 channels: %.0f registers/s (%.0f reads/s)\n", rate,
                rate / 40);
    delete meter;
    std::filesystem::remove_all(dir);
  }

  // 3. The journal on the disk of the current folder.
  {
    const std::string path = "bench_modbus.jrn";
    for (int channels : {1, 10}) {
      std::filesystem::remove(path);
      fb::SampleJournal journal(path, 1, 1, 0, [](const std::string&) {});
      std::vector<fb::SampleJournal::Sample> samples;
      for (int c = 0; c < channels; ++c) samples.push_back({c, 1.5f});
      const int rounds = 300;
      const auto start = Clock::now();
      for (int r = 1; r <= rounds; ++r) journal.Append(r * 60000LL, samples, 0, nullptr, 0);
      const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds;
      std::printf("3. journal, round of %2d channel(s): %8.1f us per round, %8.1f us per sample (synced)\n",
                  channels, us, us / channels);
    }
    std::filesystem::remove(path);
  }
  // 4. Dead units beside a healthy one.
  {
    const auto dir = std::filesystem::temp_directory_path() / "bench_modbus_dead";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    const std::string deadConfigs = configs + "; period_s=5";
    KxInterface* deadBus = Symbol<KxCreateInterfaceProc>(ifLib, KX_CREATE_INTERFACE)(&log);
    deadBus->InterfaceId = 2;
    deadBus->Configure(reinterpret_cast<const uint8_t*>(deadConfigs.data()),
                       static_cast<int32_t>(deadConfigs.size()));
    deadBus->Open();
    const int kDead = 6;
    const uint8_t kHealthy = 100;
    server->SetRegisters(kHealthy, mbsim::ModbusSimServer::Table::Holding, 0, {7});
    std::vector<KxEquipamento*> meters;
    for (int u = 0; u <= kDead; ++u) {
      const uint8_t unit = u == kDead ? kHealthy : static_cast<uint8_t>(110 + u);
      if (unit != kHealthy) server->SetSilent(unit, true);
      auto* canais = new KxListaCanais();
      canais->AddCanal(1, 41000000, nullptr, 0, 0);
      meters.push_back(Symbol<KxCreateEquipClassProc>(drvLib, KX_CREATE_EQUIP_CLASS)(
          200 + u, unit, 0, canais, deadBus, &log));
    }
    const int64_t before = server->Requests(kHealthy);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(90));
    const double boundaries =
        std::chrono::duration<double>(Clock::now() - start).count() / 5.0;
    const double share = static_cast<double>(server->Requests(kHealthy) - before) / boundaries;
    std::printf("4. %d dead units beside a healthy meter, 5 s period: %.2f of its boundaries "
                "sampled (target >= 0.8: %s)\n",
                kDead, share, share >= 0.8 ? "met" : "NOT met");
    for (KxEquipamento* m : meters) delete m;
    deadBus->Close();
    delete deadBus;
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
  }

  modbus_close(raw);
  modbus_free(raw);
  bus->Close();
  delete bus;
  return 0;
}
