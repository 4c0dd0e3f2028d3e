// Driver packages that fail on purpose, for the loader's failure rows.
// One source, built once per fault (the BROKEN_* definition):
//   BROKEN_NO_NAMES       no _GetDriverName / _GetDriverVersion (the equipment
//                         it creates works: it has nothing to deliver)
//   BROKEN_NULL_EQUIP     _CreateEquipClass returns none and keeps the channel
//                         list it was given until it is unloaded
//                         (BrokenDriver_KeptChannels reads every kept list, so
//                         a list freed by the service is a use after free
//                         under ASan)
//   BROKEN_DELETE_EQUIP   _CreateEquipClass makes its object, deletes it (which
//                         frees the list) and returns none
//   BROKEN_NO_CREATE      no _CreateEquipClass
//   BROKEN_THROW_NAME     _GetDriverName throws a class of its own (no
//                         std::exception)
//   BROKEN_THROW_VERSION  _GetDriverVersion throws a class of its own derived
//                         from std::runtime_error
//   BROKEN_THROW_CREATE   _CreateEquipClass frees the list and throws a class
//                         of its own
//   BROKEN_HANG_ONLINE    a working equipment whose ReadOnline never returns
//   BROKEN_HANG_HISTORY   a working equipment whose ReadHistorico, from its
//                         second call on, does not return until
//                         BrokenDriver_Release() (a read without a timeout);
//                         BrokenDriver_Hanging() counts the calls inside
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "plugins/TelvaneSdk.h"

namespace {

// What the throwing variants throw: classes that live in this package only.
struct BrokenFault {
  std::string text;
};
struct BrokenError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

#if defined(BROKEN_HANG_HISTORY)
std::mutex g_hangMutex;
std::condition_variable g_hangCv;
bool g_released = false;        // guarded by g_hangMutex
std::atomic<int> g_historyCalls{0};
std::atomic<int> g_hanging{0};

void HangUntilReleased() {
  std::unique_lock<std::mutex> lock(g_hangMutex);
  ++g_hanging;
  g_hangCv.wait(lock, [] { return g_released; });
  --g_hanging;
}
#endif

class QuietEquipamento : public KxEquipamento {
 public:
  using KxEquipamento::KxEquipamento;
  int ReadHistorico(int32_t, TDateTime, TDateTime&, float&) override {
#if defined(BROKEN_HANG_HISTORY)
    if (g_historyCalls++ > 0) HangUntilReleased();
#endif
    return ReadEnd;
  }
  int ReadAlarme(TDateTime, TDateTime&, std::u16string&, int32_t&) override { return ReadEnd; }
  int SetRelogio() override { return 0; }
  int ReadVersao(std::u16string& version) override {
    version = u"Quiet 0.1";
    return 0;
  }
  int ReadOnline(std::vector<std::u16string>&, std::vector<std::u16string>&) override {
#if defined(BROKEN_HANG_ONLINE)
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
#endif
    return 0;
  }
};

#if defined(BROKEN_NULL_EQUIP)
// The lists the package kept, freed only when the package is unloaded.
struct KeptLists {
  ~KeptLists() {
    for (KxListaCanais* canais : lists) delete canais;
  }
  std::vector<KxListaCanais*> lists;
};
std::mutex g_keptMutex;
KeptLists g_kept;
#endif

}  // namespace

#if !defined(BROKEN_NO_CREATE)
TELVANE_EXPORT KxEquipamento* _CreateEquipClass(int32_t equipId, int32_t, int32_t,
                                                KxListaCanais* canais, KxInterface*,
                                                KxPackageLog*) {
#if defined(BROKEN_NULL_EQUIP)
  (void)equipId;
  std::lock_guard<std::mutex> lock(g_keptMutex);
  g_kept.lists.push_back(canais);
  return nullptr;
#elif defined(BROKEN_DELETE_EQUIP)
  delete new QuietEquipamento(equipId, canais);
  return nullptr;
#elif defined(BROKEN_THROW_CREATE)
  (void)equipId;
  delete canais;
  throw BrokenFault{"criação quebrada"};
#else
  return new QuietEquipamento(equipId, canais);
#endif
}
TELVANE_EXPORT void _DestroyEquipClass() {}
#endif

#if defined(BROKEN_HANG_HISTORY)
// Lets every hung call, and every later one, return.
TELVANE_EXPORT void BrokenDriver_Release() {
  {
    std::lock_guard<std::mutex> lock(g_hangMutex);
    g_released = true;
  }
  g_hangCv.notify_all();
}
TELVANE_EXPORT int32_t BrokenDriver_Hanging() { return g_hanging.load(); }
#endif

#if defined(BROKEN_NULL_EQUIP)
// Channels in every list the package kept.
TELVANE_EXPORT int32_t BrokenDriver_KeptChannels() {
  std::lock_guard<std::mutex> lock(g_keptMutex);
  int32_t n = 0;
  for (KxListaCanais* canais : g_kept.lists) n += canais->Count();
  return n;
}
#endif

#if !defined(BROKEN_NO_NAMES)
// "Medição" in Windows-1252: the service converts the name to UTF-8.
TELVANE_EXPORT const char* _GetDriverName() {
#if defined(BROKEN_THROW_NAME)
  throw BrokenFault{"nome quebrado"};
#endif
  return "Broken Medi\xE7\xE3o";
}
TELVANE_EXPORT const char* _GetDriverVersion() {
#if defined(BROKEN_THROW_VERSION)
  throw BrokenError("versão quebrada");
#endif
  return "0.1";
}
#endif
