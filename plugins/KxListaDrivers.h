#pragma once

#include "model/KxObjectList.h"
#include "plugins/KxDriver.h"

class KxListaDrivers : public KxObjectList<KxDriver> {
 public:
  // Constructs the driver (throws when its package cannot be loaded) and appends it.
  KxDriver* AddDriver(const std::string& packagePath, int32_t driverId, KxInterface* interface_);
  KxDriver* FindById(int32_t driverId) const;
};
