// SampleJournal: the file in which a meter driver (ModbusMeter, ...) keeps
// what it sampled, so that the service can take it at its own pace (a
// database outage or a service restart loses nothing that was sampled).
//
// File format (docs/ModbusMeter.md has the same): a 32-byte header, then
// 32-byte records, all little-endian, appended in non-decreasing date order:
//
//   header  0  8  "TLVMBJ01"
//           8  4  format version (1)
//          12  4  EQUIP_ID
//          16  4  record size (32)
//          20  8  zero
//          28  4  CRC-32 of bytes 0..27
//   record  0  8  date: milliseconds since 30/12/1899 00:00, local time
//           8  8  aux (by type, below)
//          16  4  key (by type)
//          20  4  data (by type)
//          24  1  type: 'S' sample, 'A' alarm, 'K' acknowledgement
//          25  1  flags: bit 0 = the meter was failing when the record was
//                 written ('S' and 'A')
//          26  2  zero
//          28  4  CRC-32 (IEEE) of bytes 0..27
//
//   'S' a channel's value at a period boundary: key = its register address, data =
//       the value as a float32, aux = 0.
//   'A' an alarm of the meter: key = class, data = reason (the driver's own
//       code; ModbusMeter: mb::Status),
//       aux = detail: bits 0..31 the status detail, 32..47 the register
//       address, 48..55 the register table.
//   'K' the service asked for the channel `key` from the date aux: every
//       sample up to that date is stored. Written only for dates with
//       seconds (periods under a minute), see NextSample; dated as the
//       newest record before it.
//
// Crash safety: every append is synced to the disk before it returns, and
// nothing is ever written over. A crash or power cut can therefore only
// leave the record being written incomplete; it is cut off when the file is
// opened again. A record whose CRC does not match is skipped when read.
// Samples older than the retention (400 days) are dropped by rewriting the
// file (a new file synced, then renamed over the old one), at most daily.
//
// Threads: every public operation takes the journal's mutex (the meter's
// sampling thread appends while the service's acquisition thread reads).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "packages/fieldbus/JournalFile.h"
#include "packages/fieldbus/LocalClock.h"

namespace fb {

struct JournalRecord {
  int64_t dateMs = 0;
  int64_t aux = 0;
  int32_t key = 0;
  uint32_t data = 0;
  char type = 0;
  uint8_t flags = 0;  // kFailing
};

class SampleJournal {
 public:
  using LogFn = std::function<void(const std::string&)>;
  static constexpr int64_t kRecordSize = 32;
  static constexpr int64_t kHeaderSize = 32;
  static constexpr int64_t kDefaultRetentionMs = 400 * kMsPerDay;
  static constexpr uint8_t kFailing = 1;

  struct Sample {
    int32_t address;  // the register address (the last five digits of EQUIP_INDEX)
    float value;
  };
  struct Alarm {
    int64_t dateMs = 0;
    int32_t classe = 0;
    uint32_t reason = 0;
    int64_t detail = 0;
  };

  // Opens the journal at `path` (creating it), cuts off an incomplete last
  // record and drops what is older than `retentionMs` before `nowMs`. A file
  // that is not a journal is renamed aside (".invalido") and a new one
  // begun. Throws std::runtime_error when the file cannot be used at all.
  // `log` gets the journal's own lines (repairs, drops).
  SampleJournal(const std::string& path, int32_t equipId, int64_t nowMs, LogFn log,
                int64_t retentionMs = kDefaultRetentionMs);

  // Appends the samples of one period boundary `roundMs` and, when given,
  // an alarm, with one sync. The round must be later than every record
  // already written; the alarm is dated max(alarm->dateMs, last date + 1 ms)
  // and its date is written back. False (nothing written) when the round is
  // not later, or when the file cannot be written (the reason is logged).
  bool Append(int64_t roundMs, const std::vector<Sample>& samples, bool failing, Alarm* alarm,
              int64_t nowMs);

  // The first sample of channel `address` dated after `fromMs` and not after
  // `nowMs` (a sample is never delivered before its time, also when the
  // computer's clock was set back). A from-date with whole minutes that is
  // the minute of the last acknowledged date of the channel stands for that
  // date: the service zeroes the seconds of what it stores, so after a
  // restart it asks again from the minute, and the samples of that minute it
  // already has are not delivered again.
  bool NextSample(int32_t address, int64_t fromMs, int64_t nowMs, int64_t& dateMs, float& value);
  // The first alarm dated after `fromMs` and not after `nowMs`.
  bool NextAlarm(int64_t fromMs, int64_t nowMs, Alarm& alarm);

  // The date of the newest record (0 when empty), whether the meter was
  // failing at the newest sample or alarm, and the number of records.
  int64_t LastDateMs();
  bool Failing();
  int64_t Count();

  // Every valid record of the journal at `path`, oldest first (for tools and
  // tests; opens the file read-only and changes nothing).
  static std::vector<JournalRecord> ReadAll(const std::string& path);

 private:
  struct Cursor {
    bool valid = false;
    int64_t fromMs = 0;
    int64_t pos = 0;  // record where the next look starts
  };

  void OpenFile(int64_t nowMs);
  void Repair();
  void ScanTail();
  void Compact(int64_t nowMs);
  bool ReadRecord(int64_t index, JournalRecord& rec);
  // Index of the first record dated after `ms`.
  int64_t FirstAfter(int64_t ms);
  bool Write(const std::vector<JournalRecord>& records);
  void ForgetPositions();
  void ReportInvalid(int64_t index);

  std::mutex mutex_;
  std::string path_;
  int32_t equipId_;
  int64_t retentionMs_;
  LogFn log_;
  std::unique_ptr<JournalFile> file_;
  int64_t count_ = 0;
  int64_t firstDateMs_ = 0;
  int64_t lastDateMs_ = 0;
  bool failing_ = false;
  int64_t nextCompactMs_ = 0;  // no rewrite for retention before this
  bool writeFailed_ = false;  // the last write failed (logged once until one works)
  bool invalidReported_ = false;
  std::map<int32_t, int64_t> acked_;  // per channel: the last 'K' date
  std::map<int32_t, Cursor> sampleCursors_;
  std::set<int32_t> asked_;  // channels asked for since the journal was opened
  Cursor alarmCursor_;
};

}  // namespace fb
