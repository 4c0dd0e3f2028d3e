// modbus-meter-sim: a Modbus TCP server that behaves like a few three-phase
// energy meters behind a gateway, for the demo (and for trying the Modbus
// packages by hand). Each unit answers the input registers of the example
// in docs/ModbusMeter.md, float32 high word first:
//   0, 2, 4     phase voltages (V)          6, 8, 10   phase currents (A)
//   12, 14, 16  phase active powers (W)     52         total active power (W)
//   70          frequency (Hz)              72         imported active energy (kWh)
//   74          exported active energy (kWh) 76        imported reactive energy (kvarh)
// Powers swing slowly; the energies grow with them. Any other register is
// answered with exception 2 (illegal data address), as a real meter does.
//
//   modbus-meter-sim [--port N] [--units 1,2,...]   (defaults: 1502, 1,2)
// Runs until SIGINT or SIGTERM.
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "packages/modbus/sim/ModbusSimServer.h"

namespace {

using Clock = std::chrono::steady_clock;

// One simulated meter: its energies integrate the power between requests.
struct MeterModel {
  int unit = 1;
  double importKwh = 0;
  double reactiveKvarh = 0;
  Clock::time_point last = Clock::now();
  Clock::time_point start = Clock::now();

  void Fill(uint16_t* input) {
    const auto now = Clock::now();
    const double t = std::chrono::duration<double>(now - start).count();
    const double dt = std::chrono::duration<double>(now - last).count();
    last = now;
    double total = 0;
    for (int phase = 0; phase < 3; ++phase) {
      const double volts = 220.0 + 3.0 * std::sin(t / 60.0 + phase);
      const double amps = (4.0 + unit) * (1.0 + 0.3 * std::sin(2 * M_PI * t / 600.0 + 2 * phase));
      const double watts = volts * amps * 0.95;
      total += watts;
      Put(input, 2 * phase, volts);
      Put(input, 6 + 2 * phase, amps);
      Put(input, 12 + 2 * phase, watts);
    }
    importKwh += total * dt / 3.6e6;
    reactiveKvarh += total * 0.33 * dt / 3.6e6;
    Put(input, 52, total);
    Put(input, 70, 60.0 + 0.02 * std::sin(t / 7.0));
    Put(input, 72, importKwh);
    Put(input, 74, 0.0);
    Put(input, 76, reactiveKvarh);
  }
  static void Put(uint16_t* regs, int address, double value) {
    const std::vector<uint16_t> w = mbsim::FloatWords(static_cast<float>(value));
    regs[address] = w[0];
    regs[address + 1] = w[1];
  }
};

}  // namespace

int main(int argc, char** argv) {
  int port = 1502;
  std::vector<int> units = {1, 2};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (arg == "--units" && i + 1 < argc) {
      units.clear();
      for (const char* p = argv[++i]; *p != '\0';) {
        char* end = nullptr;
        const long u = std::strtol(p, &end, 10);
        if (end == p || u < 1 || u > 247) break;
        units.push_back(static_cast<int>(u));
        p = *end == ',' ? end + 1 : end;
      }
    } else {
      std::fprintf(stderr, "usage: %s [--port N] [--units 1,2,...]\n", argv[0]);
      return 2;
    }
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::unique_ptr<mbsim::ModbusSimServer> server;
  try {
    server = mbsim::ModbusSimServer::Tcp(port);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "modbus-meter-sim: %s\n", e.what());
    return 1;
  }
  std::vector<std::shared_ptr<MeterModel>> models;
  for (int unit : units) {
    auto model = std::make_shared<MeterModel>();
    model->unit = unit;
    model->importKwh = 1000.0 * unit;
    model->reactiveKvarh = 300.0 * unit;
    const auto u = static_cast<uint8_t>(unit);
    server->Publish(u, mbsim::ModbusSimServer::Table::Input, 0, 18);
    server->Publish(u, mbsim::ModbusSimServer::Table::Input, 52, 2);
    server->Publish(u, mbsim::ModbusSimServer::Table::Input, 70, 8);
    server->SetHook(static_cast<uint8_t>(unit),
                    [model](uint16_t*, uint16_t* input) { model->Fill(input); });
    models.push_back(model);
  }
  std::printf("modbus-meter-sim: Modbus TCP on 127.0.0.1:%d, %zu unit(s)\n", server->Port(),
              units.size());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stopSignals, &sig);
  return 0;
}
