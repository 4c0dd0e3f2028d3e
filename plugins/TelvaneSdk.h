// Telvane plug-in SDK: everything an interface or driver package needs.
//
// This header stands alone: a package includes it and nothing else of the
// service. Packages are shared libraries (.so on Linux, .dll on Windows)
// built with the same C++ compiler, standard library and runtime as the
// service (GCC / libstdc++ on Linux; on Windows the mingw-w64 GCC with the
// POSIX thread model, linked statically, as the service is), because
// objects, std::u16string, std::vector and exceptions cross the boundary.
//
// Two kinds of package:
//   - an interface package (folder "Interfaces/") exports _CreateInterface and
//     makes one KxInterface per row of INTERFACES: a communication channel;
//   - a driver package (folder "Drivers/") exports _CreateEquipClass (plus,
//     optionally, _GetDriverName and _GetDriverVersion) and makes one
//     KxEquipamento per row of EQUIPAMENTOS that names the driver.
//
// How things cross the boundary:
//   - Texts given to or taken from the objects are UTF-16 (std::u16string).
//   - The driver name and version are zero-terminated 8-bit texts in
//     Windows-1252, in storage that stays valid while the package is loaded;
//     the service copies them.
//   - Dates are TDateTime: days since 30/12/1899 00:00 as a double, local
//     time, the fraction being the time of day.
//   - Errors: an operation or entry point may throw; the service catches
//     everything, at the call, while the package is loaded. Throw a
//     std::exception (or a class derived from it) whose what() is UTF-8
//     text: it is written to the log after the service's own prefix.
//     Anything else is caught too, but logged as "exceção desconhecida".
//     Never throw from a destructor or from a static initialiser (the
//     process ends: nobody can catch those).
//   - Log lines: the KxPackageLog handed to the entry points is the service's
//     log; WriteLine is safe from any thread and adds the timestamp.
//   - Ownership: every object a package returns is the service's, freed
//     through its virtual destructor (equipment objects before their driver
//     package is unloaded). The channel list handed to _CreateEquipClass is
//     the package's from that call on, whatever the call does: the object it
//     returns owns it (KxEquipamento's destructor frees it); when it returns
//     nullptr or throws, the service never touches the list again, so the
//     package frees it (deleting an object made with it does) or leaks it.
//   - Time: no call may block for ever. At stop the service waits 20 s in all
//     for its worker threads; one still inside a package call then is
//     abandoned, its objects and the package are never freed, and the
//     service ends without it. Give every wait on a device a timeout.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

using TDateTime = double;

// ---------------------------------------------------------------------------
// Result codes of KxEquipamento::ReadHistorico and ReadAlarme.
// Any other value is a communication failure.
constexpr int ReadOk = 0;       // one record delivered
constexpr int ReadEnd = 2;      // no further record after the from-date
constexpr int ReadInvalid = 4;  // a record was read but is not valid; nothing delivered

// ---------------------------------------------------------------------------
// The service's log, as packages see it.
class KxPackageLog {
 public:
  // Appends one line (UTF-16 text; the service adds the timestamp).
  // Thread-safe; never fails.
  virtual void WriteLine(const std::u16string& text) = 0;

 protected:
  virtual ~KxPackageLog() = default;
};

// ---------------------------------------------------------------------------
// A channel of an equipment (one row of CANAIS). Fields in declared order.
class KxVariavel;  // the service's variable: opaque to packages

class KxCanal {
 public:
  KxCanal(int32_t canalId, int32_t equipIndex, KxVariavel* variavel, int32_t localId)
      : CanalId(canalId), EquipIndex(equipIndex), Variavel(variavel), LocalId(localId) {}
  virtual ~KxCanal() = default;

  // Date of the newest history record the service holds for the channel.
  // Written by the service's acquisition thread only; packages read it at most.
  TDateTime UltimaData = 0;
  int32_t CanalId;     // CANAIS.CANAL_ID
  int32_t EquipIndex;  // CANAIS.EQUIP_INDEX: the channel's index in its equipment
  KxVariavel* Variavel;  // not owned; none when the channel has no variable
  int32_t LocalId;     // CANAIS.LOCAL_ID (0 when empty)
};

// The channels of one equipment, in the order the service read them. Owns its
// channels. Handed to _CreateEquipClass; from then on it belongs to the
// package: to the equipment object it returns (KxEquipamento's destructor
// frees it), or, when it returns none or throws, to nobody but the package.
class KxListaCanais {
 public:
  KxListaCanais() = default;
  KxListaCanais(const KxListaCanais&) = delete;
  KxListaCanais& operator=(const KxListaCanais&) = delete;
  virtual ~KxListaCanais() { Clear(); }

  int Count() const { return static_cast<int>(items_.size()); }
  // Zero-based; throws std::out_of_range outside 0 .. Count()-1.
  KxCanal* Items(int index) const {
    if (index < 0 || index >= Count())
      throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    return items_[static_cast<size_t>(index)];
  }
  // Creates a channel, sets its UltimaData, appends it and returns it.
  KxCanal* AddCanal(int32_t canalId, int32_t equipIndex, KxVariavel* variavel, int32_t localId,
                    TDateTime ultimaData) {
    items_.reserve(items_.size() + 1);
    KxCanal* canal = new KxCanal(canalId, equipIndex, variavel, localId);
    canal->UltimaData = ultimaData;
    items_.push_back(canal);
    return canal;
  }
  // Frees every channel in index order and empties the list.
  void Clear() {
    for (KxCanal* canal : items_) delete canal;
    items_.clear();
  }

 private:
  std::vector<KxCanal*> items_;
};

// ---------------------------------------------------------------------------
// Base of every interface object. Fields in declared order.
class KxInterface {
 public:
  KxInterface() = default;
  KxInterface(const KxInterface&) = delete;
  KxInterface& operator=(const KxInterface&) = delete;
  virtual ~KxInterface() = default;

  // Virtual operations, in slot order:
  // 0. For the packages' own use (an interface and its drivers agree on what
  //    it does); the service never calls it.
  virtual int Exchange(const void* request, int32_t requestSize, void* reply,
                       int32_t replyCapacity) = 0;
  // 1. Takes the CONFIGS bytes of the INTERFACES row. The bytes belong to the
  //    service and are freed when Configure returns: copy what you keep.
  //    Returns false when the configuration is unusable (Open is then not called).
  virtual bool Configure(const uint8_t* bytes, int32_t count) = 0;
  // 2. Opens the channel; false on failure.
  virtual bool Open() = 0;
  // 3. Closes it; called at stop only when Open returned true.
  virtual void Close() = 0;

  int32_t InterfaceId = 0;  // INTERFACES.INTERFACE_ID, set by the service after creation
  bool Aberta = false;      // result of Open, set by the service
};

// ---------------------------------------------------------------------------
// Base of every equipment object. Fields in declared order.
//
// Threads: the service's acquisition side calls ReadHistorico, ReadAlarme,
// SetRelogio and ReadVersao, one call at a time; its online side calls
// ReadOnline on the same object at the same time. No lock is taken by the
// service: an equipment (and the interface it shares with others) must
// accept concurrent calls. Each side makes its calls on a thread of its own,
// not always the same one (keep no per-thread state). A call that has not
// returned within 120 s is left behind: the equipment is failed, and that
// side does not call the object again until the call has returned (its
// answer is then dropped, and the next call asks again from the same
// from-date: an object that moves on by itself when asked again must not
// skip the record such a call found). Give every blocking operation a
// timeout well below that.
class KxEquipamento {
 public:
  KxEquipamento(int32_t equipId, KxListaCanais* canais) : EquipId(equipId), Canais(canais) {}
  KxEquipamento(const KxEquipamento&) = delete;
  KxEquipamento& operator=(const KxEquipamento&) = delete;
  // Frees the channel list.
  virtual ~KxEquipamento() { delete Canais; }

  // Virtual operations, in slot order. Each returns 0 on success.
  // 0. The next stored record of the channel `equipIndex` after `from`.
  //    ReadOk: date and value set; ReadEnd: nothing after `from`;
  //    ReadInvalid: a record was skipped. The service asks again with the
  //    same `from` after ReadInvalid or a record it refuses, so the object
  //    must move on by itself in that case. A value that is no number (NaN
  //    or infinite) is refused: the record is taken as invalid and never
  //    stored, and the next call asks from its date.
  virtual int ReadHistorico(int32_t equipIndex, TDateTime from, TDateTime& date, float& value) = 0;
  // 1. The next alarm after `from`, the same way. A text beginning with '#'
  //    is a note: logged by the service, not stored.
  virtual int ReadAlarme(TDateTime from, TDateTime& date, std::u16string& text,
                         int32_t& classe) = 0;
  // 2. Sets the equipment's clock from the computer's clock.
  virtual int SetRelogio() = 0;
  // 3. The equipment's version text (written to the log unchanged).
  virtual int ReadVersao(std::u16string& version) = 0;
  // 4. Present values: fills the two empty lists pairwise (names[i] is the
  //    name of values[i]). Called from the online thread.
  virtual int ReadOnline(std::vector<std::u16string>& names,
                         std::vector<std::u16string>& values) = 0;

  int32_t EquipId;           // EQUIPAMENTOS.EQUIP_ID
  KxListaCanais* Canais;     // owned
  bool Comunicando = false;  // service: result of the last visit
  // Service: the clock must be set at the next visit. Written by several
  // threads of the service.
  std::atomic<bool> RelogioPendente{false};
  TDateTime DataUltimoAlarme = 0;  // service: from-date of ReadAlarme
  bool Inicializado = false;       // service: the first visit was made
};

// ---------------------------------------------------------------------------
// Entry points, exported unmangled. Use TELVANE_EXPORT on their definitions.
#ifdef _WIN32
#define TELVANE_EXPORT extern "C" __declspec(dllexport)
#else
#define TELVANE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

extern "C" {
// Interface package: a new interface object, or nullptr.
typedef KxInterface* (*KxCreateInterfaceProc)(KxPackageLog* log);
// Driver package: a new equipment object that takes `canais`, or nullptr.
// `canais` is the package's from this call on, also when it returns nullptr
// or throws (see "Ownership" above): free it or keep it, the service will
// not.
typedef KxEquipamento* (*KxCreateEquipClassProc)(int32_t equipId, int32_t drvAddr1,
                                                 int32_t drvAddr2, KxListaCanais* canais,
                                                 KxInterface* interface_, KxPackageLog* log);
// Driver package: looked up and kept, never called.
typedef void (*KxDestroyEquipClassProc)();
// Driver package: name and version (Windows-1252, zero-terminated).
typedef const char* (*KxGetDriverTextProc)();
}

// Exported names, as the service looks them up.
#define KX_CREATE_INTERFACE "_CreateInterface"
#define KX_CREATE_EQUIP_CLASS "_CreateEquipClass"
#define KX_DESTROY_EQUIP_CLASS "_DestroyEquipClass"
#define KX_GET_DRIVER_NAME "_GetDriverName"
#define KX_GET_DRIVER_VERSION "_GetDriverVersion"
