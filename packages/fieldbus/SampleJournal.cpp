#include "packages/fieldbus/SampleJournal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "packages/fieldbus/JournalFile.h"

namespace fb {

namespace {

// A UTF-8 path for std::filesystem (which would read a narrow string in the
// ANSI code page on Windows).
std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(FsPath(path), ec);
}

constexpr char kMagic[8] = {'T', 'L', 'V', 'M', 'B', 'J', '0', '1'};
constexpr uint32_t kVersion = 2;
constexpr char kSample = 'S';
constexpr char kAlarm = 'A';
constexpr char kAck = 'K';
constexpr char kMarker = 'M';
constexpr char kAheadSuffix[] = ".adiantado";
// How far back from the end the acknowledgements and the meter's state are
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
  return r.type == kSample || r.type == kAlarm || r.type == kAck || r.type == kMarker;
}

Bytes Header(int32_t equipId, uint64_t identity) {
  Bytes b{};
  std::memcpy(&b[0], kMagic, 8);
  Put(&b[8], kVersion, 4);
  Put(&b[12], static_cast<uint32_t>(equipId), 4);
  Put(&b[16], SampleJournal::kRecordSize, 4);
  Put(&b[20], identity, 8);
  Put(&b[28], Crc32(b.data(), 28), 4);
  return b;
}

// False when `b` is not the header of a journal; otherwise its identity
// (0 for version 1, written before identities).
bool ParseHeader(const Bytes& b, uint64_t& identity) {
  const uint64_t version = Get(&b[8], 4);
  if (std::memcmp(&b[0], kMagic, 8) != 0 || (version != 1 && version != kVersion) ||
      Get(&b[16], 4) != static_cast<uint64_t>(SampleJournal::kRecordSize) ||
      Get(&b[28], 4) != Crc32(b.data(), 28))
    return false;
  identity = version == 1 ? 0 : Get(&b[20], 8);
  return true;
}

// Version 1 had one flag for both states; a meter that failed had its
// channels unread as well.
uint8_t State(uint8_t flags) {
  return (flags & SampleJournal::kMeterFailing) != 0
             ? SampleJournal::kMeterFailing | SampleJournal::kChannelUnread
             : flags & SampleJournal::kChannelUnread;
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

// "AAAAMMDD-HHMMSS" of an instant, for the names of files set aside.
std::string Stamp(int64_t ms) {
  const std::string f = FormatMs(ms);  // dd/mm/yyyy hh:mm:ss
  return f.substr(6, 4) + f.substr(3, 2) + f.substr(0, 2) + "-" + f.substr(11, 2) +
         f.substr(14, 2) + f.substr(17, 2);
}

// A whole new file at `path` (one there is replaced): `header` and
// `records`, synced. False with the reason in `why`; never throws.
bool WriteWhole(const std::string& path, const Bytes& header,
                const std::vector<JournalRecord>& records, std::string& why) {
  std::error_code ec;
  std::filesystem::remove(FsPath(path), ec);
  try {
    JournalFile out(path);
    std::vector<uint8_t> buf(header.begin(), header.end());
    buf.reserve(buf.size() + records.size() * SampleJournal::kRecordSize);
    for (const JournalRecord& r : records) {
      const Bytes b = Encode(r);
      buf.insert(buf.end(), b.begin(), b.end());
    }
    if ((out.Size() == 0 || out.Truncate(0)) && out.Append(buf.data(), buf.size())) return true;
    why = path + ": " + JournalFile::ErrorText(out.LastError());
  } catch (const std::exception& e) {
    why = e.what();
  }
  return false;
}

}  // namespace

// One file of a journal (the main one or the ahead one): the header, then
// records in date order. Not thread-safe: the SampleJournal's mutex covers
// it. Throws std::runtime_error only from the constructor, Begin and Repair.
class RecordFile {
 public:
  using DamagedFn = std::function<void(int64_t)>;
  RecordFile(const std::string& path, DamagedFn onDamaged)
      : path_(path), file_(path), onDamaged_(std::move(onDamaged)) {}

  const std::string& Path() const { return path_; }
  bool HasHeader() const { return file_.Size() >= SampleJournal::kHeaderSize; }
  // False when the header is not a journal's; its identity otherwise.
  bool Identity(uint64_t& identity) const {
    Bytes b{};
    return file_.ReadAt(0, b.data(), b.size()) && ParseHeader(b, identity);
  }
  // A new journal (or one cut short before its header was complete).
  void Begin(const Bytes& header) {
    if ((file_.Size() > 0 && !file_.Truncate(0)) || !file_.Append(header.data(), header.size()))
      throw std::runtime_error(path_ + ": " + JournalFile::ErrorText(file_.LastError()));
  }
  // Cuts off an incomplete last record; the number of bytes cut.
  int64_t Repair() {
    const int64_t size = file_.Size();
    int64_t keep = kHeader + (size - kHeader) / kRecord * kRecord;
    // Only the record being written when the process or the machine stopped
    // can be incomplete: every append is synced before the next one begins.
    JournalRecord rec;
    while (keep > kHeader) {
      Bytes b{};
      if (file_.ReadAt(keep - kRecord, b.data(), b.size()) && Decode(b, rec)) break;
      keep -= kRecord;
    }
    if (keep != size && !file_.Truncate(keep))
      throw std::runtime_error(path_ + ": " + JournalFile::ErrorText(file_.LastError()));
    count_ = (keep - kHeader) / kRecord;
    return size - keep;
  }
  int64_t Count() const { return count_; }
  bool Read(int64_t index, JournalRecord& rec) const {
    Bytes b{};
    if (file_.ReadAt(kHeader + index * kRecord, b.data(), b.size()) && Decode(b, rec)) return true;
    onDamaged_(index);
    return false;
  }
  // Index of the first record dated after `ms`.
  int64_t FirstAfter(int64_t ms) const {
    int64_t lo = 0, hi = count_;
    JournalRecord rec;
    while (lo < hi) {
      const int64_t mid = lo + (hi - lo) / 2;
      // A damaged record has no date: the next valid one stands for it.
      int64_t probe = mid;
      while (probe < hi && !Read(probe, rec)) ++probe;
      if (probe == hi || rec.dateMs > ms)
        hi = mid;
      else
        lo = probe + 1;
    }
    return lo;
  }
  // The first valid record from `index` on, looking forward (+1) or back (-1).
  bool Valid(int64_t index, int step, JournalRecord& rec) const {
    for (; index >= 0 && index < count_; index += step)
      if (Read(index, rec)) return true;
    return false;
  }
  std::vector<JournalRecord> All() const {
    std::vector<JournalRecord> out;
    JournalRecord rec;
    for (int64_t i = 0; i < count_; ++i)
      if (Read(i, rec)) out.push_back(rec);
    return out;
  }
  bool Append(const std::vector<JournalRecord>& records) {
    std::vector<uint8_t> buf;
    buf.reserve(records.size() * kRecord);
    for (const JournalRecord& r : records) {
      const Bytes b = Encode(r);
      buf.insert(buf.end(), b.begin(), b.end());
    }
    if (!file_.Append(buf.data(), buf.size())) return false;
    count_ += static_cast<int64_t>(records.size());
    return true;
  }
  int LastError() const { return file_.LastError(); }

 private:
  static constexpr int64_t kHeader = SampleJournal::kHeaderSize;
  static constexpr int64_t kRecord = SampleJournal::kRecordSize;
  std::string path_;
  JournalFile file_;
  DamagedFn onDamaged_;
  int64_t count_ = 0;
};

MeterIdentity& MeterIdentity::Add(const std::string& text) {
  Add(static_cast<int64_t>(text.size()));
  Mix(text.data(), text.size());
  return *this;
}

MeterIdentity& MeterIdentity::Add(int64_t value) {
  uint8_t bytes[8];
  Put(bytes, static_cast<uint64_t>(value), 8);
  Mix(bytes, sizeof bytes);
  return *this;
}

void MeterIdentity::Mix(const void* bytes, size_t n) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < n; ++i) hash_ = (hash_ ^ p[i]) * 1099511628211ull;
}

SampleJournal::SampleJournal(const std::string& path, int32_t equipId, uint64_t identity,
                             int64_t nowMs, LogFn log, int64_t retentionMs)
    : path_(path),
      aheadPath_(path + kAheadSuffix),
      equipId_(equipId),
      identity_(identity),
      retentionMs_(retentionMs),
      log_(std::move(log)) {
  main_ = OpenFile(path_, nowMs);
  ScanTail();
  OpenAhead(nowMs);
}

SampleJournal::~SampleJournal() = default;

std::unique_ptr<RecordFile> SampleJournal::NewRecordFile(const std::string& path) {
  return std::make_unique<RecordFile>(path, [this](int64_t index) { ReportInvalid(index); });
}

std::unique_ptr<RecordFile> SampleJournal::OpenFile(const std::string& path, int64_t nowMs) {
  auto file = NewRecordFile(path);
  uint64_t identity = 0;
  if (file->HasHeader() && !file->Identity(identity)) {
    // Not a journal of ours: kept aside for whoever wants to look at it.
    file.reset();
    const std::string aside = path + ".invalido";
    int error = 0;
    if (!JournalFile::Replace(path, aside, error))
      throw std::runtime_error(path + ": não é um diário e não pode ser renomeado: " +
                               JournalFile::ErrorText(error));
    log_("diário " + path + " inválido: renomeado para " + aside + "; começando outro");
    file = NewRecordFile(path);
  } else if (file->HasHeader() && identity != 0 && identity != identity_) {
    file.reset();
    SetAside(path, nowMs);
    file = NewRecordFile(path);
  }
  const bool adopt = file->HasHeader() && identity == 0;
  if (!file->HasHeader()) file->Begin(Header(equipId_, identity_));
  if (const int64_t cut = file->Repair())
    log_("diário reparado: " + std::to_string(cut) +
         " byte(s) de um registro incompleto descartados no fim");
  if (adopt) {
    // Written before identities: it is this meter's (nothing says
    // otherwise); its header says so from now on.
    std::string why;
    if (!Rewrite(file, path, file->All(), why)) {
      if (file == nullptr) throw std::runtime_error(why);
      log_("diário " + path + ": falha ao gravar a identidade do medidor: " + why);
    }
  }
  return file;
}

void SampleJournal::SetAside(const std::string& path, int64_t nowMs) {
  const std::string base = path + ".anterior-" + Stamp(nowMs);
  std::string aside = base;
  for (int n = 2; Exists(aside) || Exists(aside + kAheadSuffix); ++n)
    aside = base + "-" + std::to_string(n);
  // The ahead file first: a stop between the two renames leaves the main
  // file, which is set aside again at the next start.
  int error = 0;
  if ((Exists(path + kAheadSuffix) &&
       !JournalFile::Replace(path + kAheadSuffix, aside + kAheadSuffix, error)) ||
      !JournalFile::Replace(path, aside, error))
    throw std::runtime_error(path + ": é de outro medidor e não pode ser renomeado: " +
                             JournalFile::ErrorText(error));
  log_("diário " + path +
       " é de outro medidor ou de outra configuração (barramento, unidade ou canais): "
       "renomeado para " + aside + "; começando outro");
}

void SampleJournal::ScanTail() {
  acked_.clear();
  flags_ = 0;
  ReloadDates();
  bool stateKnown = false;
  JournalRecord rec;
  const int64_t stop = std::max<int64_t>(0, main_->Count() - kTailScan);
  for (int64_t i = main_->Count() - 1; i >= stop; --i) {
    if (!main_->Read(i, rec)) continue;
    if (rec.type == kAck) {
      acked_.insert({rec.key, rec.aux});  // the newest one of its channel
    } else if (!stateKnown && (rec.type == kSample || rec.type == kAlarm)) {
      flags_ = State(rec.flags);
      stateKnown = true;
    }
  }
}

void SampleJournal::ReloadDates() {
  JournalRecord rec;
  firstDateMs_ = main_->Valid(0, 1, rec) ? rec.dateMs : 0;
  lastDateMs_ = main_->Valid(main_->Count() - 1, -1, rec) ? rec.dateMs : 0;
}

void SampleJournal::OpenAhead(int64_t nowMs) {
  ahead_.reset();
  marker_ = Marker{};
  if (!Exists(aheadPath_)) return;
  ahead_ = OpenFile(aheadPath_, nowMs);
  bool records = false;
  JournalRecord rec;
  for (int64_t i = 0; i < ahead_->Count(); ++i) {
    if (!ahead_->Read(i, rec)) continue;
    records = records || rec.type != kMarker;
    if (rec.type == kMarker && (!marker_.valid || rec.dateMs >= marker_.mainNewestMs))
      marker_ = Marker{true, rec.dateMs, rec.aux};
  }
  if (!records) RemoveAhead();
}

void SampleJournal::RemoveAhead() {
  ahead_.reset();
  marker_ = Marker{};
  std::error_code ec;
  std::filesystem::remove(FsPath(aheadPath_), ec);
}

bool SampleJournal::Rewrite(std::unique_ptr<RecordFile>& file, const std::string& path,
                            const std::vector<JournalRecord>& records, std::string& why) {
  const std::string tmp = path + ".novo";
  if (!WriteWhole(tmp, Header(equipId_, identity_), records, why)) return false;
  file.reset();  // Windows renames only what is not open here
  int error = 0;
  const bool replaced = JournalFile::Replace(tmp, path, error);
  if (!replaced) why = JournalFile::ErrorText(error);
  try {
    file = NewRecordFile(path);
    file->Repair();
  } catch (const std::exception& e) {
    file.reset();
    why = e.what();
    return false;
  }
  ForgetPositions();
  return replaced;
}

bool SampleJournal::Ready() {
  if (main_ != nullptr) return true;
  try {
    main_ = NewRecordFile(path_);
    main_->Repair();
    ReloadDates();
    return true;
  } catch (const std::exception& e) {
    main_.reset();
    if (writeFailures_.Begin()) log_("falha ao gravar o diário " + path_ + ": " + e.what());
    return false;
  }
}

void SampleJournal::ForgetPositions() {
  for (auto& [key, asked] : channels_) asked.main = asked.ahead = Cursor{};
  alarms_.main = alarms_.ahead = Cursor{};
}

void SampleJournal::ReportInvalid(int64_t index) {
  if (invalidReported_) return;
  invalidReported_ = true;
  log_("diário: registro " + std::to_string(index) + " danificado ignorado");
}

bool SampleJournal::Write(const std::vector<JournalRecord>& records) {
  if (!main_->Append(records)) {
    if (writeFailures_.Begin())
      log_("falha ao gravar o diário " + path_ + ": " +
           JournalFile::ErrorText(main_->LastError()));
    return false;
  }
  if (const int64_t failed = writeFailures_.End())
    log_("diário " + path_ + " gravado novamente" + FailureRun::Times(failed, "falha(s)"));
  if (main_->Count() == static_cast<int64_t>(records.size())) firstDateMs_ = records.front().dateMs;
  lastDateMs_ = std::max(lastDateMs_, records.back().dateMs);
  return true;
}

bool SampleJournal::Append(int64_t roundMs, const std::vector<Sample>& samples, uint8_t flags,
                           Alarm* alarm, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Ready()) return false;
  CompactIfDue(nowMs);
  if (!Ready()) return false;
  std::vector<JournalRecord> records;
  if (!samples.empty()) {
    if (main_->Count() > 0 && roundMs <= lastDateMs_) return false;
    for (const Sample& s : samples)
      records.push_back({roundMs, 0, s.key, BitsOf(s.value), kSample, flags});
  }
  if (alarm != nullptr) {
    const int64_t after = records.empty() ? lastDateMs_ : roundMs;
    alarm->dateMs =
        std::max(alarm->dateMs, (main_->Count() > 0 || !records.empty()) ? after + 1 : 0);
    records.push_back({alarm->dateMs, alarm->detail, alarm->classe, alarm->reason, kAlarm, flags});
  }
  if (records.empty()) return true;
  if (!Write(records)) return false;
  flags_ = State(flags);
  return true;
}

bool SampleJournal::SetAsideAhead(int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Ready()) return false;
  if (lastDateMs_ <= nowMs) return true;
  std::string why;
  const int64_t moved = MoveAhead(nowMs, why);
  if (moved < 0) {
    if (moveFailures_.Begin())
      log_("diário: falha ao guardar à parte os registros posteriores ao relógio: " + why);
    return false;
  }
  const int64_t failed = moveFailures_.End();
  if (moved > 0)
    log_("diário: o relógio do computador estava adiantado: " + std::to_string(moved) +
       " registro(s) até " + FormatMs(marker_.aheadUpToMs) + " guardados em " + aheadPath_ +
       ", entregues quando chegar a hora; relógio agora " + FormatMs(nowMs) +
       (failed > 0 ? FailureRun::Times(failed, "falha(s)") : ""));
  return true;
}

int64_t SampleJournal::MoveAhead(int64_t nowMs, std::string& why) {
  const int64_t first = main_->FirstAfter(nowMs);
  std::vector<JournalRecord> kept, moved, acks;
  JournalRecord rec;
  for (int64_t i = 0; i < main_->Count(); ++i) {
    if (!main_->Read(i, rec)) continue;
    if (i < first)
      kept.push_back(rec);
    else
      (rec.type == kAck ? acks : moved).push_back(rec);
  }
  // An acknowledgement's date only orders it: it stays, dated as the newest
  // record kept.
  const int64_t newestKept = kept.empty() ? 0 : kept.back().dateMs;
  for (JournalRecord& ack : acks) {
    ack.dateMs = newestKept;
    kept.push_back(ack);
  }
  if (!moved.empty()) {
    std::vector<JournalRecord> ahead = ahead_ != nullptr ? ahead_->All() : std::vector<JournalRecord>{};
    ahead.insert(ahead.end(), moved.begin(), moved.end());
    ahead.push_back({newestKept, moved.back().dateMs, 0, 0, kMarker, 0});
    std::stable_sort(ahead.begin(), ahead.end(), [](const JournalRecord& a, const JournalRecord& b) {
      return a.dateMs < b.dateMs;
    });
    // Records found twice (a move cut short between its two files, done
    // again) are kept once.
    std::vector<JournalRecord> merged;
    for (const JournalRecord& r : ahead)
      if (std::none_of(merged.rbegin(), merged.rend(), [&](const JournalRecord& m) {
            return m.dateMs == r.dateMs && Encode(m) == Encode(r);
          }))
        merged.push_back(r);
    if (!Rewrite(ahead_, aheadPath_, merged, why)) return -1;
    marker_ = Marker{true, newestKept, moved.back().dateMs};
  }
  if (!Rewrite(main_, path_, kept, why)) return -1;
  ReloadDates();
  return static_cast<int64_t>(moved.size());
}

void SampleJournal::CompactIfDue(int64_t nowMs) {
  const int64_t cutoff = nowMs - retentionMs_;
  JournalRecord first;
  const bool old = (main_->Count() > 0 && firstDateMs_ < cutoff - kMsPerDay) ||
                   (ahead_ != nullptr && ahead_->Valid(0, 1, first) && first.dateMs < cutoff - kMsPerDay);
  // At most daily; a clock set back does not hold it off.
  if (!old || (nowMs < nextCompactMs_ && nextCompactMs_ - nowMs <= kMsPerDay)) return;
  nextCompactMs_ = nowMs + kMsPerDay;  // a rewrite that fails is tried again a day later
  std::string why;
  switch (Compact(cutoff, why)) {
    case Compaction::Failed:
      if (compactFailures_.Begin()) log_("diário: falha ao descartar registros antigos: " + why);
      break;
    case Compaction::Done:
      if (const int64_t failed = compactFailures_.End())
        log_("diário: registros antigos descartados novamente" + FailureRun::Times(failed, "falha(s)"));
      break;
    case Compaction::Nothing:
      break;
  }
}

bool SampleJournal::Droppable(const JournalRecord& rec, int64_t cutoffMs, bool main) const {
  if (rec.dateMs >= cutoffMs) return false;
  const auto done = [main](const Asked& a) { return main ? a.mainDoneMs : a.aheadDoneMs; };
  switch (rec.type) {
    case kSample: {
      const auto it = channels_.find(rec.key);
      return it != channels_.end() && rec.dateMs <= done(it->second);
    }
    case kAlarm:
      return rec.dateMs <= done(alarms_);
    case kMarker:
      return rec.aux < cutoffMs;
    default:  // acknowledgements
      return true;
  }
}

std::vector<JournalRecord> SampleJournal::Kept(const RecordFile& file, int64_t cutoffMs, bool main,
                                               int64_t& dropped) const {
  std::vector<JournalRecord> kept;
  JournalRecord rec;
  for (int64_t i = 0; i < file.Count(); ++i) {
    if (file.Read(i, rec) && !Droppable(rec, cutoffMs, main))
      kept.push_back(rec);
    else
      ++dropped;
  }
  return kept;
}

SampleJournal::Compaction SampleJournal::Compact(int64_t cutoffMs, std::string& why) {
  int64_t droppedMain = 0, droppedAhead = 0;
  const std::vector<JournalRecord> main = Kept(*main_, cutoffMs, true, droppedMain);
  const std::vector<JournalRecord> ahead =
      ahead_ != nullptr ? Kept(*ahead_, cutoffMs, false, droppedAhead) : std::vector<JournalRecord>{};
  if (droppedMain + droppedAhead == 0) return Compaction::Nothing;
  if (droppedAhead > 0) {
    if (std::all_of(ahead.begin(), ahead.end(), [](const JournalRecord& r) { return r.type == kMarker; }))
      RemoveAhead();
    else if (!Rewrite(ahead_, aheadPath_, ahead, why))
      return Compaction::Failed;
  }
  if (droppedMain > 0) {
    if (!Rewrite(main_, path_, main, why)) return Compaction::Failed;
    ReloadDates();
  }
  log_("diário: " + std::to_string(droppedMain + droppedAhead) + " registro(s) anterior(es) a " +
       FormatMs(cutoffMs) + " descartado(s)");
  return Compaction::Done;
}

int64_t SampleJournal::MainStart(int64_t startMs, int64_t nowMs) const {
  if (marker_.valid && startMs > nowMs && startMs > marker_.mainNewestMs &&
      startMs <= marker_.aheadUpToMs)
    return marker_.mainNewestMs;
  return startMs;
}

bool SampleJournal::Scan(const RecordFile& file, Cursor& cursor, int64_t afterMs, int64_t nowMs,
                         char type, const int32_t* key, JournalRecord& found) {
  int64_t pos = cursor.valid && cursor.afterMs == afterMs ? cursor.pos : file.FirstAfter(afterMs);
  bool hit = false;
  for (; pos < file.Count(); ++pos) {
    if (!file.Read(pos, found)) continue;
    if (found.dateMs > nowMs) break;  // not yet: the clock was set back
    if (found.type == type && (key == nullptr || found.key == *key) && found.dateMs > afterMs) {
      hit = true;
      break;
    }
  }
  cursor = Cursor{true, afterMs, pos};
  return hit;
}

bool SampleJournal::Next(Asked& asked, int64_t mainAfterMs, int64_t fromMs, int64_t nowMs,
                         char type, const int32_t* key, JournalRecord& found) {
  asked.any = true;
  asked.mainDoneMs = std::max(asked.mainDoneMs, mainAfterMs);
  asked.aheadDoneMs = std::max(asked.aheadDoneMs, fromMs);
  JournalRecord inMain, inAhead;
  const bool main = Scan(*main_, asked.main, mainAfterMs, nowMs, type, key, inMain);
  const bool ahead =
      ahead_ != nullptr && Scan(*ahead_, asked.ahead, asked.aheadDoneMs, nowMs, type, key, inAhead);
  if (!main && !ahead) return false;
  // At one date the main file's record wins: it was read by the clock
  // that dates it.
  found = main && (!ahead || inMain.dateMs <= inAhead.dateMs) ? inMain : inAhead;
  return true;
}

bool SampleJournal::NextSample(int32_t key, int64_t fromMs, int64_t nowMs, int64_t& dateMs,
                               float& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Ready()) return false;
  Asked& asked = channels_[key];
  // The service stores dates without their seconds. A from-date on the
  // minute of the channel's last acknowledged date, at the first ask since
  // the journal was opened, is that date coming back after a restart:
  // continue after it. Later in a run a whole-minute from-date is a sample
  // of its own (a second channel on the same key may be behind the first
  // one's acknowledgement).
  int64_t start = fromMs;
  const auto acked = acked_.find(key);
  if (!asked.any && acked != acked_.end() && acked->second > fromMs &&
      ZeroSecondsMs(acked->second) == fromMs)
    start = acked->second;
  // Asked from a date with seconds: everything up to it is stored. Such a
  // date cannot be stored as it is, so it is remembered here.
  if (fromMs != ZeroSecondsMs(fromMs) && (acked == acked_.end() || fromMs > acked->second)) {
    // Dated as the newest record: it must not hold back the next round.
    if (Write({{lastDateMs_, fromMs, key, 0, kAck, 0}})) acked_[key] = fromMs;
  }
  JournalRecord rec;
  if (!Next(asked, MainStart(start, nowMs), fromMs, nowMs, kSample, &key, rec)) return false;
  dateMs = rec.dateMs;
  value = FloatOf(rec.data);
  return true;
}

bool SampleJournal::NextAlarm(int64_t fromMs, int64_t nowMs, Alarm& alarm) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Ready()) return false;
  JournalRecord rec;
  if (!Next(alarms_, MainStart(fromMs, nowMs), fromMs, nowMs, kAlarm, nullptr, rec)) return false;
  alarm = Alarm{rec.dateMs, rec.key, rec.data, rec.aux};
  return true;
}

int64_t SampleJournal::LastDateMs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastDateMs_;
}

uint8_t SampleJournal::Flags() {
  std::lock_guard<std::mutex> lock(mutex_);
  return flags_;
}

int64_t SampleJournal::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return main_ != nullptr ? main_->Count() : 0;
}

int64_t SampleJournal::AheadCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ahead_ != nullptr ? ahead_->Count() : 0;
}

std::vector<JournalRecord> SampleJournal::ReadAll(const std::string& path) {
  std::vector<JournalRecord> out;
  if (!Exists(path)) return out;
  JournalFile file(path);
  Bytes b{};
  uint64_t identity = 0;
  if (file.Size() < kHeaderSize || !file.ReadAt(0, b.data(), b.size()) || !ParseHeader(b, identity))
    return out;
  JournalRecord rec;
  for (int64_t off = kHeaderSize; off + kRecordSize <= file.Size(); off += kRecordSize)
    if (file.ReadAt(off, b.data(), b.size()) && Decode(b, rec)) out.push_back(rec);
  return out;
}

uint64_t SampleJournal::ReadIdentity(const std::string& path) {
  if (!Exists(path)) return 0;
  JournalFile file(path);
  Bytes b{};
  uint64_t identity = 0;
  if (file.Size() < kHeaderSize || !file.ReadAt(0, b.data(), b.size()) || !ParseHeader(b, identity))
    return 0;
  return identity;
}

}  // namespace fb
