// Helpers of the worker-thread tests: a log that keeps its lines, a scripted
// equipment object, alarm logs that record or raise, and polling waits.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/KxCustomLog.h"
#include "log/TFileLog.h"
#include "plugins/TelvaneSdk.h"

namespace kit {

// Polls `pred` every few milliseconds; true as soon as it holds.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A fresh folder under the system's temporary folder, removed with its
// contents at the end.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "telvane-h5-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A text log that also keeps every line (UTF-8, without the timestamp).
// `OnLine`, when set, runs after each line on the writing thread, outside
// the lock.
class CaptureLog : public TFileLog {
 public:
  explicit CaptureLog(const std::string& path) : TFileLog(path) {}
  using TFileLog::WriteLine;
  void WriteLine(const std::string& text) override {
    std::function<void(const std::string&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(text);
      hook = onLine_;
    }
    TFileLog::WriteLine(text);
    if (hook) hook(text);
  }
  void OnLine(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    onLine_ = std::move(hook);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  int Count(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
  }
  bool Has(const std::string& line) { return Count(line) > 0; }
  // Lines that begin with `prefix`.
  std::vector<std::string> StartingWith(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& l : lines_)
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }
  // Index of the first line equal to `line`, or -1.
  int IndexOf(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(lines_.begin(), lines_.end(), line);
    return it == lines_.end() ? -1 : static_cast<int>(it - lines_.begin());
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::function<void(const std::string&)> onLine_;
};

struct Alarm {
  int32_t classe;
  TDateTime data;
  std::string texto;
  int32_t equipId;
};

// An alarm log that only records; or raises when `raise` is set.
class RecordingAlarmLog : public KxCustomLog {
 public:
  KxAlarmeResult LogAlarme(int32_t classe, TDateTime data, const std::string& texto,
                           int32_t equipId, KxAlarmeRetry = KxAlarmeRetry::Never,
                           std::string* = nullptr) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!raise.empty()) throw std::runtime_error(raise);
    if (lost) return KxAlarmeResult::ConnectionLost;
    alarms_.push_back({classe, data, texto, equipId});
    return KxAlarmeResult::Stored;
  }
  // While set, every alarm is answered as not stored for a lost connection.
  void SetLost(bool value) {
    std::lock_guard<std::mutex> lock(mutex_);
    lost = value;
  }
  std::vector<Alarm> Alarms() {
    std::lock_guard<std::mutex> lock(mutex_);
    return alarms_;
  }
  void SetRaise(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    raise = message;
  }

 private:
  std::mutex mutex_;
  std::string raise;
  bool lost = false;
  std::vector<Alarm> alarms_;
};

// `raw`: delivered when the meter's position reaches it, whatever its date
// (a broken meter's record: NaN, or dated before the from-date).
struct HistRecord {
  TDateTime date;
  float value;
  int code = ReadOk;  // ReadOk, or ReadInvalid for a record the meter reports as invalid
  bool raw = false;
};

struct AlarmRecord {
  TDateTime date;
  std::u16string text;
  int32_t classe;
  int code = ReadOk;
  bool raw = false;
};

// A scripted equipment object. Every operation is thread-safe (the
// acquisition and online threads call it at once) and logged.
//
// Records: ReadHistorico(index, from) delivers the first record after `from`;
// asked again with the same `from` (a refused or invalid record) it moves on
// to the next one by itself, as the package contract asks.
class FakeEquip : public KxEquipamento {
 public:
  struct Call {
    char kind;  // 'H' history, 'A' alarm, 'R' set clock, 'V' version, 'O' online
    int index;
    TDateTime from;
  };

  FakeEquip(int32_t id, KxListaCanais* canais) : KxEquipamento(id, canais) {}

  // --- scripting ---------------------------------------------------------
  void SetHistory(int index, std::vector<HistRecord> records) {
    std::lock_guard<std::mutex> lock(mutex_);
    history_[index] = Cursor<HistRecord>{std::move(records)};
  }
  // A code returned by every ReadHistorico of the channel (0: none).
  void SetHistoryFailure(int index, int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    histFailure_[index] = code;
  }
  void SetHistoryRaise(int index, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    histRaise_[index] = message;
  }
  // Endless backlog: every ReadHistorico of the channel delivers from + 1 minute.
  void SetEndless(int index, bool endless) {
    std::lock_guard<std::mutex> lock(mutex_);
    endless_[index] = endless;
  }
  void SetAlarms(std::vector<AlarmRecord> records) {
    std::lock_guard<std::mutex> lock(mutex_);
    alarms_ = Cursor<AlarmRecord>{std::move(records)};
  }
  void SetAlarmFailure(int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    alarmFailure_ = code;
  }
  void SetAlarmRaise(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    alarmRaise_ = message;
  }
  void SetRelogioResult(int result, const std::string& raise = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    relogioResult_ = result;
    relogioRaise_ = raise;
  }
  // Runs inside a successful SetRelogio (outside the object's lock).
  void OnRelogio(std::function<void(FakeEquip&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    onRelogio_ = std::move(hook);
  }
  void SetVersao(int result, const std::u16string& text, const std::string& raise = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    versaoResult_ = result;
    versao_ = text;
    versaoRaise_ = raise;
  }
  void SetOnline(int result, std::vector<std::u16string> names,
                 std::vector<std::u16string> values, const std::string& raise = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    onlineResult_ = result;
    onlineNames_ = std::move(names);
    onlineValues_ = std::move(values);
    onlineRaise_ = raise;
  }

  // --- what was asked ----------------------------------------------------
  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::vector<Call> Calls(char kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Call> out;
    for (const auto& c : calls_)
      if (c.kind == kind) out.push_back(c);
    return out;
  }
  int CallCount(char kind) { return static_cast<int>(Calls(kind).size()); }

  // --- KxEquipamento -----------------------------------------------------
  int ReadHistorico(int32_t equipIndex, TDateTime from, TDateTime& date, float& value) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({'H', equipIndex, from});
    if (!histRaise_[equipIndex].empty()) throw std::runtime_error(histRaise_[equipIndex]);
    if (histFailure_[equipIndex] != 0) return histFailure_[equipIndex];
    if (endless_[equipIndex]) {
      date = from + 1.0 / 1440;
      value = 1.0f;
      return ReadOk;
    }
    const HistRecord* r = history_[equipIndex].Next(from);
    if (!r) return ReadEnd;
    if (r->code != ReadOk) return r->code;
    date = r->date;
    value = r->value;
    return ReadOk;
  }
  int ReadAlarme(TDateTime from, TDateTime& date, std::u16string& text,
                 int32_t& classe) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({'A', 0, from});
    if (!alarmRaise_.empty()) throw std::runtime_error(alarmRaise_);
    if (alarmFailure_ != 0) return alarmFailure_;
    const AlarmRecord* r = alarms_.Next(from);
    if (!r) return ReadEnd;
    if (r->code != ReadOk) return r->code;
    date = r->date;
    text = r->text;
    classe = r->classe;
    return ReadOk;
  }
  int SetRelogio() override {
    std::function<void(FakeEquip&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back({'R', 0, 0});
      if (!relogioRaise_.empty()) throw std::runtime_error(relogioRaise_);
      if (relogioResult_ != 0) return relogioResult_;
      hook = onRelogio_;
    }
    if (hook) hook(*this);
    return 0;
  }
  int ReadVersao(std::u16string& version) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({'V', 0, 0});
    if (!versaoRaise_.empty()) throw std::runtime_error(versaoRaise_);
    if (versaoResult_ == 0) version = versao_;
    return versaoResult_;
  }
  int ReadOnline(std::vector<std::u16string>& names,
                 std::vector<std::u16string>& values) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({'O', 0, 0});
    if (!onlineRaise_.empty()) throw std::runtime_error(onlineRaise_);
    if (onlineResult_ != 0) return onlineResult_;
    names = onlineNames_;
    values = onlineValues_;
    return 0;
  }

 private:
  // The records of one channel (or the alarms) with the meter's own read
  // position.
  template <typename R>
  struct Cursor {
    std::vector<R> records;
    TDateTime lastFrom = NAN;
    size_t lastPos = 0;
    long long furthest = -1;  // the furthest position ever delivered

    const R* Next(TDateTime from) {
      size_t pos;
      if (from == lastFrom) {
        pos = lastPos + 1;  // the same from-date again: move on by ourselves
      } else {
        pos = 0;
        while (pos < records.size() &&
               !(records[pos].raw ? static_cast<long long>(pos) > furthest
                                  : records[pos].date > from))
          ++pos;
      }
      if (pos < records.size() && static_cast<long long>(pos) > furthest)
        furthest = static_cast<long long>(pos);
      if (pos >= records.size()) {
        lastFrom = NAN;
        return nullptr;
      }
      lastFrom = from;
      lastPos = pos;
      return &records[pos];
    }
  };

  std::mutex mutex_;
  std::vector<Call> calls_;
  std::map<int, Cursor<HistRecord>> history_;
  std::map<int, int> histFailure_;
  std::map<int, std::string> histRaise_;
  std::map<int, bool> endless_;
  Cursor<AlarmRecord> alarms_;
  int alarmFailure_ = 0;
  std::string alarmRaise_;
  int relogioResult_ = 0;
  std::string relogioRaise_;
  std::function<void(FakeEquip&)> onRelogio_;
  int versaoResult_ = 0;
  std::u16string versao_ = u"Fake 1.0";
  std::string versaoRaise_;
  int onlineResult_ = 0;
  std::vector<std::u16string> onlineNames_;
  std::vector<std::u16string> onlineValues_;
  std::string onlineRaise_;
};

}  // namespace kit
