// SampleJournal: the file in which a meter driver (ModbusMeter, ...) keeps
// what it sampled, so that the service can take it at its own pace (a
// database outage or a service restart loses nothing that was sampled). It
// knows nothing of the protocol: a record's key is "the channel's key" (the
// register address for Modbus), and the driver gives the meter's identity.
//
// File format (docs/ModbusMeter.md has the same): a 32-byte header, then
// 32-byte records, all little-endian, appended in non-decreasing date order:
//
//   header  0  8  "TLVMBJ01"
//           8  4  format version: 2 (version 1 files are read, see below)
//          12  4  EQUIP_ID
//          16  4  record size (32)
//          20  8  identity of the meter as configured (the driver's
//                 MeterIdentity; 0 in version 1)
//          28  4  CRC-32 of bytes 0..27
//   record  0  8  date: milliseconds since 30/12/1899 00:00, local time
//           8  8  aux (by type, below)
//          16  4  key (by type)
//          20  4  data (by type)
//          24  1  type: 'S' sample, 'A' alarm, 'K' acknowledgement,
//                 'M' clock marker (only in the ahead file)
//          25  1  flags ('S' and 'A'): the state of the meter at that round
//                 bit 0 kMeterFailing  it failed for another reason than a
//                                      value not available (what makes the
//                                      service show it without communication)
//                 bit 1 kChannelUnread a channel could not be read (with bit
//                                      0, or alone: a value not available)
//                 Version 1 has bit 0 alone for both; it is read as bits 0+1.
//          26  2  zero
//          28  4  CRC-32 (IEEE) of bytes 0..27
//
//   'S' a channel's value at a period boundary: key = the channel's key,
//       data = the value as a float32, aux = 0.
//   'A' an alarm of the meter: key = class, data = reason (the driver's own
//       code), aux = detail (the driver's own).
//   'K' the service asked for the channel `key` from the date aux: every
//       sample up to that date is stored. Written only for dates with
//       seconds (periods under a minute), see NextSample; dated as the
//       newest record before it.
//   'M' see "A clock that was ahead": dated as the newest record the main
//       file kept, aux = the newest date moved aside, key = data = 0.
//
// Identity. The header holds a hash of what makes the meter that meter (the
// driver's choice: for Modbus its bus, unit and channels). A file with
// another identity belongs to another meter: it is renamed aside, with its
// ahead file, to "<path>.anterior-AAAAMMDD-HHMMSS" (and ".adiantado" after
// that), kept, and a new journal begins. A file with identity 0 (version 1)
// is adopted: its header gets the identity, nothing else changes.
//
// A clock that was ahead. Records dated after the clock block the sampling
// (a round must be later than every record). SetAsideAhead moves them into
// the ahead file "<path>.adiantado" (same format, merged with one that
// exists, with an 'M' marker), so that the main file stays sorted and the
// sampling goes on by the corrected clock. Delivery takes from both files:
// the earliest record after the from-date, never one dated after the clock;
// at one date the main file's record wins (read by the corrected clock). A
// record of the ahead file counts as delivered once the service has asked
// from a date at or after it (it stored it while the clock was ahead). A
// from-date later than the clock, after the marker's date and not after the
// newest date moved aside, came from that clock: for the main file it stands
// for the marker's date, so the samples taken since the correction are
// delivered (the newest marker holds).
//
// Retention. Records older than the retention (400 days) are dropped, at
// most daily, by rewriting the file (a new file synced, then renamed over the
// old one), but never one the service has not acknowledged, whatever the
// clock says: a channel's samples only up to the highest from-date it asked
// with since the journal was opened, the alarms likewise (nothing before the
// first ask). The ahead file is kept the same way and removed when empty. A
// rewrite that fails is said once per run of failures and tried again a day
// later; it never fails a round.
//
// Crash safety: every append is synced to the disk before it returns, and
// nothing is ever written over. A crash or power cut can therefore only
// leave the record being written incomplete; it is cut off when the file is
// opened again. A record whose CRC does not match is skipped when read. The
// other changes are whole files written, synced and renamed over the old
// ones (a move aside interrupted between its two files is done again, the
// records it finds twice merged once).
//
// Threads: every public operation takes the journal's mutex (the meter's
// sampling thread appends while the service's acquisition thread reads).
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "packages/fieldbus/FailureRun.h"
#include "packages/fieldbus/LocalClock.h"

namespace fb {

struct JournalRecord {
  int64_t dateMs = 0;
  int64_t aux = 0;
  int32_t key = 0;
  uint32_t data = 0;
  char type = 0;
  uint8_t flags = 0;  // kMeterFailing, kChannelUnread
};

// The identity of a meter as configured, for the journal's header: a 64-bit
// FNV-1a hash of what the driver adds, in the order it adds it (texts with
// their length). Never 0, which stands for "written before identities".
class MeterIdentity {
 public:
  MeterIdentity& Add(const std::string& text);
  MeterIdentity& Add(int64_t value);
  uint64_t Value() const { return hash_ == 0 ? 1 : hash_; }

 private:
  void Mix(const void* bytes, size_t n);
  uint64_t hash_ = 14695981039346656037ull;
};

class RecordFile;

class SampleJournal {
 public:
  using LogFn = std::function<void(const std::string&)>;
  static constexpr int64_t kRecordSize = 32;
  static constexpr int64_t kHeaderSize = 32;
  static constexpr int64_t kDefaultRetentionMs = 400 * kMsPerDay;
  static constexpr uint8_t kMeterFailing = 1;
  static constexpr uint8_t kChannelUnread = 2;

  struct Sample {
    int32_t key;  // the channel's key (Modbus: the register address)
    float value;
  };
  struct Alarm {
    int64_t dateMs = 0;
    int32_t classe = 0;
    uint32_t reason = 0;
    int64_t detail = 0;
  };

  // Opens the journal at `path` (creating it) for the meter `identity`
  // (MeterIdentity::Value()), with its ahead file when there is one: cuts
  // off an incomplete last record; a file that is not a journal is renamed
  // aside (".invalido"), one of another meter too (see Identity), and a new
  // one begun. Drops nothing (nothing is acknowledged yet). Throws
  // std::runtime_error when a file cannot be used at all. `log` gets the
  // journal's own lines (repairs, drops, files set aside).
  SampleJournal(const std::string& path, int32_t equipId, uint64_t identity, int64_t nowMs,
                LogFn log, int64_t retentionMs = kDefaultRetentionMs);
  ~SampleJournal();

  // Appends the samples of one period boundary `roundMs` and, when given,
  // an alarm, with one sync; `flags` (kMeterFailing, kChannelUnread) is the
  // state of the meter at that round. The round must be later than every
  // record already written; the alarm is dated max(alarm->dateMs, last date
  // + 1 ms) and its date is written back. False (nothing written) when the
  // round is not later, or when the file cannot be written (said once per
  // run of failures, and when a write works again). May first drop what
  // retention allows (see Retention).
  bool Append(int64_t roundMs, const std::vector<Sample>& samples, uint8_t flags, Alarm* alarm,
              int64_t nowMs);

  // Moves the records dated after `nowMs` to the ahead file (see "A clock
  // that was ahead"), with one line in the log. True when the main file no
  // longer has a record after `nowMs` (also when there was none); false
  // when the files could not be written (said once per run of failures).
  bool SetAsideAhead(int64_t nowMs);

  // The first sample of channel `key` dated after `fromMs` and not after
  // `nowMs` (a sample is never delivered before its time), from either file
  // (see "A clock that was ahead"). A from-date with whole minutes that is
  // the minute of the last acknowledged date of the channel stands for that
  // date: the service zeroes the seconds of what it stores, so after a
  // restart it asks again from the minute, and the samples of that minute it
  // already has are not delivered again.
  bool NextSample(int32_t key, int64_t fromMs, int64_t nowMs, int64_t& dateMs, float& value);
  // The first alarm dated after `fromMs` and not after `nowMs`, likewise.
  bool NextAlarm(int64_t fromMs, int64_t nowMs, Alarm& alarm);

  // The date of the newest record of the main file (0 when empty), the
  // flags of the newest sample or alarm written (version 1's bit 0 read as
  // both), and the number of records of the main file and of the ahead file.
  int64_t LastDateMs();
  uint8_t Flags();
  int64_t Count();
  int64_t AheadCount();

  // Every valid record of the journal file at `path` (the main or the ahead
  // one), oldest first, and the identity in its header (0: none, or not a
  // journal). For tools and tests: opens the file read-only, changes nothing.
  static std::vector<JournalRecord> ReadAll(const std::string& path);
  static uint64_t ReadIdentity(const std::string& path);

 private:
  struct Cursor {
    bool valid = false;
    int64_t afterMs = 0;
    int64_t pos = 0;  // record where the next look starts
  };
  // What the service asked of one channel (or of the alarms) since the
  // journal was opened: the highest date it has from each file, and where
  // the last looks stopped.
  struct Asked {
    bool any = false;
    int64_t mainDoneMs = LLONG_MIN;
    int64_t aheadDoneMs = LLONG_MIN;
    Cursor main;
    Cursor ahead;
  };
  // The newest 'M' record: from-dates in (mainNewestMs, aheadUpToMs] later
  // than the clock stand for mainNewestMs in the main file.
  struct Marker {
    bool valid = false;
    int64_t mainNewestMs = 0;
    int64_t aheadUpToMs = 0;
  };

  enum class Compaction { Nothing, Done, Failed };

  std::unique_ptr<RecordFile> NewRecordFile(const std::string& path);
  std::unique_ptr<RecordFile> OpenFile(const std::string& path, int64_t nowMs);
  void SetAside(const std::string& path, int64_t nowMs);
  void ScanTail();
  void ReloadDates();
  void OpenAhead(int64_t nowMs);
  void RemoveAhead();
  // Replaces the file at `path` (open as `file`) by one holding `records`,
  // durably; `file` is then the new one (the old one when the new one could
  // not be made). False with the reason in `why`.
  bool Rewrite(std::unique_ptr<RecordFile>& file, const std::string& path,
               const std::vector<JournalRecord>& records, std::string& why);
  // The main file is open (opened again after a rewrite could not do it).
  bool Ready();
  bool Write(const std::vector<JournalRecord>& records);
  // The number of records moved; -1 when the files could not be written.
  int64_t MoveAhead(int64_t nowMs, std::string& why);
  void CompactIfDue(int64_t nowMs);
  Compaction Compact(int64_t cutoffMs, std::string& why);
  bool Droppable(const JournalRecord& rec, int64_t cutoffMs, bool main) const;
  std::vector<JournalRecord> Kept(const RecordFile& file, int64_t cutoffMs, bool main,
                                  int64_t& dropped) const;
  // The date after which the main file is looked in for a from-date (see
  // "A clock that was ahead").
  int64_t MainStart(int64_t startMs, int64_t nowMs) const;
  // The first record of `type` (and `key`, when given) in `file` dated after
  // `afterMs` and not after `nowMs`, looking on from where `cursor` stopped
  // when it stopped for the same date.
  bool Scan(const RecordFile& file, Cursor& cursor, int64_t afterMs, int64_t nowMs, char type,
            const int32_t* key, JournalRecord& found);
  bool Next(Asked& asked, int64_t mainAfterMs, int64_t fromMs, int64_t nowMs, char type,
            const int32_t* key, JournalRecord& found);
  void ForgetPositions();
  void ReportInvalid(int64_t index);

  std::mutex mutex_;
  std::string path_;
  std::string aheadPath_;
  int32_t equipId_;
  uint64_t identity_;
  int64_t retentionMs_;
  LogFn log_;
  std::unique_ptr<RecordFile> main_;
  std::unique_ptr<RecordFile> ahead_;  // null when there is no ahead file
  int64_t firstDateMs_ = 0;            // of the main file
  int64_t lastDateMs_ = 0;
  uint8_t flags_ = 0;
  Marker marker_;
  int64_t nextCompactMs_ = 0;  // no rewrite for retention before this
  FailureRun writeFailures_;
  FailureRun compactFailures_;
  FailureRun moveFailures_;
  bool invalidReported_ = false;
  std::map<int32_t, int64_t> acked_;  // per channel: the last 'K' date
  std::map<int32_t, Asked> channels_;
  Asked alarms_;
};

}  // namespace fb
