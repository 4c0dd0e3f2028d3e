// The M-Bus decoder on answers nobody would send: the corpus mutated (bits
// flipped, bytes set to the codes that steer the decoder, spans cut,
// repeated or inserted, telegrams spliced) and random bytes, most of them
// given valid L fields and checksum so that the application layer is
// reached. Each input sits in a heap block of exactly its size, so that
// ASan catches a read outside it. Runs for a fixed wall-time budget, longer
// under ASan+UBSan (CI's scripts/test address), with a seed it prints;
// TELVANE_MBUS_FUZZ_SEED=N replays a run, TELVANE_MBUS_FUZZ_SECONDS sets
// the budget.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "packages/mbus/MbusChannelName.h"
#include "packages/mbus/MbusDecoder.h"
#include "packages/mbus/MbusFrame.h"
#include "packages/mbus/MbusHex.h"
#include "packages/mbus/probe/MbusProbePrint.h"

namespace {

using Bytes = std::vector<uint8_t>;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultSeconds = 25;
#else
constexpr int kDefaultSeconds = 4;
#endif

std::vector<Bytes> Corpus() {
  std::vector<Bytes> out;
  for (const char* folder : {"test-frames", "error-frames"}) {
    for (const auto& e : std::filesystem::directory_iterator(std::string(TELVANE_SOURCE_DIR) + "/tests/data/mbus/" + folder)) {
      if (e.path().extension() != ".hex") continue;
      std::ifstream in(e.path(), std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      Bytes b;
      std::string why;
      if (mbus::MbusHex::Parse(text.str(), b, why)) out.push_back(b);
    }
  }
  return out;
}

// Bytes that steer the decoder: special DIFs, extension bits, the table
// markers, time points, LVARs, CIs.
const uint8_t kSteering[] = {0x00, 0x0F, 0x1F, 0x2F, 0x7F, 0x80, 0x8F, 0xFF, 0xFB, 0xFD, 0xFC, 0x7C, 0xEC,
                             0x6D, 0x6C, 0x0D, 0xBF, 0xC9, 0xD9, 0xEF, 0xF4, 0xF5, 0x72, 0x76, 0x7A, 0x70};

// Makes the frame's link layer valid again (L fields, checksum, stop byte)
// when it still looks like one long frame.
void Repair(Bytes& f) {
  if (f.size() < 9 || f.size() > mbus::MbusFrame::kMaxFrame) return;
  f[0] = f[3] = 0x68;
  f[1] = f[2] = static_cast<uint8_t>(f.size() - 6);
  f[4] = 0x08;
  f[f.size() - 2] = mbus::MbusFrame::Checksum(f.data() + 4, f.size() - 6);
  f.back() = 0x16;
}

Bytes Mutate(const std::vector<Bytes>& corpus, std::mt19937_64& rng) {
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % (n == 0 ? 1 : n)); };
  Bytes f = corpus[pick(corpus.size())];
  const int edits = 1 + static_cast<int>(pick(4));
  for (int k = 0; k < edits && !f.empty(); ++k) {
    const size_t at = pick(f.size());
    switch (pick(7)) {
      case 0: f[at] ^= static_cast<uint8_t>(1u << pick(8)); break;
      case 1: f[at] = kSteering[pick(sizeof kSteering)]; break;
      case 2: f[at] = static_cast<uint8_t>(rng()); break;
      case 3: f.erase(f.begin() + static_cast<long>(at), f.begin() + static_cast<long>(std::min(f.size(), at + 1 + pick(8)))); break;
      case 4: f.insert(f.begin() + static_cast<long>(at), 1 + pick(6), kSteering[pick(sizeof kSteering)]); break;
      case 5: f.resize(at); break;
      default: {
        const Bytes& other = corpus[pick(corpus.size())];
        const size_t from = pick(other.size());
        f.insert(f.begin() + static_cast<long>(at), other.begin() + static_cast<long>(from), other.end());
      }
    }
  }
  if (pick(4) != 0) Repair(f);
  return f;
}

Bytes Random(std::mt19937_64& rng) {
  const size_t n = rng() % 300;
  Bytes data(n);
  for (uint8_t& b : data) b = rng() % 3 == 0 ? kSteering[rng() % sizeof kSteering] : static_cast<uint8_t>(rng());
  if (rng() % 4 == 0 || n > 250) return data;
  const uint8_t ci = kSteering[22 + rng() % 4];
  return mbus::MbusFrame::Long(0x08, static_cast<uint8_t>(rng()), ci, data);
}

// Whatever the decoder makes of an input must hold together.
void Check(const uint8_t* bytes, size_t size) {
  mbus::MbusFrame::Parsed frame;
  std::string why;
  if (!mbus::MbusFrame::Parse(bytes, size, frame, why)) {
    ASSERT_FALSE(why.empty());
  }
  mbus::MbusAnswer answer;
  if (!mbus::MbusDecoder::Decode(bytes, size, answer, why)) {
    ASSERT_FALSE(why.empty());
    ASSERT_TRUE(answer.records.empty());
    return;
  }
  for (const mbus::Record& r : answer.records) {
    ASSERT_FALSE(mbus::MbusProbePrint::RecordLine(r).empty());
    if (r.equipIndex == 0) {
      ASSERT_TRUE(r.special != mbus::Special::None || !r.noName.empty());
      continue;
    }
    mbus::MbusChannelName name;
    ASSERT_TRUE(mbus::MbusChannelName::Parse(r.equipIndex, name, why)) << r.equipIndex << ": " << why;
    ASSERT_EQ(name.Index(), r.equipIndex);
    ASSERT_EQ(answer.WithIndex(r.equipIndex), &r);
    float v;
    if (mbus::MbusChannelName::StoredValue(answer, r.equipIndex, v, why)) {
      ASSERT_TRUE(std::isfinite(v));
    } else {
      ASSERT_FALSE(why.empty());
    }
  }
}

TEST(MbusFuzz, MutatedAndRandomAnswersAreReadOrRefusedWithinTheirBuffer) {
  const char* seedText = std::getenv("TELVANE_MBUS_FUZZ_SEED");
  const char* secondsText = std::getenv("TELVANE_MBUS_FUZZ_SECONDS");
  const uint64_t seed = seedText != nullptr ? std::strtoull(seedText, nullptr, 10) : std::random_device()();
  const int seconds = secondsText != nullptr ? std::atoi(secondsText) : kDefaultSeconds;
  std::printf("[ MbusFuzz ] semente %llu (TELVANE_MBUS_FUZZ_SEED), %d s\n", static_cast<unsigned long long>(seed),
              seconds);
  std::fflush(stdout);
  RecordProperty("seed", std::to_string(seed));
  const std::vector<Bytes> corpus = Corpus();
  ASSERT_GE(corpus.size(), 40u);
  std::mt19937_64 rng(seed);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  uint64_t inputs = 0, decoded = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    for (int k = 0; k < 64; ++k, ++inputs) {
      const Bytes input = rng() % 5 == 0 ? Random(rng) : Mutate(corpus, rng);
      // Exactly the input's size on the heap: one byte past it is ASan's.
      std::unique_ptr<uint8_t[]> block(new uint8_t[input.size()]);
      std::copy(input.begin(), input.end(), block.get());
      Check(block.get(), input.size());
      if (::testing::Test::HasFatalFailure()) {
        std::string hex;
        for (uint8_t b : input) {
          char x[4];
          std::snprintf(x, sizeof x, "%02X ", b);
          hex += x;
        }
        FAIL() << "input: " << hex;
      }
      mbus::MbusAnswer a;
      std::string why;
      decoded += mbus::MbusDecoder::Decode(block.get(), input.size(), a, why) ? 1 : 0;
    }
  }
  std::printf("[ MbusFuzz ] %llu entradas, %llu decodificadas\n", static_cast<unsigned long long>(inputs),
              static_cast<unsigned long long>(decoded));
  // The mutations must reach the application layer, not only the checksum.
  EXPECT_GT(decoded * 20, inputs);
}

}  // namespace
