// The Modbus meter's journal on its own: which sample answers a from-date
// (also when several fall in one minute, after a restart that comes back
// with the seconds cut off, and after the clock was ahead), what a crash
// leaves behind, the retention, the meter's identity, and the local clock
// the journal dates by. Built for Linux and for Windows
// (scripts/test-windows), where the journal's folder has a name outside
// ASCII, as an installation's folder may.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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
constexpr uint8_t kFailing = SampleJournal::kMeterFailing | SampleJournal::kChannelUnread;
constexpr int64_t kHour = 60 * kMsPerMinute;

// A UTF-8 path for std::filesystem and the streams (Windows would read a
// narrow string in its ANSI code page).
std::filesystem::path Fs(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// CRC-32 (IEEE), as the journal's header carries it.
uint32_t Crc32(const std::string& bytes) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c ^ 0xFFFFFFFFu;
}

// 16/03/2016 12:07:00, a whole minute.
const int64_t kT0 = (42445LL * 24 * 60 + 12 * 60 + 7) * kMsPerMinute;

class ModbusJournalTest : public ::testing::Test {
 protected:
  std::unique_ptr<SampleJournal> Open(int64_t nowMs, int64_t retentionMs = SampleJournal::kDefaultRetentionMs,
                                      uint64_t identity = 7, const std::string& at = "") {
    return std::make_unique<SampleJournal>(
        at.empty() ? path : at, 12, identity, nowMs,
        [this](const std::string& line) { lines.push_back(line); }, retentionMs);
  }
  // The date of the next sample of `address` after `from` (-1: none).
  static int64_t Next(SampleJournal& j, int32_t address, int64_t from, int64_t now = kT0 + kMsPerDay) {
    int64_t date = -1;
    float value = 0;
    return j.NextSample(address, from, now, date, value) ? date : -1;
  }
  bool Logged(const std::string& prefix) { return Said(prefix) > 0; }
  int Said(const std::string& prefix) {
    int n = 0;
    for (const auto& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  static bool Exists(const std::string& file) { return std::filesystem::exists(Fs(file)); }

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
      ASSERT_TRUE(j->Append(kT0 + k * 10 * kMsPerSecond, s, 0, nullptr, kT0));
    }
    // A round that is not later than the last record is refused.
    EXPECT_FALSE(j->Append(kT0 + 80 * kMsPerSecond, {{0, 9.f}}, 0, nullptr, kT0));

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
  ASSERT_TRUE(j->Append(kT0 + 2 * kMsPerMinute, {{0, 1.f}}, 0, nullptr, kT0));
  ASSERT_TRUE(j->Append(kT0 + 3 * kMsPerMinute, {{0, 2.f}}, 0, nullptr, kT0));
  EXPECT_EQ(Next(*j, 0, kT0 + 2 * kMsPerMinute), kT0 + 3 * kMsPerMinute);
  EXPECT_EQ(j->Count(), before + 2);

  // Alarms: dated after everything written, found after their from-date.
  SampleJournal::Alarm alarm;
  alarm.dateMs = kT0;  // earlier than the last record: moved after it
  alarm.classe = 20;
  alarm.reason = 1;
  ASSERT_TRUE(j->Append(kT0 + 4 * kMsPerMinute, {}, kFailing, &alarm, kT0));
  EXPECT_EQ(alarm.dateMs, kT0 + 3 * kMsPerMinute + 1);
  EXPECT_EQ(j->Flags(), kFailing);
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
      ASSERT_TRUE(j->Append(kT0 + k * kMsPerMinute, {{0, static_cast<float>(k)}, {1, 1.f}}, 0,
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
  ASSERT_TRUE(j->Append(kT0 + 5 * kMsPerMinute, {{1, 5.f}}, 0, nullptr, kT0));
  EXPECT_EQ(Next(*j, 1, kT0 + 3 * kMsPerMinute), kT0 + 5 * kMsPerMinute);
  EXPECT_EQ(SampleJournal::ReadAll(path).size(), 10u);
}

// Retention never drops what the service has not acknowledged (the highest
// from-date it asked a channel with, the alarms likewise), however far
// ahead the clock is; a rewrite that cannot create its new file is said once,
// fails no round and is tried again a day later.
TEST_F(ModbusJournalTest, RetentionDropsOnlyWhatTheServiceAcknowledgedWhateverTheClock) {
  const int64_t keep = 10 * kMsPerDay;
  {
    auto j = Open(kT0, keep);
    SampleJournal::Alarm alarm;
    alarm.classe = 20;
    ASSERT_TRUE(j->Append(kT0, {{0, 1.f}, {1, 1.f}}, kFailing, &alarm, kT0));
    ASSERT_TRUE(j->Append(kT0 + kMsPerDay, {{0, 2.f}, {1, 2.f}}, 0, nullptr, kT0));
  }
  // The clock two years ahead: neither the opening nor a round drops a thing.
  const int64_t far = kT0 + 730 * kMsPerDay;
  auto j = Open(far, keep);
  ASSERT_TRUE(j->Append(far, {{0, 3.f}, {1, 3.f}}, 0, nullptr, far));
  EXPECT_EQ(j->Count(), 7);
  EXPECT_FALSE(Logged("diário: "));
  // The service took channel 0 up to its second sample: those two go at the
  // next rewrite; channel 1 and the alarm stay.
  EXPECT_EQ(Next(*j, 0, kT0 + kMsPerDay, far), far);
  ASSERT_TRUE(j->Append(far + kMsPerDay, {{0, 4.f}}, 0, nullptr, far + kMsPerDay));
  EXPECT_EQ(j->Count(), 6);
  EXPECT_TRUE(Logged("diário: 2 registro(s) anterior(es) a "));
  EXPECT_EQ(Next(*j, 1, 0, far + kMsPerDay), kT0);

  // Its new file cannot be created (a folder holds its name).
  std::filesystem::create_directories(Fs(path + ".novo/x"));
  EXPECT_EQ(Next(*j, 1, kT0 + kMsPerDay, far + kMsPerDay), far);
  SampleJournal::Alarm found;
  ASSERT_TRUE(j->NextAlarm(kT0, far + kMsPerDay, found));
  EXPECT_FALSE(j->NextAlarm(found.dateMs, far + kMsPerDay, found));
  for (int day = 2; day <= 3; ++day)
    EXPECT_NO_THROW(EXPECT_TRUE(j->Append(far + day * kMsPerDay, {{0, 5.f}}, 0, nullptr,
                                          far + day * kMsPerDay)));
  EXPECT_EQ(Said("diário: falha ao descartar registros antigos: "), 1);
  EXPECT_EQ(j->Count(), 8);
  std::filesystem::remove_all(Fs(path + ".novo"));
  ASSERT_TRUE(j->Append(far + 4 * kMsPerDay, {{0, 6.f}}, 0, nullptr, far + 4 * kMsPerDay));
  EXPECT_TRUE(Logged("diário: registros antigos descartados novamente (2 falha(s))"));
  EXPECT_TRUE(Logged("diário: 3 registro(s) anterior(es) a "));
  EXPECT_EQ(j->Count(), 6);
  EXPECT_EQ(Next(*j, 1, 0, far + 4 * kMsPerDay), far);
}

// A journal written under another clock: the computer's clock was an hour
// ahead for two rounds, then corrected.
class ModbusJournalClockTest : public ModbusJournalTest {
 protected:
  // Rounds at kT0, +1, +2 min by the right clock, at +60 and +61 min by the
  // one ahead (an alarm after the last); the clock now says kT0 + 3 min.
  void WriteUnderTwoClocks(const std::string& at) {
    auto j = Open(kT0, SampleJournal::kDefaultRetentionMs, 7, at);
    for (int k = 0; k < 3; ++k)
      ASSERT_TRUE(j->Append(kT0 + k * kMsPerMinute, {{0, 1000.f + k}}, 0, nullptr, kT0 + k * kMsPerMinute));
    ASSERT_TRUE(j->Append(kT0 + kHour, {{0, 60.f}}, 0, nullptr, kT0 + kHour));
    SampleJournal::Alarm alarm;
    alarm.dateMs = kT0 + kHour + kMsPerMinute + 500;
    alarm.classe = 20;
    ASSERT_TRUE(j->Append(kT0 + kHour + kMsPerMinute, {{0, 61.f}}, SampleJournal::kChannelUnread,
                          &alarm, alarm.dateMs));
  }
  // The rounds the corrected clock samples from kT0 + 3 min to `to`
  // minutes, but the one at +60 min (the meter did not answer).
  static void SampleUpTo(SampleJournal& j, int from, int to) {
    for (int k = from; k <= to; ++k) {
      if (k == 60) continue;
      ASSERT_TRUE(j.Append(kT0 + k * kMsPerMinute, {{0, 1000.f + k}}, 0, nullptr, kT0 + k * kMsPerMinute));
    }
  }
  const int64_t now = kT0 + 3 * kMsPerMinute + 10 * kMsPerSecond;
};

TEST_F(ModbusJournalClockTest, RecordsAheadAreSetAsideAndDeliveredOnceWhenTheirTimeComes) {
  WriteUnderTwoClocks(path);
  auto j = Open(now);
  ASSERT_TRUE(j->SetAsideAhead(now));
  EXPECT_EQ(Said("diário: o relógio do computador estava adiantado: 3 registro(s) até 16/03/2016 "
                 "13:08:00 guardados em " + path + ".adiantado, entregues quando chegar a hora; "
                 "relógio agora 16/03/2016 12:10:10"), 1);
  EXPECT_EQ(j->LastDateMs(), kT0 + 2 * kMsPerMinute);
  EXPECT_EQ(j->AheadCount(), 4);  // and its marker
  EXPECT_EQ(j->Flags(), SampleJournal::kChannelUnread);  // the meter's state is the last round's
  // The corrected clock samples on; the service (which took up to +2 min)
  // gets each sample once, in date order, never before its time: at +60 min
  // the one dated ahead (nothing else then), at +61 min the right clock's.
  SampleUpTo(*j, 3, 62);
  std::vector<std::pair<int64_t, float>> got;
  int64_t from = kT0 + 2 * kMsPerMinute;
  for (int64_t clock = now; clock <= kT0 + 63 * kMsPerMinute; clock += 20 * kMsPerSecond) {
    int64_t date = 0;
    float value = 0;
    while (j->NextSample(0, from, clock, date, value)) {
      EXPECT_LE(date, clock);
      got.push_back({date, value});
      from = date;
    }
  }
  ASSERT_EQ(got.size(), 60u);
  EXPECT_EQ(got[56], std::make_pair(kT0 + 59 * kMsPerMinute, 1059.f));
  EXPECT_EQ(got[57], std::make_pair(kT0 + kHour, 60.f));
  EXPECT_EQ(got[58], std::make_pair(kT0 + 61 * kMsPerMinute, 1061.f));
  SampleJournal::Alarm alarm;
  EXPECT_FALSE(j->NextAlarm(kT0, kT0 + kHour, alarm));
  ASSERT_TRUE(j->NextAlarm(kT0, kT0 + 62 * kMsPerMinute, alarm));
  EXPECT_EQ(alarm.dateMs, kT0 + kHour + kMsPerMinute + 500);
  EXPECT_FALSE(j->NextAlarm(alarm.dateMs, kT0 + 62 * kMsPerMinute, alarm));

  // Delivered, and old enough: the ahead file goes with retention.
  const int64_t later = kT0 + 402 * kMsPerDay;
  ASSERT_TRUE(j->Append(later, {{0, 1.f}}, 0, nullptr, later));
  EXPECT_FALSE(Exists(path + ".adiantado"));
  EXPECT_EQ(j->Count(), 1);
}

TEST_F(ModbusJournalClockTest, WhatTheServiceTookWhileTheClockWasAheadIsNotDeliveredAgain) {
  WriteUnderTwoClocks(path);
  {
    auto j = Open(now);
    ASSERT_TRUE(j->SetAsideAhead(now));
    SampleUpTo(*j, 3, 4);
    // It stored up to +61 min while the clock was ahead: that from-date
    // stands for the newest record the main file kept, so the samples of
    // the corrected clock come, and the ahead ones never again.
    const int64_t clock = kT0 + 4 * kMsPerMinute;
    EXPECT_EQ(Next(*j, 0, kT0 + 61 * kMsPerMinute, clock), kT0 + 3 * kMsPerMinute);
    EXPECT_EQ(Next(*j, 0, kT0 + 3 * kMsPerMinute, clock), kT0 + 4 * kMsPerMinute);
    SampleJournal::Alarm alarm;
    EXPECT_FALSE(j->NextAlarm(kT0 + kHour + kMsPerMinute + 500, clock, alarm));
    SampleUpTo(*j, 5, 62);
    EXPECT_EQ(Next(*j, 0, kT0 + 59 * kMsPerMinute, kT0 + 62 * kMsPerMinute), kT0 + 61 * kMsPerMinute);
    EXPECT_FALSE(j->NextAlarm(kT0 + 4 * kMsPerMinute, kT0 + 62 * kMsPerMinute, alarm));
  }
  // Restarted before the corrected clock got there, the service asks from
  // just before the minute of its newest row: the same.
  WriteUnderTwoClocks(folder + "/equip-13.jrn");
  {
    auto j = Open(now, SampleJournal::kDefaultRetentionMs, 7, folder + "/equip-13.jrn");
    ASSERT_TRUE(j->SetAsideAhead(now));
  }
  auto j = Open(now, SampleJournal::kDefaultRetentionMs, 7, folder + "/equip-13.jrn");
  EXPECT_EQ(Next(*j, 0, kT0 + 61 * kMsPerMinute - 1, now + kMsPerMinute), -1);
  SampleUpTo(*j, 3, 3);
  EXPECT_EQ(Next(*j, 0, kT0 + 61 * kMsPerMinute - 1, now + kMsPerMinute), kT0 + 3 * kMsPerMinute);
  // A from-date ahead that did not come from that clock means what it says.
  EXPECT_EQ(Next(*j, 0, kT0 + 2 * kHour, now + kMsPerMinute), -1);
}

// A journal belongs to one meter as configured: another one's is set aside
// (kept), one written before identities is adopted, and one that is not a
// journal at all is renamed.
TEST_F(ModbusJournalTest, AJournalOfAnotherMeterIsSetAsideAndAnOlderOneAdopted) {
  {
    auto j = Open(kT0);
    ASSERT_TRUE(j->Append(kT0, {{0, 1.f}}, SampleJournal::kMeterFailing, nullptr, kT0));
  }
  // As the first version wrote it: version 1, no identity, one flag bit.
  std::string bytes;
  {
    std::ifstream in(Fs(path), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  bytes[8] = 1;
  std::fill(bytes.begin() + 20, bytes.begin() + 28, '\0');
  const uint32_t crc = Crc32(bytes.substr(0, 28));
  for (int i = 0; i < 4; ++i) bytes[28 + i] = static_cast<char>(crc >> (8 * i));
  std::ofstream(Fs(path), std::ios::binary | std::ios::trunc) << bytes;
  ASSERT_EQ(SampleJournal::ReadIdentity(path), 0u);
  {
    auto j = Open(kT0, SampleJournal::kDefaultRetentionMs, 9);
    EXPECT_EQ(SampleJournal::ReadIdentity(path), 9u);
    EXPECT_EQ(j->Flags(), kFailing);
    EXPECT_EQ(Next(*j, 0, 0), kT0);
    ASSERT_TRUE(j->Append(kT0 + kHour, {{0, 2.f}}, 0, nullptr, kT0 + kHour));
    ASSERT_TRUE(j->SetAsideAhead(kT0 + kMsPerMinute));
  }
  EXPECT_FALSE(Logged("diário " + path + " é de outro medidor"));

  // Another meter under the same EQUIP_ID: both files kept aside, a new
  // journal with nothing of the old meter's.
  auto j = Open(kT0 + 2 * kMsPerMinute, SampleJournal::kDefaultRetentionMs, 10);
  const std::string aside = path + ".anterior-20160316-120900";
  EXPECT_EQ(Said("diário " + path + " é de outro medidor ou de outra configuração (barramento, "
                 "unidade ou canais): renomeado para " + aside + "; começando outro"), 1);
  EXPECT_EQ(j->Count(), 0);
  EXPECT_EQ(Next(*j, 0, 0, kT0 + 2 * kHour), -1);
  EXPECT_EQ(SampleJournal::ReadAll(aside).size(), 1u);
  EXPECT_EQ(SampleJournal::ReadAll(aside + ".adiantado").size(), 2u);
  EXPECT_FALSE(Exists(path + ".adiantado"));
  j.reset();

  std::ofstream(Fs(path), std::ios::trunc) << "not a journal at all, but long enough for a header";
  j = Open(kT0, SampleJournal::kDefaultRetentionMs, 10);
  EXPECT_EQ(j->Count(), 0);
  EXPECT_TRUE(Exists(path + ".invalido"));
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
