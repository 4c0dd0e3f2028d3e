// mbus-meter-sim: M-Bus meters on a simulated line (MbusSimLine), answering
// with recorded telegrams, for the demo, the benchmark and trying the M-Bus
// packages or mbus-probe by hand.
//
//   mbus-meter-sim (--device PTY | --port N) [--baud 2400] [--pace]
//                  [--turnaround-ms N] [--silent A] [--garbage A]
//                  --meter A[:ID]=FILE[,FILE...] ...
//
// --device serves one end of a pseudo-terminal pair (socat), --port a TCP
// port on 127.0.0.1 (0: a free one, printed). Each --meter puts a meter at
// primary address A; ID (8 digits) replaces the identification number of
// its telegrams; each FILE (hex text, as the corpus in tests/data/mbus) is
// one answer of one or more telegrams, served one reading after another
// (the last one kept). Two meters whose identifications share digits
// collide on a wildcard selection as on a real bus. --pace sends at the
// line's speed (11 bits a character) after the request's own time and the
// turnaround; --silent and --garbage make a meter unanswering or make it
// answer with a wrong checksum. Runs until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "packages/mbus/sim/MbusSimLine.h"

namespace {

int Usage(const char* self) {
  std::fprintf(stderr,
               "uso: %s (--device PTY | --port N) [--baud N] [--pace] [--turnaround-ms N]\n"
               "       [--silent A] [--garbage A] --meter A[:ID]=ARQUIVO[,ARQUIVO...] ...\n",
               self);
  return 2;
}

// "A[:ID]=FILE[,FILE...]"; throws std::runtime_error saying why.
mbussim::MeterSetup ParseMeter(const std::string& text) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos) throw std::runtime_error("--meter sem '=': " + text);
  mbussim::MeterSetup setup;
  const std::string who = text.substr(0, eq);
  const size_t colon = who.find(':');
  setup.primary = std::atoi(who.substr(0, colon).c_str());
  if (colon != std::string::npos) {
    const std::string id = who.substr(colon + 1);
    if (id.size() != 8 || id.find_first_not_of("0123456789") != std::string::npos)
      throw std::runtime_error("identificação inválida: " + id);
    setup.id = static_cast<int64_t>(std::strtoul(id.c_str(), nullptr, 16));
  }
  std::string files = text.substr(eq + 1);
  for (size_t pos = 0; pos <= files.size();) {
    size_t end = files.find(',', pos);
    if (end == std::string::npos) end = files.size();
    setup.answers.push_back(mbussim::LoadAnswer(files.substr(pos, end - pos)));
    pos = end + 1;
  }
  return setup;
}

}  // namespace

int main(int argc, char** argv) {
  std::string device;
  int port = -1;
  mbussim::LineOptions options;
  std::vector<mbussim::MeterSetup> meters;
  std::vector<int> silent, garbage;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      const bool value = i + 1 < argc;
      if (arg == "--device" && value) device = argv[++i];
      else if (arg == "--port" && value) port = std::atoi(argv[++i]);
      else if (arg == "--baud" && value) options.baud = std::atoi(argv[++i]);
      else if (arg == "--pace") options.pace = true;
      else if (arg == "--turnaround-ms" && value) options.turnaroundMs = std::atoi(argv[++i]);
      else if (arg == "--silent" && value) silent.push_back(std::atoi(argv[++i]));
      else if (arg == "--garbage" && value) garbage.push_back(std::atoi(argv[++i]));
      else if (arg == "--meter" && value) meters.push_back(ParseMeter(argv[++i]));
      else return Usage(argv[0]);
    }
    if (device.empty() == (port < 0) || meters.empty() || options.baud < 300) return Usage(argv[0]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mbus-meter-sim: %s\n", e.what());
    return 1;
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::unique_ptr<mbussim::MbusSimLine> line;
  try {
    line = device.empty() ? mbussim::MbusSimLine::Tcp(port, options) : mbussim::MbusSimLine::Serial(device, options);
    for (const auto& m : meters) line->AddMeter(m);
    for (int a : silent) line->SetSilent(a, true);
    for (int a : garbage) line->SetGarbage(a, true);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mbus-meter-sim: %s\n", e.what());
    return 1;
  }
  if (device.empty())
    std::printf("mbus-meter-sim: M-Bus TCP 127.0.0.1:%d, %zu medidor(es)\n", line->Port(), meters.size());
  else
    std::printf("mbus-meter-sim: M-Bus %s, %zu medidor(es)\n", device.c_str(), meters.size());
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stopSignals, &sig);
  return 0;
}
