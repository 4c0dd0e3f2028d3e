#include "model/TmodDrivers.h"

#include <stdexcept>

#include "database/TmodDatabase.h"

namespace {

FbConnection& MainConnection(TmodDatabase* database) {
  if (!database) database = modDatabase;
  if (!database) throw std::logic_error("TmodDrivers: no main database module");
  return database->Database;
}

}  // namespace

TmodDrivers::TmodDrivers(TmodDatabase* database)
    : DriverTrans(MainConnection(database),
                  FbTransactionOptions{.ReadOnly = true,
                                       .AllowImplicitStart = true,
                                       .CommitOnClose = true}),
      Drivers(DriverTrans.Connection(), DriverTrans,
              "select DRIVER_ID, DESCRICAO, INTERFACE_ID, DLLNAME, GLOBAL_ID from DRIVERS") {
  DriverTrans.StartTransaction();
  Drivers.ExecQuery();
}

TmodDrivers::~TmodDrivers() {
  try {
    Drivers.Close();
  } catch (...) {
  }
  try {
    if (DriverTrans.InTransaction()) DriverTrans.Commit();
  } catch (...) {
    // The transaction's own destructor ends what is left.
  }
}
