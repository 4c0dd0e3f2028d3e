#include "plugins/KxDriver.h"

#include "platform/Text.h"
#include "plugins/KxPackageCall.h"

namespace {

// The text a driver entry point returns (Windows-1252), or "Erro" when the
// package does not export it or returns no text.
std::string DriverText(const TPackage& pacote, const char* entryPoint) {
  auto proc = reinterpret_cast<KxGetDriverTextProc>(pacote.GetProcAddress(entryPoint));
  if (proc == nullptr) return "Erro";
  const char* value = CallPackage([proc] { return proc(); });
  if (value == nullptr) return "Erro";
  // Copied while the package is loaded: the text is the package's storage.
  return text::FromCp1252(value);
}

}  // namespace

KxDriver::KxDriver(const std::string& packagePath, int32_t driverId, KxInterface* interface_)
    : DriverId(driverId), Interface(interface_) {
  Pacote = std::make_unique<TPackage>(packagePath);  // throws when it cannot be loaded
  CreateEquipClass =
      reinterpret_cast<KxCreateEquipClassProc>(Pacote->GetProcAddress(KX_CREATE_EQUIP_CLASS));
  DestroyEquipClass =
      reinterpret_cast<KxDestroyEquipClassProc>(Pacote->GetProcAddress(KX_DESTROY_EQUIP_CLASS));
  Nome = DriverText(*Pacote, KX_GET_DRIVER_NAME);
  Versao = DriverText(*Pacote, KX_GET_DRIVER_VERSION);
}

// The package is unloaded when Pacote is freed. Every equipment object made
// by it must have been freed before.
KxDriver::~KxDriver() = default;

KxEquipamento* KxDriver::CreateEquipamento(int32_t equipId, int32_t drvAddr1, int32_t drvAddr2,
                                           KxListaCanais* canais, KxPackageLog* log) {
  if (CreateEquipClass == nullptr) return nullptr;
  return CallPackage([&] {
    return CreateEquipClass(equipId, drvAddr1, drvAddr2, canais, Interface, log);
  });
}
