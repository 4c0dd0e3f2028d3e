// The interfaces module: every row of INTERFACES, read-only, over the main
// connection. Lives only while the installation loader walks it.
#pragma once

#include "database/FbQuery.h"
#include "database/FbTransaction.h"

class TmodDatabase;

class TmodInterfaces {
 public:
  // Starts InterfacesTrans and opens Interfaces on its first row. Database
  // errors propagate. `database` defaults to the global modDatabase.
  explicit TmodInterfaces(TmodDatabase* database = nullptr);
  TmodInterfaces(const TmodInterfaces&) = delete;
  TmodInterfaces& operator=(const TmodInterfaces&) = delete;
  // Closes Interfaces and commits InterfacesTrans. Never throws.
  ~TmodInterfaces();

  // Read-only; a statement outside the transaction fails.
  FbTransaction InterfacesTrans;
  // INTERFACE_ID, GLOBAL_ID, DESCRICAO, CONFIGS (blob), DLLNAME, NAME.
  FbQuery Interfaces;
};
