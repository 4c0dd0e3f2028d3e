// Helpers of the installation-loading and load-thread tests: a work folder
// holding the built packages in Interfaces/ and Drivers/, a scoped change of
// the current directory, a log that keeps its lines (and can react to one),
// and short-hands that write configuration rows into a TestDatabase.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "log/TFileLog.h"
#include "support/TestDatabase.h"

namespace inst {

// A fresh folder with Interfaces/ and Drivers/, each holding a copy of every
// built package (TELVANE_PACKAGES_DIR). Removed with its contents at the end.
class WorkDir {
 public:
  WorkDir() {
    namespace fs = std::filesystem;
    std::string tmpl = (fs::temp_directory_path() / "telvane-h4-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    for (const char* folder : {"Interfaces", "Drivers"}) {
      fs::create_directories(fs::path(path_) / folder);
      for (const auto& entry : fs::directory_iterator(TELVANE_PACKAGES_DIR)) {
        if (entry.is_regular_file() && entry.path().extension() == ".so")
          fs::copy_file(entry.path(), fs::path(path_) / folder / entry.path().filename(),
                        fs::copy_options::overwrite_existing);
      }
    }
  }
  ~WorkDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Makes `dir` the process's current directory until destroyed (the loader
// finds the packages relative to it). Process-wide: tests run one at a time.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::string& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedChdir() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
  }
  ScopedChdir(const ScopedChdir&) = delete;
  ScopedChdir& operator=(const ScopedChdir&) = delete;

 private:
  std::filesystem::path old_;
};

// The text log, keeping every line (UTF-8, no timestamp). `onLine`, when set,
// runs after each line is kept, on the writing thread, outside the lock.
class HookLog : public TFileLog {
 public:
  explicit HookLog(const std::string& path) : TFileLog(path) {}
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
  // The lines without those that begin with one of `prefixes`.
  std::vector<std::string> LinesWithout(const std::vector<std::string>& prefixes) {
    std::vector<std::string> out;
    for (const std::string& l : Lines()) {
      bool skip = false;
      for (const std::string& p : prefixes) skip = skip || l.rfind(p, 0) == 0;
      if (!skip) out.push_back(l);
    }
    return out;
  }
  int Count(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
  }
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

// SQL text literal ('' doubled).
inline std::string Q(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

// An integer column, or NULL when `v` is the marker kNull.
constexpr long long kNull = -999999999;
inline std::string N(long long v) { return v == kNull ? "NULL" : std::to_string(v); }

inline void AddInterface(TestDatabase& db, int id, const std::string& descricao,
                         const std::string& dll, const std::string& configs = "") {
  db.Exec("insert into INTERFACES (INTERFACE_ID, GLOBAL_ID, DESCRICAO, CONFIGS, DLLNAME, NAME) "
          "values (" + std::to_string(id) + ", " + std::to_string(id) + ", " + Q(descricao) +
          ", " + Q(configs) + ", " + Q(dll) + ", 'SIM')");
}

inline void AddDriver(TestDatabase& db, int id, int interfaceId, const std::string& dll) {
  db.Exec("insert into DRIVERS (DRIVER_ID, DESCRICAO, INTERFACE_ID, DLLNAME, GLOBAL_ID) values (" +
          std::to_string(id) + ", 'driver', " + std::to_string(interfaceId) + ", " + Q(dll) +
          ", " + std::to_string(id) + ")");
}

inline void AddVariavel(TestDatabase& db, int id, const std::string& tipo,
                        const std::string& descricao) {
  db.Exec("insert into VARIAVEIS (VAR_ID, TIPO, UNIDADE, DESCRICAO) values (" +
          std::to_string(id) + ", " + Q(tipo) + ", 'kWh', " + Q(descricao) + ")");
}

inline void AddPeriodo(TestDatabase& db, int id, int varId) {
  db.Exec("insert into PERIODOS (PERIODO_ID, VAR_ID, COR, DESCRICAO) values (" +
          std::to_string(id) + ", " + std::to_string(varId) + ", 0, 'p')");
}

inline void AddSegmento(TestDatabase& db, int id, int periodoId, const std::string& start,
                        const std::string& end, long long dias) {
  db.Exec("insert into PERIODOS_SEGMENTOS (SEGMENTO_ID, PERIODO_ID, STARTTIME, ENDTIME, DIAS) "
          "values (" + std::to_string(id) + ", " + std::to_string(periodoId) + ", " + Q(start) +
          ", " + Q(end) + ", " + N(dias) + ")");
}

inline void AddEquipamento(TestDatabase& db, int id, int driverId, long long addr1,
                           long long addr2, const std::string* descricao) {
  db.Exec("insert into EQUIPAMENTOS (EQUIP_ID, DRIVER_ID, DRV_ADDR1, DRV_ADDR2, DESCRICAO) "
          "values (" + std::to_string(id) + ", " + std::to_string(driverId) + ", " + N(addr1) +
          ", " + N(addr2) + ", " + (descricao ? Q(*descricao) : std::string("NULL")) + ")");
}
inline void AddEquipamento(TestDatabase& db, int id, int driverId, long long addr1,
                           long long addr2, const std::string& descricao) {
  AddEquipamento(db, id, driverId, addr1, addr2, &descricao);
}

inline void AddCanal(TestDatabase& db, int id, int equipId, int equipIndex, long long varId,
                     long long localId, const std::string& descricao) {
  db.Exec("insert into CANAIS (CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, TIPOVAR, "
          "DESCRICAO) values (" + std::to_string(id) + ", " + std::to_string(equipId) + ", " +
          std::to_string(equipIndex) + ", " + N(varId) + ", " + N(localId) + ", 'E', " +
          Q(descricao) + ")");
}

}  // namespace inst
