#include "plugins/KxListaDrivers.h"

KxDriver* KxListaDrivers::AddDriver(const std::string& packagePath, int32_t driverId,
                                    KxInterface* interface_) {
  auto driver = std::make_unique<KxDriver>(packagePath, driverId, interface_);
  Add(driver.get());
  return driver.release();
}

KxDriver* KxListaDrivers::FindById(int32_t driverId) const {
  for (int i = 0; i < Count(); ++i) {
    KxDriver* driver = Items(i);
    if (driver != nullptr && driver->DriverId == driverId) return driver;
  }
  return nullptr;
}
