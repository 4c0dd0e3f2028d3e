// One loaded driver package.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/TPackage.h"
#include "plugins/TelvaneSdk.h"

class KxDriver {
 public:
  // Loads the package (throws when it cannot be loaded), looks up its entry
  // points and copies its name and version ("Erro" when not exported).
  KxDriver(const std::string& packagePath, int32_t driverId, KxInterface* interface_);
  // Unloads the package.
  virtual ~KxDriver();

  // A new equipment object that takes `canais`, or nullptr (no entry point,
  // or the package made none). Once handed to the package's
  // _CreateEquipClass, `canais` is the package's whatever comes back (an
  // object that owns it, nullptr, or an exception): the caller must never
  // touch it again. Without the entry point it is not handed over and stays
  // the caller's. What the package throws arrives as std::runtime_error.
  KxEquipamento* CreateEquipamento(int32_t equipId, int32_t drvAddr1, int32_t drvAddr2,
                                   KxListaCanais* canais, KxPackageLog* log);

  int32_t DriverId;
  std::string Nome;    // UTF-8
  std::string Versao;  // UTF-8
  std::unique_ptr<TPackage> Pacote;
  KxCreateEquipClassProc CreateEquipClass = nullptr;
  KxDestroyEquipClassProc DestroyEquipClass = nullptr;  // kept, never called
  KxInterface* Interface;  // not owned
};
