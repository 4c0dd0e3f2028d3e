// The drivers module: every row of DRIVERS, read-only, over the main
// connection. Lives only while the installation loader walks it.
#pragma once

#include "database/FbQuery.h"
#include "database/FbTransaction.h"

class TmodDatabase;

class TmodDrivers {
 public:
  // Starts DriverTrans and opens Drivers on its first row. Database errors
  // propagate. `database` defaults to the global modDatabase.
  explicit TmodDrivers(TmodDatabase* database = nullptr);
  TmodDrivers(const TmodDrivers&) = delete;
  TmodDrivers& operator=(const TmodDrivers&) = delete;
  // Closes Drivers and commits DriverTrans. Never throws.
  ~TmodDrivers();

  FbTransaction DriverTrans;  // read-only
  // DRIVER_ID, DESCRICAO, INTERFACE_ID, DLLNAME, GLOBAL_ID.
  FbQuery Drivers;
};
