#include "packages/fieldbus/SampleJournal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace fb {

namespace {

// A UTF-8 path for std::filesystem (which would read a narrow string in the
// ANSI code page on Windows).
std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

constexpr char kMagic[8] = {'T', 'L', 'V', 'M', 'B', 'J', '0', '1'};
constexpr uint32_t kVersion = 1;
constexpr char kSample = 'S';
constexpr char kAlarm = 'A';
constexpr char kAck = 'K';
// How far back from the end the acknowledgements and the failing state are
// looked for when the journal is opened.
constexpr int64_t kTailScan = 4096;

uint32_t Crc32(const uint8_t* p, size_t n) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

void Put(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t Get(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

using Bytes = std::array<uint8_t, SampleJournal::kRecordSize>;

Bytes Encode(const JournalRecord& r) {
  Bytes b{};
  Put(&b[0], static_cast<uint64_t>(r.dateMs), 8);
  Put(&b[8], static_cast<uint64_t>(r.aux), 8);
  Put(&b[16], static_cast<uint32_t>(r.key), 4);
  Put(&b[20], r.data, 4);
  b[24] = static_cast<uint8_t>(r.type);
  b[25] = r.flags;
  Put(&b[28], Crc32(b.data(), 28), 4);
  return b;
}

bool Decode(const Bytes& b, JournalRecord& r) {
  if (Get(&b[28], 4) != Crc32(b.data(), 28)) return false;
  r.dateMs = static_cast<int64_t>(Get(&b[0], 8));
  r.aux = static_cast<int64_t>(Get(&b[8], 8));
  r.key = static_cast<int32_t>(Get(&b[16], 4));
  r.data = static_cast<uint32_t>(Get(&b[20], 4));
  r.type = static_cast<char>(b[24]);
  r.flags = b[25];
  return r.type == kSample || r.type == kAlarm || r.type == kAck;
}

Bytes Header(int32_t equipId) {
  Bytes b{};
  std::memcpy(&b[0], kMagic, 8);
  Put(&b[8], kVersion, 4);
  Put(&b[12], static_cast<uint32_t>(equipId), 4);
  Put(&b[16], SampleJournal::kRecordSize, 4);
  Put(&b[28], Crc32(b.data(), 28), 4);
  return b;
}

bool HeaderValid(const Bytes& b) {
  return std::memcmp(&b[0], kMagic, 8) == 0 && Get(&b[8], 4) == kVersion &&
         Get(&b[16], 4) == static_cast<uint64_t>(SampleJournal::kRecordSize) &&
         Get(&b[28], 4) == Crc32(b.data(), 28);
}

float FloatOf(uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}
uint32_t BitsOf(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

}  // namespace

SampleJournal::SampleJournal(const std::string& path, int32_t equipId, int64_t nowMs, LogFn log,
                             int64_t retentionMs)
    : path_(path), equipId_(equipId), retentionMs_(retentionMs), log_(std::move(log)) {
  OpenFile(nowMs);
}

void SampleJournal::OpenFile(int64_t nowMs) {
  file_ = std::make_unique<JournalFile>(path_);
  Bytes header{};
  if (file_->Size() >= kHeaderSize && !(file_->ReadAt(0, header.data(), header.size()) &&
                                        HeaderValid(header))) {
    // Not a journal of ours: kept aside for whoever wants to look at it.
    file_.reset();
    const std::string aside = path_ + ".invalido";
    int error = 0;
    if (!JournalFile::Replace(path_, aside, error))
      throw std::runtime_error(path_ + ": não é um diário e não pode ser renomeado: " +
                               JournalFile::ErrorText(error));
    log_("diário " + path_ + " inválido: renomeado para " + aside + "; começando outro");
    file_ = std::make_unique<JournalFile>(path_);
  }
  if (file_->Size() < kHeaderSize) {
    // New (or cut short before its header was complete).
    if (file_->Size() > 0 && !file_->Truncate(0))
      throw std::runtime_error(path_ + ": " + JournalFile::ErrorText(file_->LastError()));
    const Bytes h = Header(equipId_);
    if (!file_->Append(h.data(), h.size()))
      throw std::runtime_error(path_ + ": " + JournalFile::ErrorText(file_->LastError()));
  }
  Repair();
  ScanTail();
  if (count_ > 0 && firstDateMs_ < nowMs - retentionMs_) Compact(nowMs);
}

void SampleJournal::Repair() {
  const int64_t size = file_->Size();
  int64_t keep = kHeaderSize + (size - kHeaderSize) / kRecordSize * kRecordSize;
  // Only the record being written when the process or the machine stopped
  // can be incomplete: every append is synced before the next one begins.
  JournalRecord rec;
  while (keep > kHeaderSize) {
    Bytes b{};
    if (file_->ReadAt(keep - kRecordSize, b.data(), b.size()) && Decode(b, rec)) break;
    keep -= kRecordSize;
  }
  if (keep != size) {
    if (!file_->Truncate(keep))
      throw std::runtime_error(path_ + ": " + JournalFile::ErrorText(file_->LastError()));
    log_("diário reparado: " + std::to_string(size - keep) +
         " byte(s) de um registro incompleto descartados no fim");
  }
  count_ = (keep - kHeaderSize) / kRecordSize;
}

void SampleJournal::ScanTail() {
  firstDateMs_ = lastDateMs_ = 0;
  failing_ = false;
  acked_.clear();
  JournalRecord rec;
  for (int64_t i = 0; i < count_; ++i) {
    if (ReadRecord(i, rec)) {
      firstDateMs_ = rec.dateMs;
      break;
    }
  }
  bool stateKnown = false;
  const int64_t stop = std::max<int64_t>(0, count_ - kTailScan);
  for (int64_t i = count_ - 1; i >= stop; --i) {
    if (!ReadRecord(i, rec)) continue;
    if (lastDateMs_ == 0) lastDateMs_ = rec.dateMs;
    if (rec.type == kAck) {
      if (!acked_.count(rec.key)) acked_[rec.key] = rec.aux;
    } else if (!stateKnown) {
      failing_ = (rec.flags & kFailing) != 0;
      stateKnown = true;
    }
  }
}

void SampleJournal::Compact(int64_t nowMs) {
  const int64_t cutoff = nowMs - retentionMs_;
  const std::string tmp = path_ + ".novo";
  int64_t dropped = 0;
  {
    std::error_code ec;
    std::filesystem::remove(FsPath(tmp), ec);
    JournalFile out(tmp);
    const Bytes h = Header(equipId_);
    std::vector<uint8_t> buf(h.begin(), h.end());
    JournalRecord rec;
    for (int64_t i = 0; i < count_; ++i) {
      if (!ReadRecord(i, rec) || rec.dateMs < cutoff) {
        ++dropped;
        continue;
      }
      const Bytes b = Encode(rec);
      buf.insert(buf.end(), b.begin(), b.end());
    }
    if (!out.Append(buf.data(), buf.size())) {
      log_("diário: falha ao descartar registros antigos: " +
           JournalFile::ErrorText(out.LastError()));
      return;
    }
  }
  file_.reset();
  int error = 0;
  if (!JournalFile::Replace(tmp, path_, error))
    log_("diário: falha ao descartar registros antigos: " + JournalFile::ErrorText(error));
  else
    log_("diário: " + std::to_string(dropped) + " registro(s) anterior(es) a " + FormatMs(cutoff) +
         " descartado(s)");
  file_ = std::make_unique<JournalFile>(path_);
  count_ = (file_->Size() - kHeaderSize) / kRecordSize;
  ForgetPositions();
  const auto acked = acked_;
  ScanTail();
  for (const auto& [key, ms] : acked) acked_.insert({key, ms});
}

void SampleJournal::ForgetPositions() {
  sampleCursors_.clear();
  alarmCursor_ = Cursor{};
}

void SampleJournal::ReportInvalid(int64_t index) {
  if (invalidReported_) return;
  invalidReported_ = true;
  log_("diário: registro " + std::to_string(index) + " danificado ignorado");
}

bool SampleJournal::ReadRecord(int64_t index, JournalRecord& rec) {
  Bytes b{};
  if (!file_->ReadAt(kHeaderSize + index * kRecordSize, b.data(), b.size()) || !Decode(b, rec)) {
    ReportInvalid(index);
    return false;
  }
  return true;
}

int64_t SampleJournal::FirstAfter(int64_t ms) {
  int64_t lo = 0, hi = count_;
  JournalRecord rec;
  while (lo < hi) {
    int64_t mid = lo + (hi - lo) / 2;
    // A damaged record has no date: the next valid one stands for it.
    int64_t probe = mid;
    while (probe < hi && !ReadRecord(probe, rec)) ++probe;
    if (probe == hi) {
      hi = mid;
    } else if (rec.dateMs > ms) {
      hi = mid;
    } else {
      lo = probe + 1;
    }
  }
  return lo;
}

bool SampleJournal::Write(const std::vector<JournalRecord>& records) {
  std::vector<uint8_t> buf;
  buf.reserve(records.size() * kRecordSize);
  for (const JournalRecord& r : records) {
    const Bytes b = Encode(r);
    buf.insert(buf.end(), b.begin(), b.end());
  }
  if (!file_->Append(buf.data(), buf.size())) {
    if (!writeFailed_)
      log_("falha ao gravar o diário " + path_ + ": " + JournalFile::ErrorText(file_->LastError()));
    writeFailed_ = true;
    return false;
  }
  if (writeFailed_) log_("diário " + path_ + " gravado novamente");
  writeFailed_ = false;
  if (count_ == 0) firstDateMs_ = records.front().dateMs;
  count_ += static_cast<int64_t>(records.size());
  lastDateMs_ = std::max(lastDateMs_, records.back().dateMs);
  return true;
}

bool SampleJournal::Append(int64_t roundMs, const std::vector<Sample>& samples, bool failing,
                           Alarm* alarm, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ > 0 && firstDateMs_ < nowMs - retentionMs_ - kMsPerDay && nowMs >= nextCompactMs_) {
    nextCompactMs_ = nowMs + kMsPerDay;  // a rewrite that fails is tried again a day later
    Compact(nowMs);
  }
  const uint8_t flags = failing ? kFailing : 0;
  std::vector<JournalRecord> records;
  if (!samples.empty()) {
    if (count_ > 0 && roundMs <= lastDateMs_) return false;
    for (const Sample& s : samples)
      records.push_back({roundMs, 0, s.address, BitsOf(s.value), kSample, flags});
  }
  if (alarm != nullptr) {
    const int64_t after = records.empty() ? lastDateMs_ : roundMs;
    alarm->dateMs = std::max(alarm->dateMs, (count_ > 0 || !records.empty()) ? after + 1 : 0);
    records.push_back({alarm->dateMs, alarm->detail, alarm->classe, alarm->reason, kAlarm, flags});
  }
  if (records.empty()) return true;
  if (!Write(records)) return false;
  if (alarm != nullptr || !samples.empty()) failing_ = failing;
  return true;
}

bool SampleJournal::NextSample(int32_t address, int64_t fromMs, int64_t nowMs, int64_t& dateMs,
                               float& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The service stores dates without their seconds. A from-date on the
  // minute of the channel's last acknowledged date, at the first ask since
  // the journal was opened, is that date coming back after a restart:
  // continue after it. Later in a run a whole-minute from-date is a sample
  // of its own (a second channel on the same register may be behind the
  // first one's acknowledgement).
  int64_t start = fromMs;
  const bool firstAsk = asked_.insert(address).second;
  const auto acked = acked_.find(address);
  if (firstAsk && acked != acked_.end() && acked->second > fromMs &&
      ZeroSecondsMs(acked->second) == fromMs)
    start = acked->second;
  // Asked from a date with seconds: everything up to it is stored. Such a
  // date cannot be stored as it is, so it is remembered here.
  if (fromMs != ZeroSecondsMs(fromMs) && (acked == acked_.end() || fromMs > acked->second)) {
    // Dated as the newest record: it must not hold back the next round.
    if (Write({{lastDateMs_, fromMs, address, 0, kAck, 0}}))
      acked_[address] = fromMs;
  }
  Cursor& cursor = sampleCursors_[address];
  int64_t pos = cursor.valid && cursor.fromMs == fromMs ? cursor.pos : FirstAfter(start);
  bool found = false;
  JournalRecord rec;
  for (; pos < count_; ++pos) {
    if (!ReadRecord(pos, rec)) continue;
    if (rec.dateMs > nowMs) break;  // not yet: the clock was set back
    if (rec.type == kSample && rec.key == address && rec.dateMs > start) {
      found = true;
      break;
    }
  }
  cursor = Cursor{true, fromMs, pos};
  if (!found) return false;
  dateMs = rec.dateMs;
  value = FloatOf(rec.data);
  return true;
}

bool SampleJournal::NextAlarm(int64_t fromMs, int64_t nowMs, Alarm& alarm) {
  std::lock_guard<std::mutex> lock(mutex_);
  int64_t pos = alarmCursor_.valid && alarmCursor_.fromMs == fromMs ? alarmCursor_.pos
                                                                    : FirstAfter(fromMs);
  bool found = false;
  JournalRecord rec;
  for (; pos < count_; ++pos) {
    if (!ReadRecord(pos, rec)) continue;
    if (rec.dateMs > nowMs) break;
    if (rec.type == kAlarm && rec.dateMs > fromMs) {
      found = true;
      break;
    }
  }
  alarmCursor_ = Cursor{true, fromMs, pos};
  if (!found) return false;
  alarm = Alarm{rec.dateMs, rec.key, rec.data, rec.aux};
  return true;
}

int64_t SampleJournal::LastDateMs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastDateMs_;
}

bool SampleJournal::Failing() {
  std::lock_guard<std::mutex> lock(mutex_);
  return failing_;
}

int64_t SampleJournal::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

std::vector<JournalRecord> SampleJournal::ReadAll(const std::string& path) {
  std::vector<JournalRecord> out;
  std::error_code ec;
  if (!std::filesystem::exists(FsPath(path), ec)) return out;
  JournalFile file(path);
  Bytes b{};
  if (file.Size() < kHeaderSize || !file.ReadAt(0, b.data(), b.size()) || !HeaderValid(b))
    return out;
  JournalRecord rec;
  for (int64_t off = kHeaderSize; off + kRecordSize <= file.Size(); off += kRecordSize)
    if (file.ReadAt(off, b.data(), b.size()) && Decode(b, rec)) out.push_back(rec);
  return out;
}

}  // namespace fb
