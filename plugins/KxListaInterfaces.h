// The interface objects, created by the interface packages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/TelvaneSdk.h"

class KxListaInterfaces {
 public:
  KxListaInterfaces() = default;
  KxListaInterfaces(const KxListaInterfaces&) = delete;
  KxListaInterfaces& operator=(const KxListaInterfaces&) = delete;
  virtual ~KxListaInterfaces();  // Clear()

  // Loads the package (throws when it cannot be loaded; the package stays
  // loaded until the process ends), creates the interface, configures it and,
  // when that succeeds, opens it. Returns the new interface, or nullptr
  // (and appends nothing) when the package has no _CreateInterface or it
  // returned none.
  KxInterface* AddInterface(int32_t interfaceId, const std::string& packagePath,
                            KxPackageLog* log, const uint8_t* bytes, int32_t count);
  KxInterface* FindById(int32_t interfaceId) const;
  int Count() const;
  KxInterface* Items(int index) const;
  // For each interface in index order: Close() if Aberta, then destroy it.
  void Clear();

 private:
  std::vector<KxInterface*> items_;
};
