// The Modbus meter's journal on its own: which sample answers a from-date
// (also when several fall in one minute, and after a restart that comes back
// with the seconds cut off), what a crash leaves behind, the retention, and
// the local clock the journal dates by. Built for Linux and for Windows
// (scripts/test-windows), where the journal's folder has a name outside
// ASCII, as an installation's folder may.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "packages/fieldbus/LocalClock.h"
#include "packages/fieldbus/SampleJournal.h"
#include "platform/DateTime.h"
#include "support/ProcUtil.h"

namespace {

using fb::kMsPerDay;
using fb::kMsPerMinute;
using fb::kMsPerSecond;
using fb::SampleJournal;

// A UTF-8 path for std::filesystem and the streams (Windows would read a
// narrow string in its ANSI code page).
std::filesystem::path Fs(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// 16/03/2016 12:07:00, a whole minute.
const int64_t kT0 = (42445LL * 24 * 60 + 12 * 60 + 7) * kMsPerMinute;

class ModbusJournalTest : public ::testing::Test {
 protected:
  std::unique_ptr<SampleJournal> Open(int64_t nowMs, int64_t retentionMs = SampleJournal::kDefaultRetentionMs) {
    return std::make_unique<SampleJournal>(
        path, 12, nowMs, [this](const std::string& line) { lines.push_back(line); }, retentionMs);
  }
  // The date of the next sample of `address` after `from` (-1: none).
  static int64_t Next(SampleJournal& j, int32_t address, int64_t from, int64_t now = kT0 + kMsPerDay) {
    int64_t date = -1;
    float value = 0;
    return j.NextSample(address, from, now, date, value) ? date : -1;
  }
  bool Logged(const std::string& prefix) {
    for (const auto& l : lines)
      if (l.rfind(prefix, 0) == 0) return true;
    return false;
  }

  void SetUp() override { std::filesystem::create_directories(Fs(folder)); }

  proc::TempDir dir;
  std::string folder = dir / "Medições";
  std::string path = folder + "/equip-12.jrn";
  std::vector<std::string> lines;
};

TEST_F(ModbusJournalTest, NextSampleIsExactWithinAMinuteAndAfterARestartThatCutTheSeconds) {
  {
    auto j = Open(kT0);
    // Ten-second rounds; channel 1 could not be read at +20 s.
    for (int k = 0; k < 9; ++k) {
      std::vector<SampleJournal::Sample> s = {{0, static_cast<float>(k)}, {2, 1.f}};
      if (k != 2) s.push_back({1, static_cast<float>(100 + k)});
      ASSERT_TRUE(j->Append(kT0 + k * 10 * kMsPerSecond, s, false, nullptr, kT0));
    }
    // A round that is not later than the last record is refused.
    EXPECT_FALSE(j->Append(kT0 + 80 * kMsPerSecond, {{0, 9.f}}, false, nullptr, kT0));

    EXPECT_EQ(Next(*j, 0, kT0 - 1), kT0);
    for (int k = 0; k < 8; ++k)
      EXPECT_EQ(Next(*j, 0, kT0 + k * 10 * kMsPerSecond), kT0 + (k + 1) * 10 * kMsPerSecond);
    EXPECT_EQ(Next(*j, 0, kT0 + 80 * kMsPerSecond), -1);
    EXPECT_EQ(Next(*j, 1, kT0 + 10 * kMsPerSecond), kT0 + 30 * kMsPerSecond);  // the missing one skipped
    // Asked again from the same date (the service gives a record back when it
    // could not store it): the same sample.
    EXPECT_EQ(Next(*j, 1, kT0 + 10 * kMsPerSecond), kT0 + 30 * kMsPerSecond);
    // Never before its time.
    EXPECT_EQ(Next(*j, 0, kT0 + 70 * kMsPerSecond, kT0 + 75 * kMsPerSecond), -1);
    EXPECT_EQ(Next(*j, 0, kT0 + 70 * kMsPerSecond, kT0 + 80 * kMsPerSecond), kT0 + 80 * kMsPerSecond);
    // The service takes channel 2 up to 12:07:40 and channel 1 up to 12:08:10.
    for (int64_t from = kT0 - 1; from < kT0 + 40 * kMsPerSecond;) from = Next(*j, 2, from);
    EXPECT_EQ(Next(*j, 2, kT0 + 40 * kMsPerSecond), kT0 + 50 * kMsPerSecond);
    EXPECT_EQ(Next(*j, 1, kT0 + 70 * kMsPerSecond), kT0 + 80 * kMsPerSecond);
    // A second channel on register 2, behind the first one's 12:07:40: from
    // its 12:07:00 sample it gets the next one, not what follows 12:07:40.
    EXPECT_EQ(Next(*j, 2, kT0), kT0 + 10 * kMsPerSecond);
  }
  // Restarted, it asks from the newest stored DATA, seconds cut off: the
  // samples of that minute it already has are not delivered again.
  auto j = Open(kT0 + kMsPerMinute);
  EXPECT_EQ(Next(*j, 2, kT0), kT0 + 50 * kMsPerSecond);
  EXPECT_EQ(Next(*j, 1, kT0 + kMsPerMinute), kT0 + 80 * kMsPerSecond);
  // A from-date of another minute is taken as it is.
  EXPECT_EQ(Next(*j, 2, kT0 - kMsPerMinute), kT0);

  // Whole-minute samples need no acknowledgement: nothing is written.
  const int64_t before = j->Count();
  ASSERT_TRUE(j->Append(kT0 + 2 * kMsPerMinute, {{0, 1.f}}, false, nullptr, kT0));
  ASSERT_TRUE(j->Append(kT0 + 3 * kMsPerMinute, {{0, 2.f}}, false, nullptr, kT0));
  EXPECT_EQ(Next(*j, 0, kT0 + 2 * kMsPerMinute), kT0 + 3 * kMsPerMinute);
  EXPECT_EQ(j->Count(), before + 2);

  // Alarms: dated after everything written, found after their from-date.
  SampleJournal::Alarm alarm;
  alarm.dateMs = kT0;  // earlier than the last record: moved after it
  alarm.classe = 20;
  alarm.reason = 1;
  ASSERT_TRUE(j->Append(kT0 + 4 * kMsPerMinute, {}, true, &alarm, kT0));
  EXPECT_EQ(alarm.dateMs, kT0 + 3 * kMsPerMinute + 1);
  EXPECT_TRUE(j->Failing());
  SampleJournal::Alarm found;
  ASSERT_TRUE(j->NextAlarm(kT0, kT0 + kMsPerDay, found));
  EXPECT_EQ(found.dateMs, alarm.dateMs);
  EXPECT_EQ(found.classe, 20);
  EXPECT_FALSE(j->NextAlarm(alarm.dateMs, kT0 + kMsPerDay, found));
}

TEST_F(ModbusJournalTest, ACrashLosesAtMostTheRecordBeingWritten) {
  {
    auto j = Open(kT0);
    for (int k = 0; k < 5; ++k)
      ASSERT_TRUE(j->Append(kT0 + k * kMsPerMinute, {{0, static_cast<float>(k)}, {1, 1.f}}, false,
                            nullptr, kT0));
  }
  const auto size = std::filesystem::file_size(Fs(path));
  {
    // Half a record written when the power went...
    std::ofstream f(Fs(path), std::ios::binary | std::ios::app);
    f.write("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d", 13);
  }
  {
    auto j = Open(kT0);
    EXPECT_EQ(j->Count(), 10);
    EXPECT_TRUE(Logged("diário reparado: 13 byte(s)"));
    EXPECT_EQ(std::filesystem::file_size(Fs(path)), size);
  }
  {
    // ...or a whole one with garbage (the file grew, its data never came).
    std::fstream f(Fs(path), std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(size - 10));
    f.write("\0\0\0\0\0\0\0\0\0\0", 10);
  }
  auto j = Open(kT0);
  EXPECT_EQ(j->Count(), 9);
  EXPECT_EQ(Next(*j, 0, kT0 + 3 * kMsPerMinute), kT0 + 4 * kMsPerMinute);
  EXPECT_EQ(Next(*j, 1, kT0 + 3 * kMsPerMinute), -1);  // the damaged one
  ASSERT_TRUE(j->Append(kT0 + 5 * kMsPerMinute, {{1, 5.f}}, false, nullptr, kT0));
  EXPECT_EQ(Next(*j, 1, kT0 + 3 * kMsPerMinute), kT0 + 5 * kMsPerMinute);
  EXPECT_EQ(SampleJournal::ReadAll(path).size(), 10u);
}

TEST_F(ModbusJournalTest, OldSamplesAreDroppedAndAForeignFileIsSetAside) {
  const int64_t now = kT0 + 30 * kMsPerDay;
  {
    auto j = Open(kT0, 10 * kMsPerDay);
    ASSERT_TRUE(j->Append(kT0, {{0, 1.f}}, false, nullptr, kT0));
    ASSERT_TRUE(j->Append(now - 5 * kMsPerDay, {{0, 2.f}}, false, nullptr, kT0));
  }
  {
    auto j = Open(now, 10 * kMsPerDay);
    EXPECT_EQ(j->Count(), 1);
    EXPECT_EQ(Next(*j, 0, 0, now), now - 5 * kMsPerDay);
    EXPECT_TRUE(Logged("diário: 1 registro(s) anterior(es) a "));
  }
  std::ofstream(Fs(path), std::ios::trunc) << "not a journal at all, but long enough for a header";
  auto j = Open(now);
  EXPECT_EQ(j->Count(), 0);
  EXPECT_TRUE(std::filesystem::exists(Fs(path + ".invalido")));
  EXPECT_TRUE(Logged("diário " + path + " inválido: renomeado"));
}

// The journal's dates are the local clock's: the service's own clock agrees,
// and dates before 1970 (which a C runtime may refuse) are written out.
TEST(ModbusLocalClock, AgreesWithTheServiceAndFormatsAnyDate) {
  const int64_t service = fb::FromDateTime(dt::SystemNow());
  EXPECT_LT(std::llabs(fb::LocalNowMs() - service), 2 * kMsPerSecond);
  EXPECT_EQ(fb::FormatMs(kT0 + 5 * kMsPerSecond + 999), "16/03/2016 12:07:05");
  EXPECT_EQ(fb::FormatMs(0), "30/12/1899 00:00:00");
  EXPECT_EQ(fb::FormatMs(25569 * kMsPerDay - 1), "31/12/1969 23:59:59");
  EXPECT_EQ(fb::FormatMs(-2 * 365 * kMsPerDay + 3 * 3600 * kMsPerSecond), "30/12/1897 03:00:00");
}

}  // namespace
