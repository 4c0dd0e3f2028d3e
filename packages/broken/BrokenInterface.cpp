// Interface packages that fail on purpose, for the loader's failure rows.
// One source, built once per fault (the BROKEN_* definition):
//   BROKEN_NO_ENTRY         no _CreateInterface at all
//   BROKEN_NULL_OBJECT      _CreateInterface returns none
//   BROKEN_CONFIGURE_FAILS  Configure returns false
//   BROKEN_OPEN_FAILS       Configure returns true, Open returns false
//   BROKEN_THROW_CREATE     _CreateInterface throws a class of its own
//   BROKEN_THROW_CONFIGURE  Configure throws a class of its own (no
//                           std::exception)
//   BROKEN_THROW_OPEN       Open throws a class of its own derived from
//                           std::runtime_error
// Every variant counts its Close calls and live objects for the tests.
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "plugins/TelvaneSdk.h"

namespace {

// What the throwing variants throw: classes that live in this package only.
struct BrokenFault {
  std::string text;
};
struct BrokenError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::atomic<int32_t> g_closes{0};
std::atomic<int32_t> g_alive{0};

class BrokenInterface : public KxInterface {
 public:
  BrokenInterface() { ++g_alive; }
  ~BrokenInterface() override { --g_alive; }
  int Exchange(const void*, int32_t, void*, int32_t) override { return -1; }
  bool Configure(const uint8_t*, int32_t) override {
#if defined(BROKEN_CONFIGURE_FAILS)
    return false;
#elif defined(BROKEN_THROW_CONFIGURE)
    throw BrokenFault{"configuração quebrada"};
#else
    return true;
#endif
  }
  bool Open() override {
#if defined(BROKEN_THROW_OPEN)
    throw BrokenError("abertura quebrada");
#endif
    return false;
  }
  void Close() override { ++g_closes; }
};

}  // namespace

#if defined(BROKEN_NULL_OBJECT)
TELVANE_EXPORT KxInterface* _CreateInterface(KxPackageLog*) { return nullptr; }
#elif defined(BROKEN_THROW_CREATE)
TELVANE_EXPORT KxInterface* _CreateInterface(KxPackageLog*) { throw BrokenFault{"criação quebrada"}; }
#elif !defined(BROKEN_NO_ENTRY)
TELVANE_EXPORT KxInterface* _CreateInterface(KxPackageLog*) { return new BrokenInterface(); }
#endif

// Present in every variant, so that a package without the entry point is
// still a valid library.
TELVANE_EXPORT int32_t BrokenInterface_CloseCount() { return g_closes.load(); }
TELVANE_EXPORT int32_t BrokenInterface_Alive() { return g_alive.load(); }
