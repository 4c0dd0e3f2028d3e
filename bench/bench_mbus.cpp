// Cost of decoding one M-Bus answer (MbusDecoder::Decode: the frame's
// checks, the header, every record's value, unit, description and channel
// name), the work the M-Bus driver does for each reading of a meter. The
// answers are the real ones of tests/data/mbus/test-frames, each decoded in
// turn; prints ns per answer (best of 5 runs after a warm-up).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "packages/mbus/MbusDecoder.h"
#include "packages/mbus/MbusHex.h"

int main() {
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
  return 0;
}
