// SimMeter: a simulated meter, the driver package used by the demo
// installation and the tests (docs/SimMeter.md explains it to package authors).
//
// Every equipment object keeps, for each channel (EquipIndex), an interval
// history: one record every `interval_min` minutes on a fixed grid
// (multiples of the interval since 30/12/1899 00:00, plus `record_second`
// seconds), from a history start up to the meter's own clock. The values grow
// like an energy register and depend only on the equipment id, the channel
// index and the record's time. Alarms follow a fixed schedule of their own.
// The meter's clock is the computer's clock plus an offset; a meter running
// ahead stores and delivers records dated in the future until SetRelogio
// sets the offset back to 0.
//
// ReadHistorico(index, from) answers the first record dated after `from`, or
// ReadEnd when there is none up to the meter's clock. When the service asks
// again with the same from-date (after ReadInvalid or a record it refused)
// the meter moves on by itself: each channel keeps a cursor (the from-date of
// the last call and the record delivered for it). ReadAlarme works the same
// way over the alarms. The cursor holds only for a re-ask that follows at
// once (within kCursorHold): a from-date asked again later (the service
// giving a record back after it could not store it) is answered by date, as
// a real meter would, and so delivers the same record again.
//
// Settings, one "key=value" per line, come from (in this order, later ones
// win): the CONFIGS text of the equipment's interface (SimInterface), lines
// "key=value" for every meter on it; DRV_ADDR1 (> 0: backlog_days) and
// DRV_ADDR2 (non-zero: clock_offset_hours); CONFIGS lines
// "equip.<EQUIP_ID>.key=value" for one meter; the defaults set by
// SimMeter_ControlAll. At run time, SimMeter_Control applies the same lines.
// The keys and commands are listed in docs/SimMeter.md and in Apply() below.
//
// Threads: every operation takes the equipment's own mutex, so the acquisition
// and online threads may call one object at the same time. Waits (slow_ms and
// the interface's latency) happen outside the mutex.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "packages/sim/SimConfig.h"
#include "packages/sim/SimDate.h"
#include "packages/sim/SimProtocol.h"
#include "plugins/TelvaneSdk.h"

namespace {

constexpr int64_t kAlarmOffsetMs = 7 * sim::kMsPerMinute + 30000;  // alarms at hh:07:30 past the grid
constexpr size_t kLongTextSize = 100000;
const int64_t kMs2000 = sim::EncodeMs(2000, 1, 1);

// ---------------------------------------------------------------------------
// The computer's clock as the package sees it: the real local clock, or a
// frozen instant set by a test ("now=...").
std::mutex g_clockMutex;
bool g_clockFrozen = false;
int64_t g_clockMs = 0;

int64_t ComputerNowMs() {
  std::lock_guard<std::mutex> lock(g_clockMutex);
  return g_clockFrozen ? g_clockMs : sim::LocalNowMs();
}

// Settings that concern the computer, not one meter. Returns false when the
// key is not one of them; `ok` tells whether the value was understood.
bool ApplyGlobal(const std::string& key, const std::string& value, bool& ok) {
  long long n = 0;
  if (key == "now") {
    std::lock_guard<std::mutex> lock(g_clockMutex);
    if (value == "system") {
      g_clockFrozen = false;
      ok = true;
    } else {
      int64_t ms = 0;
      ok = sim::ParseInstant(value, ms);
      if (ok) {
        g_clockFrozen = true;
        g_clockMs = ms;
      }
    }
    return true;
  }
  if (key == "advance_min" || key == "advance_sec") {
    ok = sim::ParseInt(value, n);
    if (ok) {
      std::lock_guard<std::mutex> lock(g_clockMutex);
      if (!g_clockFrozen) {
        g_clockFrozen = true;
        g_clockMs = sim::LocalNowMs();
      }
      g_clockMs += n * (key == "advance_min" ? sim::kMsPerMinute : 1000);
    }
    return true;
  }
  return false;
}

bool IsGlobalKey(const std::string& key) {
  return key == "now" || key == "advance_min" || key == "advance_sec";
}

// Keys that belong to SimInterface; a meter reading the same text skips them.
bool IsInterfaceKey(const std::string& key) {
  return key == "latency_ms" || key == "fail_configure" || key == "throw_configure" ||
         key == "fail_open" || key == "throw_open" || key == "offline";
}

struct Alarm {
  int64_t ms;
  int32_t classe;
  std::string text;  // UTF-8
};

// The alarm schedule: kind k % 6 of the k-th alarm slot.
Alarm ScheduledAlarm(int64_t k, int64_t intervalMs) {
  static const struct {
    int32_t classe;
    const char* text;
  } kKinds[6] = {{10, "Falta de energia"},
                 {11, "Retorno de energia"},
                 {12, "Tampa do medidor aberta"},
                 {0, "#Demanda zerada pelo operador"},
                 {13, "Tensão baixa na fase A"},
                 {14, ""}};
  const auto& kind = kKinds[((k % 6) + 6) % 6];
  return Alarm{k * intervalMs + kAlarmOffsetMs, kind.classe, kind.text};
}

using SteadyTime = std::chrono::steady_clock::time_point;
constexpr std::chrono::milliseconds kCursorHold{500};

struct Cursor {
  bool active = false;
  int64_t from = 0;       // from-date of the last call (ms)
  int64_t delivered = 0;  // the record handed out (or skipped) for it
  SteadyTime at{};        // when that call returned

  // A call that starts at `start` with from-date `fromMs` continues after
  // the record handed out for the same from-date only when it comes at once.
  bool Continues(int64_t fromMs, SteadyTime start) const {
    return active && from == fromMs && start - at < kCursorHold;
  }
};

class SimMeter;
std::mutex g_registryMutex;  // guards g_meters and g_defaults
std::vector<SimMeter*> g_meters;
std::string g_defaults;  // per-meter lines given to SimMeter_ControlAll

// ---------------------------------------------------------------------------
class SimMeter : public KxEquipamento {
 public:
  SimMeter(int32_t equipId, int32_t addr1, int32_t addr2, KxListaCanais* canais,
           KxInterface* interface_, KxPackageLog* log)
      : KxEquipamento(equipId, canais), interface_(interface_), log_(log) {
    const std::string config = ReadInterfaceConfig();
    const std::string prefix = "equip." + std::to_string(equipId) + ".";
    std::vector<std::string> ignored;
    // The computer's clock ("now", "advance_*") is for tests only: a table
    // row never freezes it.
    auto apply = [&](const std::string& key, const std::string& value) {
      if (IsInterfaceKey(key)) return;
      if (IsGlobalKey(key) || !Apply(key, value)) ignored.push_back(key + "=" + value);
    };
    const auto settings = sim::ParseSettings(config);
    for (const auto& [key, value] : settings)
      if (key.rfind("equip.", 0) != 0) apply(key, value);
    if (addr1 > 0) Apply("backlog_days", std::to_string(addr1));
    if (addr2 != 0) Apply("clock_offset_hours", std::to_string(addr2));
    for (const auto& [key, value] : settings)
      if (key.rfind(prefix, 0) == 0) apply(key.substr(prefix.size()), value);
    {
      std::lock_guard<std::mutex> lock(g_registryMutex);
      for (const auto& [key, value] : sim::ParseSettings(g_defaults)) Apply(key, value);
      creating_ = false;
      RecomputeStart();
      g_meters.push_back(this);
    }
    std::string line = "SimMeter [" + std::to_string(equipId) + "]: " +
                       std::to_string(canais != nullptr ? canais->Count() : 0) +
                       " canais, histórico desde " + sim::Format(startMs_) + ", relógio " +
                       sim::Format(MeterNowMs());
    WriteLog(line);
    for (const std::string& item : ignored)
      WriteLog("SimMeter [" + std::to_string(equipId) + "]: configuração ignorada: " + item);
  }

  ~SimMeter() override {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    g_meters.erase(std::remove(g_meters.begin(), g_meters.end(), this), g_meters.end());
  }

  // ---- operations ----------------------------------------------------------
  int ReadHistorico(int32_t equipIndex, TDateTime from, TDateTime& date, float& value) override {
    const SteadyTime start = std::chrono::steady_clock::now();
    Busy busy(*this);
    Pause();
    const bool reachable = Reachable();
    std::lock_guard<std::mutex> lock(mutex_);
    Count("history_calls");
    if (Consume("throw_history")) {
      Count("history_thrown");
      throw std::runtime_error(Name() + ": falha simulada lendo o histórico");
    }
    if (!reachable || Consume("fail_history")) {
      Count("history_failed");
      return failCode_;
    }
    Cursor& cursor = cursors_[equipIndex];
    const int64_t fromMs = FromMs(from);
    int64_t after = fromMs;
    if (cursor.Continues(fromMs, start)) after = std::max(after, cursor.delivered);
    if (!badHistory_.empty()) {
      const std::string kind = badHistory_.front();
      badHistory_.erase(badHistory_.begin());
      Count("history_bad");
      date = BadDate(kind);
      value = ValueAt(equipIndex, MeterNowMs());
      // The bad record sits in the log where it was read: a call from its
      // date (the service took it) goes on after it.
      if (std::isfinite(date)) cursor = Cursor{true, FromMs(date), after, std::chrono::steady_clock::now()};
      return ReadOk;
    }
    const int64_t next = NextRecordAfter(after);
    if (next > MeterNowMs()) {
      cursor.active = false;
      Count("history_end");
      return ReadEnd;
    }
    cursor = Cursor{true, fromMs, next, std::chrono::steady_clock::now()};
    if (Consume("invalid_history")) {
      Count("history_invalid");
      return ReadInvalid;
    }
    date = sim::ToDateTime(next);
    value = ValueAt(equipIndex, next);
    if (Consume("nan_value")) value = std::numeric_limits<float>::quiet_NaN();
    Count("history_ok");
    return ReadOk;
  }

  int ReadAlarme(TDateTime from, TDateTime& date, std::u16string& text, int32_t& classe) override {
    const SteadyTime start = std::chrono::steady_clock::now();
    Busy busy(*this);
    Pause();
    const bool reachable = Reachable();
    std::lock_guard<std::mutex> lock(mutex_);
    Count("alarm_calls");
    if (Consume("throw_alarm")) {
      Count("alarm_thrown");
      throw std::runtime_error(Name() + ": falha simulada lendo os alarmes");
    }
    if (!reachable || Consume("fail_alarm")) {
      Count("alarm_failed");
      return failCode_;
    }
    const int64_t fromMs = FromMs(from);
    int64_t after = fromMs;
    if (alarmCursor_.Continues(fromMs, start)) after = std::max(after, alarmCursor_.delivered);
    if (!badAlarm_.empty()) {
      const std::string kind = badAlarm_.front();
      badAlarm_.erase(badAlarm_.begin());
      Count("alarm_bad");
      date = BadDate(kind);
      text = u"Alarme com data inválida";
      classe = 99;
      if (std::isfinite(date))
        alarmCursor_ = Cursor{true, FromMs(date), after, std::chrono::steady_clock::now()};
      return ReadOk;
    }
    Alarm alarm;
    if (!NextAlarmAfter(after, alarm) || alarm.ms > MeterNowMs()) {
      alarmCursor_.active = false;
      Count("alarm_end");
      return ReadEnd;
    }
    alarmCursor_ = Cursor{true, fromMs, alarm.ms, std::chrono::steady_clock::now()};
    if (Consume("invalid_alarm")) {
      Count("alarm_invalid");
      return ReadInvalid;
    }
    if (Consume("long_text")) alarm.text = LongText();
    else if (Consume("empty_text")) alarm.text.clear();
    else if (Consume("note_text")) alarm.text = "#" + alarm.text;
    date = sim::ToDateTime(alarm.ms);
    text = sim::ToUtf16(alarm.text);
    classe = alarm.classe;
    Count("alarm_ok");
    return ReadOk;
  }

  int SetRelogio() override {
    Busy busy(*this);
    const bool reachable = Reachable();
    std::lock_guard<std::mutex> lock(mutex_);
    Count("clock_calls");
    if (Consume("throw_clock")) {
      Count("clock_thrown");
      throw std::runtime_error(Name() + ": falha simulada ajustando o relógio");
    }
    if (!reachable || Consume("refuse_clock")) {
      Count("clock_refused");
      return failCode_;
    }
    offsetMs_ = 0;  // the meter takes the computer's time
    Count("clock_ok");
    return 0;
  }

  int ReadVersao(std::u16string& version) override {
    Busy busy(*this);
    const bool reachable = Reachable();
    std::lock_guard<std::mutex> lock(mutex_);
    Count("version_calls");
    if (Consume("throw_version"))
      throw std::runtime_error(Name() + ": falha simulada lendo a versão");
    if (!reachable || Consume("fail_version")) return failCode_;
    version = sim::ToUtf16(version_.empty()
                               ? "SimMeter 1.0 - medidor simulado nº " + std::to_string(EquipId)
                               : version_);
    return 0;
  }

  int ReadOnline(std::vector<std::u16string>& names, std::vector<std::u16string>& values) override {
    Busy busy(*this);
    Pause();
    const bool reachable = Reachable();
    std::lock_guard<std::mutex> lock(mutex_);
    Count("online_calls");
    if (Consume("throw_online"))
      throw std::runtime_error(Name() + ": falha simulada lendo valores online");
    if (!reachable || Consume("fail_online")) {
      Count("online_failed");
      return failCode_;
    }
    const int64_t now = MeterNowMs();
    const int64_t s = sim::FloorDiv(now, 1000);
    const int64_t id = EquipId < 0 ? -static_cast<int64_t>(EquipId) : EquipId;
    const double tensao = 220.0 + static_cast<double>((s * 7 + id) % 50) / 10.0;
    const double corrente = 5.0 + static_cast<double>((s * 3 + id) % 100) / 10.0;
    char buf[64];
    names = {u"Tensao", u"Corrente", u"Potencia", u"Relogio"};
    std::snprintf(buf, sizeof buf, "%.1f", tensao);
    values.push_back(sim::ToUtf16(buf));
    std::snprintf(buf, sizeof buf, "%.1f", corrente);
    values.push_back(sim::ToUtf16(buf));
    std::snprintf(buf, sizeof buf, "%.3f", tensao * corrente / 1000.0);
    values.push_back(sim::ToUtf16(buf));
    values.push_back(sim::ToUtf16(sim::Format(now)));
    if (Consume("bad_online")) {
      names.push_back(u"Frequencia");  // a name without a value
      values.resize(2);
    }
    Count("online_ok");
    return 0;
  }

  // ---- control (tests) -------------------------------------------------------
  // Applies one per-meter setting or command; false when not understood.
  bool Control(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Apply(key, value);
  }

  int64_t HistoryCount(int32_t equipIndex, double from, double to) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t toMs = 0;
    if (!sim::FromDateTime(to, toMs)) toMs = std::numeric_limits<int64_t>::max();
    toMs = std::min(toMs, MeterNowMs());
    (void)equipIndex;  // every channel has the same grid
    const int64_t first = NextRecordAfter(FromMs(from));
    if (first > toMs) return 0;
    return (LastGridAtOrBefore(toMs) - first) / intervalMs_ + 1;
  }

  int32_t GetRecords(int32_t equipIndex, double from, int32_t max, double* dates, float* values) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = MeterNowMs();
    int32_t n = 0;
    for (int64_t t = NextRecordAfter(FromMs(from)); n < max && t <= now; t += intervalMs_, ++n) {
      if (dates != nullptr) dates[n] = sim::ToDateTime(t);
      if (values != nullptr) values[n] = ValueAt(equipIndex, t);
    }
    return n;
  }

  int32_t GetAlarms(double from, int32_t max, double* dates, int32_t* classes) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = MeterNowMs();
    int32_t n = 0;
    Alarm alarm;
    int64_t after = FromMs(from);
    while (n < max && NextAlarmAfter(after, alarm) && alarm.ms <= now) {
      if (dates != nullptr) dates[n] = sim::ToDateTime(alarm.ms);
      if (classes != nullptr) classes[n] = alarm.classe;
      after = alarm.ms;
      ++n;
    }
    return n;
  }

  // UTF-8 text of the alarm dated `date`; -1 when there is none.
  int32_t AlarmText(double date, char* buf, int32_t capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t ms = 0;
    if (!sim::FromDateTime(date, ms)) return -1;
    Alarm alarm;
    if (!NextAlarmAfter(ms - 1, alarm) || alarm.ms != ms) return -1;
    if (buf != nullptr && capacity > 0) {
      const size_t n = std::min(alarm.text.size(), static_cast<size_t>(capacity - 1));
      std::memcpy(buf, alarm.text.data(), n);
      buf[n] = '\0';
    }
    return static_cast<int32_t>(alarm.text.size());
  }

  int64_t Stat(const std::string& name) {
    if (name == "max_concurrent") return maxBusy_.load();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = stats_.find(name);
    return it == stats_.end() ? 0 : it->second;
  }

  double Clock() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sim::ToDateTime(MeterNowMs());
  }

  double HistoryStart() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sim::ToDateTime(startMs_);
  }

 private:
  // Counts the threads inside the object's operations at once.
  struct Busy {
    explicit Busy(SimMeter& m) : meter(m) {
      const int now = ++meter.busy_;
      int seen = meter.maxBusy_.load();
      while (now > seen && !meter.maxBusy_.compare_exchange_weak(seen, now)) {
      }
    }
    ~Busy() { --meter.busy_; }
    SimMeter& meter;
  };

  std::string Name() const { return "SimMeter [" + std::to_string(EquipId) + "]"; }

  void WriteLog(const std::string& line) {
    if (log_ != nullptr) log_->WriteLine(sim::ToUtf16(line));
  }

  std::string ReadInterfaceConfig() {
    if (interface_ == nullptr) return "";
    try {
      std::vector<char> buf(4096);
      const int32_t reqSize = static_cast<int32_t>(std::strlen(sim::kRequestConfig));
      int n = interface_->Exchange(sim::kRequestConfig, reqSize, buf.data(),
                                   static_cast<int32_t>(buf.size()));
      if (n > static_cast<int>(buf.size())) {
        buf.resize(static_cast<size_t>(n));
        n = interface_->Exchange(sim::kRequestConfig, reqSize, buf.data(),
                                 static_cast<int32_t>(buf.size()));
      }
      if (n <= 0) return "";
      return std::string(buf.data(), std::min(static_cast<size_t>(n), buf.size()));
    } catch (...) {
      return "";  // an interface of another kind: no settings from it
    }
  }

  // True when the interface carries a request (always, without an interface).
  bool Reachable() {
    if (interface_ == nullptr) return true;
    try {
      char reply[16];
      const int32_t size = static_cast<int32_t>(std::strlen(sim::kRequestPing));
      return interface_->Exchange(sim::kRequestPing, size, reply, sizeof reply) >= 0;
    } catch (...) {
      return false;
    }
  }

  void Pause() {
    int ms;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ms = slowMs_;
    }
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }

  void Count(const char* name) { ++stats_[name]; }

  // Uses up one of a counted fault; a negative count never runs out.
  bool Consume(const char* name) {
    auto it = faults_.find(name);
    if (it == faults_.end() || it->second == 0) return false;
    if (it->second > 0) --it->second;
    return true;
  }

  void AddFault(const std::string& name) {
    long long& count = faults_[name];
    if (count >= 0) ++count;
  }

  int64_t MeterNowMs() const { return ComputerNowMs() + offsetMs_; }

  // A from-date as an instant: NaN and dates before the year 1 ask for
  // everything, dates after 9999 for nothing.
  static int64_t FromMs(double from) {
    int64_t ms = 0;
    if (sim::FromDateTime(from, ms)) return ms;
    if (std::isnan(from) || from < 0) return std::numeric_limits<int64_t>::min() / 4;
    return std::numeric_limits<int64_t>::max() / 4;
  }

  int64_t LastGridAtOrBefore(int64_t ms) const {
    return sim::FloorDiv(ms - secondMs_, intervalMs_) * intervalMs_ + secondMs_;
  }

  int64_t NextRecordAfter(int64_t ms) const {
    if (ms < startMs_) return startMs_;
    return LastGridAtOrBefore(ms) + intervalMs_;
  }

  // The first alarm dated after `ms` (scheduled from the history start, or
  // added by a test), whatever the meter's clock.
  bool NextAlarmAfter(int64_t ms, Alarm& out) const {
    bool found = false;
    if (alarmIntervalMs_ > 0) {
      const int64_t lowest = std::max(ms + 1, startMs_);
      const int64_t k = sim::FloorDiv(lowest - kAlarmOffsetMs - 1, alarmIntervalMs_) + 1;
      out = ScheduledAlarm(k, alarmIntervalMs_);
      found = true;
    }
    for (const Alarm& extra : extraAlarms_) {
      if (extra.ms <= ms) continue;
      if (!found || extra.ms < out.ms) out = extra;
      found = true;
      break;  // sorted by date
    }
    return found;
  }

  bool IsScheduledAlarmTime(int64_t ms) const {
    if (alarmIntervalMs_ <= 0) return false;
    return ((ms - kAlarmOffsetMs) % alarmIntervalMs_) == 0;
  }

  float ValueAt(int32_t equipIndex, int64_t ms) const {
    const uint32_t h = static_cast<uint32_t>(EquipId) * 2654435761u ^
                       static_cast<uint32_t>(equipIndex) * 40503u;
    const double rate = 0.01 * (1 + h % 20);  // per minute
    const double minutes = std::max<double>(0.0, static_cast<double>(ms - kMs2000) / 60000.0);
    const double base = 1000.0 * (std::abs(EquipId % 1000)) + 100.0 * std::abs(equipIndex % 10);
    return static_cast<float>(base + rate * minutes);
  }

  static TDateTime BadDate(const std::string& kind) {
    if (kind == "year1") return sim::ToDateTime(sim::EncodeMs(1, 1, 1, 12, 0));
    if (kind == "year9999") return sim::ToDateTime(sim::EncodeMs(9999, 12, 31, 12, 0));
    return std::numeric_limits<double>::quiet_NaN();
  }

  static std::string LongText() {
    std::string text = "Alarme longo: ";
    while (text.size() < kLongTextSize) text += "texto repetido do alarme ";
    text.resize(kLongTextSize);
    return text;
  }

  void RecomputeStart() {
    if (creating_) return;
    if (explicitStart_) {
      startMs_ = LastGridAtOrBefore(explicitStartMs_ - 1) + intervalMs_;
      return;
    }
    const int64_t records =
        backlogRecords_ > 0 ? backlogRecords_
                            : backlogDays_ * sim::kMsPerDay / std::max<int64_t>(intervalMs_, 1);
    startMs_ = LastGridAtOrBefore(MeterNowMs()) - (records - 1) * intervalMs_;
  }

  // One setting or command of this meter (mutex held, or during creation).
  bool Apply(const std::string& key, const std::string& value) {
    long long n = 0;
    double x = 0;
    const bool isInt = sim::ParseInt(value, n);
    if (key == "interval_min") {
      if (!isInt || n < 1 || n > 1440 * 31) return false;
      intervalMs_ = n * sim::kMsPerMinute;
      RecomputeStart();
    } else if (key == "record_second") {
      if (!isInt || n < 0 || n > 59) return false;
      secondMs_ = n * 1000;
      RecomputeStart();
    } else if (key == "backlog_days") {
      if (!isInt || n < 0 || n > 3660) return false;
      backlogDays_ = n;
      backlogRecords_ = 0;
      explicitStart_ = false;
      RecomputeStart();
    } else if (key == "backlog_records") {
      if (!isInt || n < 0 || n > 10000000) return false;
      backlogRecords_ = n;
      explicitStart_ = false;
      if (n == 0) backlogDays_ = 0;
      RecomputeStart();
    } else if (key == "history_start") {
      int64_t ms = 0;
      if (!sim::ParseInstant(value, ms)) return false;
      explicitStart_ = true;
      explicitStartMs_ = ms;
      RecomputeStart();
    } else if (key == "alarm_interval_min") {
      if (!isInt || n < 0 || n > 1440 * 366) return false;
      alarmIntervalMs_ = n * sim::kMsPerMinute;
    } else if (key == "alarm_interval_s") {
      if (!isInt || n < 0 || n > 86400LL * 366) return false;
      alarmIntervalMs_ = n * 1000;
    } else if (key == "clock_offset_hours") {
      if (!sim::ParseDouble(value, x) || std::fabs(x) > 24.0 * 3660) return false;
      offsetMs_ = std::llround(x * 3600000.0);
    } else if (key == "clock_offset_min") {
      if (!isInt || std::llabs(n) > 1440LL * 3660) return false;
      offsetMs_ = n * sim::kMsPerMinute;
    } else if (key == "fail_code") {
      if (!isInt || n == ReadOk || n == ReadEnd || n == ReadInvalid) return false;
      failCode_ = static_cast<int>(n);
    } else if (key == "slow_ms") {
      if (!isInt || n < 0 || n > 600000) return false;
      slowMs_ = static_cast<int>(n);
    } else if (key == "version") {
      version_ = value;
    } else if (key == "fail_history" || key == "throw_history" || key == "invalid_history" ||
               key == "fail_alarm" || key == "throw_alarm" || key == "invalid_alarm" ||
               key == "refuse_clock" || key == "throw_clock" || key == "fail_version" ||
               key == "throw_version" || key == "fail_online" || key == "throw_online" ||
               key == "bad_online" || key == "nan_value" || key == "long_text" ||
               key == "empty_text" || key == "note_text") {
      if (!isInt) return false;
      faults_[key] = n;  // negative: for ever
    } else if (key == "bad_history") {
      if (value == "nan_value") {
        AddFault("nan_value");
        return true;
      }
      if (value != "nan_date" && value != "year1" && value != "year9999") return false;
      badHistory_.push_back(value);
    } else if (key == "bad_alarm") {
      if (value == "long_text" || value == "empty_text" || value == "note_text") {
        AddFault(value);
        return true;
      }
      if (value != "nan_date" && value != "year1" && value != "year9999") return false;
      badAlarm_.push_back(value);
    } else if (key == "add_alarm") {
      // <date or "now">|<class>|<text>
      const size_t p1 = value.find('|');
      const size_t p2 = p1 == std::string::npos ? p1 : value.find('|', p1 + 1);
      if (p2 == std::string::npos) return false;
      const std::string when = sim::Trim(value.substr(0, p1));
      long long classe = 0;
      if (!sim::ParseInt(sim::Trim(value.substr(p1 + 1, p2 - p1 - 1)), classe)) return false;
      int64_t ms = 0;
      if (when == "now") ms = MeterNowMs();
      else if (!sim::ParseInstant(when, ms)) return false;
      // Two alarms never share a date: the service asks for the next one
      // after the date of the last.
      auto taken = [&](int64_t t) {
        if (IsScheduledAlarmTime(t)) return true;
        for (const Alarm& a : extraAlarms_)
          if (a.ms == t) return true;
        return false;
      };
      while (taken(ms)) ++ms;
      extraAlarms_.push_back(Alarm{ms, static_cast<int32_t>(classe), value.substr(p2 + 1)});
      std::sort(extraAlarms_.begin(), extraAlarms_.end(),
                [](const Alarm& a, const Alarm& b) { return a.ms < b.ms; });
    } else if (key == "clear_faults") {
      faults_.clear();
      badHistory_.clear();
      badAlarm_.clear();
    } else if (key == "reset_cursors") {
      cursors_.clear();
      alarmCursor_ = Cursor{};
    } else {
      return false;
    }
    return true;
  }

  KxInterface* interface_;  // not owned
  KxPackageLog* log_;       // not owned; may be none

  std::mutex mutex_;  // guards everything below
  bool creating_ = true;
  int64_t intervalMs_ = 15 * sim::kMsPerMinute;
  int64_t secondMs_ = 0;
  int64_t backlogDays_ = 1;
  int64_t backlogRecords_ = 0;
  bool explicitStart_ = false;
  int64_t explicitStartMs_ = 0;
  int64_t startMs_ = 0;
  int64_t alarmIntervalMs_ = 360 * sim::kMsPerMinute;
  int64_t offsetMs_ = 0;
  int failCode_ = 1;
  int slowMs_ = 0;
  std::string version_;
  std::map<std::string, long long> faults_;
  std::vector<std::string> badHistory_;
  std::vector<std::string> badAlarm_;
  std::vector<Alarm> extraAlarms_;  // sorted by date
  std::map<int32_t, Cursor> cursors_;
  Cursor alarmCursor_;
  std::map<std::string, int64_t> stats_;

  std::atomic<int> busy_{0};
  std::atomic<int> maxBusy_{0};
};

// Runs `fn` on every live meter with that id (registry lock held).
template <typename Fn>
bool ForMeters(int32_t equipId, Fn fn) {
  bool any = false;
  for (SimMeter* meter : g_meters)
    if (meter->EquipId == equipId) {
      fn(*meter);
      any = true;
    }
  return any;
}

SimMeter* FirstMeter(int32_t equipId) {
  for (SimMeter* meter : g_meters)
    if (meter->EquipId == equipId) return meter;
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points.
TELVANE_EXPORT KxEquipamento* _CreateEquipClass(int32_t equipId, int32_t drvAddr1,
                                                int32_t drvAddr2, KxListaCanais* canais,
                                                KxInterface* interface_, KxPackageLog* log) {
  return new SimMeter(equipId, drvAddr1, drvAddr2, canais, interface_, log);
}

TELVANE_EXPORT void _DestroyEquipClass() {}

TELVANE_EXPORT const char* _GetDriverName() { return "SimMeter"; }

TELVANE_EXPORT const char* _GetDriverVersion() { return "1.0"; }

// ---------------------------------------------------------------------------
// Functions for tests (see docs/SimMeter.md and packages/sim/SimMeterControl.h).

// Applies settings / commands (lines "key=value") to every live meter with
// that id; the computer-clock settings ("now", "advance_min", "advance_sec")
// apply to the whole package. 0: done; -1: no live meter with that id (clock
// settings still applied); -2: a line was not understood (the others applied).
TELVANE_EXPORT int32_t SimMeter_Control(int32_t equipId, const char* command) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  bool understood = true;
  bool any = FirstMeter(equipId) != nullptr;
  for (const auto& [key, value] : sim::ParseSettings(command != nullptr ? command : "")) {
    bool ok = true;
    if (ApplyGlobal(key, value, ok)) {
      understood = understood && ok;
      continue;
    }
    ForMeters(equipId, [&](SimMeter& m) { understood = m.Control(key, value) && understood; });
  }
  if (!understood) return -2;
  return any ? 0 : -1;
}

// As SimMeter_Control for every live meter; the per-meter lines are also
// kept for the meters created later, until SimMeter_Reset. 0 or -2.
TELVANE_EXPORT int32_t SimMeter_ControlAll(const char* command) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  bool understood = true;
  for (const auto& [key, value] : sim::ParseSettings(command != nullptr ? command : "")) {
    bool ok = true;
    if (ApplyGlobal(key, value, ok)) {
      understood = understood && ok;
      continue;
    }
    for (SimMeter* meter : g_meters) understood = meter->Control(key, value) && understood;
    g_defaults += key + "=" + value + "\n";
  }
  return understood ? 0 : -2;
}

// Forgets the defaults of SimMeter_ControlAll and returns to the real clock.
TELVANE_EXPORT void SimMeter_Reset() {
  {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    g_defaults.clear();
  }
  std::lock_guard<std::mutex> lock(g_clockMutex);
  g_clockFrozen = false;
}

TELVANE_EXPORT int32_t SimMeter_Count() {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  return static_cast<int32_t>(g_meters.size());
}

// The computer's clock as the package sees it (TDateTime).
TELVANE_EXPORT double SimMeter_Now() { return sim::ToDateTime(ComputerNowMs()); }

// The meter's own clock; NaN when no live meter has that id.
TELVANE_EXPORT double SimMeter_Clock(int32_t equipId) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  SimMeter* m = FirstMeter(equipId);
  return m != nullptr ? m->Clock() : std::numeric_limits<double>::quiet_NaN();
}

TELVANE_EXPORT double SimMeter_HistoryStart(int32_t equipId) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  SimMeter* m = FirstMeter(equipId);
  return m != nullptr ? m->HistoryStart() : std::numeric_limits<double>::quiet_NaN();
}

// Records the meter holds for the channel with from < date <= min(to, its
// clock); -1 when no live meter has that id.
TELVANE_EXPORT int64_t SimMeter_HistoryCount(int32_t equipId, int32_t equipIndex, double from,
                                             double to) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  SimMeter* m = FirstMeter(equipId);
  return m != nullptr ? m->HistoryCount(equipIndex, from, to) : -1;
}

// The first `max` records after `from` (up to the meter's clock) into dates /
// values (either may be null); returns how many, -1 when no such meter.
TELVANE_EXPORT int32_t SimMeter_GetRecords(int32_t equipId, int32_t equipIndex, double from,
                                           int32_t max, double* dates, float* values) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  SimMeter* m = FirstMeter(equipId);
  return m != nullptr ? m->GetRecords(equipIndex, from, max, dates, values) : -1;
}

// The first `max` alarms after `from` (up to the meter's clock); returns how
// many, -1 when no such meter.
TELVANE_EXPORT int32_t SimMeter_GetAlarms(int32_t equipId, double from, int32_t max,
                                          double* dates, int32_t* classes) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  SimMeter* m = FirstMeter(equipId);
  return m != nullptr ? m->GetAlarms(from, max, dates, classes) : -1;
}

// UTF-8 text of the alarm dated `date`, zero-terminated into buf; returns its
// full length, -1 when there is no such alarm or meter.
TELVANE_EXPORT int32_t SimMeter_GetAlarmText(int32_t equipId, double date, char* buf,
                                             int32_t capacity) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  SimMeter* m = FirstMeter(equipId);
  return m != nullptr ? m->AlarmText(date, buf, capacity) : -1;
}

// A counter of the meter (names in docs/SimMeter.md); -1 when no such meter.
TELVANE_EXPORT int64_t SimMeter_Stat(int32_t equipId, const char* name) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  SimMeter* m = FirstMeter(equipId);
  return m != nullptr ? m->Stat(name != nullptr ? name : "") : -1;
}
