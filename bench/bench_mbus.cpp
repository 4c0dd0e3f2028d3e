// 1. Cost of decoding one M-Bus answer (MbusDecoder::Decode: the frame's
// checks, the header, every record's value, unit, description and channel
// name), the work the M-Bus driver does for each reading of a meter. The
// answers are the real ones of tests/data/mbus/test-frames, each decoded in
// turn; prints ns per answer (best of 5 runs after a warm-up).
//
// 2. One sampling round of 60 meters on one line at 2400 baud: the real
// MbusInterface and MbusMeter packages (dlopen) against the simulated line
// on TCP, which paces its bytes at 2400 baud (11 bits a character) and
// answers after a turnaround. The round runs from the period boundary until
// the last meter's sample is in its journal; it is compared with the time
// its bytes need on the wire (SND_NKE, E5, REQ_UD2 and the answer of each
// meter, the first reading of an address) plus two turnarounds a meter.
// Target: within 1.2. `bench_mbus round` runs it alone (it waits for a
// period boundary: up to a minute and a half).
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "packages/fieldbus/LocalClock.h"
#include "packages/mbus/MbusDecoder.h"
#include "packages/mbus/MbusHex.h"
#include "packages/mbus/sim/MbusSimLine.h"
#include "plugins/TelvaneSdk.h"

namespace {

class QuietLog : public KxPackageLog {
 public:
  void WriteLine(const std::u16string&) override {}
};

template <typename F>
F Symbol(void* lib, const char* name) {
  auto f = reinterpret_cast<F>(dlsym(lib, name));
  if (f == nullptr) {
    std::fprintf(stderr, "bench_mbus: %s not found\n", name);
    std::exit(1);
  }
  return f;
}

int SamplingRound() {
  constexpr int kMeters = 60;
  constexpr int kBaud = 2400;
  constexpr int kTurnaroundMs = 20;
  constexpr int kPeriodS = 40;
  const mbussim::Answer answer = mbussim::LoadAnswer(std::string(TELVANE_SOURCE_DIR) +
                                                     "/tests/data/mbus/test-frames/EFE_Engelmann-WaterStar.hex");
  mbussim::LineOptions options;
  options.baud = kBaud;
  options.pace = true;
  options.turnaroundMs = kTurnaroundMs;
  auto sim = mbussim::MbusSimLine::Tcp(0, options);
  for (int a = 1; a <= kMeters; ++a) sim->AddMeter({a, {answer}, -1});
  const std::string configs = "host=127.0.0.1; port=" + std::to_string(sim->Port()) +
                              "; baud=2400; timeout_ms=1000; period_s=" + std::to_string(kPeriodS);
  void* ifLib = dlopen(TELVANE_PACKAGES_DIR "/libMbusInterface.so", RTLD_NOW);
  void* drvLib = dlopen(TELVANE_PACKAGES_DIR "/libMbusMeter.so", RTLD_NOW);
  if (ifLib == nullptr || drvLib == nullptr) {
    std::fprintf(stderr, "bench_mbus: %s (build telvane_packages first)\n", dlerror());
    return 1;
  }
  QuietLog log;
  KxInterface* line = Symbol<KxCreateInterfaceProc>(ifLib, KX_CREATE_INTERFACE)(&log);
  line->InterfaceId = 1;
  if (!line->Configure(reinterpret_cast<const uint8_t*>(configs.data()), static_cast<int32_t>(configs.size())) ||
      !line->Open()) {
    std::fprintf(stderr, "bench_mbus: the interface does not open\n");
    return 1;
  }
  const auto dir = std::filesystem::temp_directory_path() / ("bench_mbus_round_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  constexpr int32_t kVolume = 10000016;
  std::vector<KxEquipamento*> meters;
  // Made a few seconds before a boundary (too late for the one before,
  // which they leave unread), so that the next one is their first round.
  while (fb::LocalNowMs() % (kPeriodS * fb::kMsPerSecond) < (kPeriodS - 5) * fb::kMsPerSecond)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (int a = 1; a <= kMeters; ++a) {
    auto* canais = new KxListaCanais();
    canais->AddCanal(a, kVolume, nullptr, 0, 0);
    meters.push_back(Symbol<KxCreateEquipClassProc>(drvLib, KX_CREATE_EQUIP_CLASS)(a, a, 0, canais, line, &log));
  }
  std::filesystem::current_path(old);
  const int64_t periodMs = kPeriodS * fb::kMsPerSecond;
  const int64_t boundary = (fb::LocalNowMs() / periodMs + 1) * periodMs;
  std::vector<bool> done(kMeters, false);
  int left = kMeters;
  int64_t end = 0;
  while (left > 0 && fb::LocalNowMs() < boundary + periodMs) {
    for (int i = 0; i < kMeters; ++i) {
      TDateTime date = 0;
      float value = 0;
      if (!done[static_cast<size_t>(i)] && meters[static_cast<size_t>(i)]->ReadHistorico(kVolume, 0, date, value) == ReadOk) {
        done[static_cast<size_t>(i)] = true;
        --left;
      }
    }
    end = fb::LocalNowMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (KxEquipamento* m : meters) delete m;
  line->Close();
  delete line;
  std::filesystem::remove_all(dir);
  if (left > 0) {
    std::fprintf(stderr, "bench_mbus: %d meter(s) not sampled within the period\n", left);
    return 1;
  }
  const double charS = 11.0 / kBaud;
  const double perMeter = (5 + 1 + 5 + static_cast<double>(answer[0].size())) * charS + 2 * kTurnaroundMs / 1000.0;
  const double wire = kMeters * perMeter;
  const double round = static_cast<double>(end - boundary) / 1000.0;
  std::printf("mbus round: %d meters at %d baud, %zu-byte answers: %.2f s (wire + turnaround %.2f s), ratio %.3f"
              " (target <= 1.2: %s)\n",
              kMeters, kBaud, answer[0].size(), round, wire, round / wire, round / wire <= 1.2 ? "met" : "NOT met");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "round") return SamplingRound();
  std::vector<std::vector<uint8_t>> answers;
  size_t records = 0;
  for (const auto& e : std::filesystem::directory_iterator(std::string(TELVANE_SOURCE_DIR) +
                                                           "/tests/data/mbus/test-frames")) {
    if (e.path().extension() != ".hex") continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<uint8_t> bytes;
    std::string why;
    mbus::MbusAnswer a;
    if (!mbus::MbusHex::Parse(text.str(), bytes, why) ||
        !mbus::MbusDecoder::Decode(bytes.data(), bytes.size(), a, why))
      continue;
    records += a.records.size();
    answers.push_back(std::move(bytes));
  }
  if (answers.empty()) {
    std::fprintf(stderr, "bench_mbus: no answers found\n");
    return 1;
  }
  const int rounds = 2000;
  double best = 1e30;
  size_t checksum = 0;
  for (int run = 0; run < 6; ++run) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < rounds; ++k) {
      for (const auto& bytes : answers) {
        mbus::MbusAnswer a;
        std::string why;
        mbus::MbusDecoder::Decode(bytes.data(), bytes.size(), a, why);
        checksum += a.records.size();
      }
    }
    const auto t1 = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / (rounds * answers.size());
    if (run > 0 && ns < best) best = ns;
  }
  std::printf("mbus decode: %.0f ns per answer (%zu real answers, %.1f records each on average; checksum %zu)\n",
              best, answers.size(), static_cast<double>(records) / answers.size(), checksum);
  return SamplingRound();
}
