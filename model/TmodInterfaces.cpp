#include "model/TmodInterfaces.h"

#include <stdexcept>

#include "database/TmodDatabase.h"

namespace {

FbConnection& MainConnection(TmodDatabase* database) {
  if (!database) database = modDatabase;
  if (!database) throw std::logic_error("TmodInterfaces: no main database module");
  return database->Database;
}

}  // namespace

TmodInterfaces::TmodInterfaces(TmodDatabase* database)
    : InterfacesTrans(MainConnection(database),
                      FbTransactionOptions{.ReadOnly = true,
                                           .AllowImplicitStart = false,
                                           .CommitOnClose = true}),
      Interfaces(InterfacesTrans.Connection(), InterfacesTrans,
                 "select INTERFACE_ID, GLOBAL_ID, DESCRICAO, CONFIGS, DLLNAME, NAME "
                 "from INTERFACES") {
  InterfacesTrans.StartTransaction();
  Interfaces.ExecQuery();
}

TmodInterfaces::~TmodInterfaces() {
  try {
    Interfaces.Close();
  } catch (...) {
  }
  try {
    if (InterfacesTrans.InTransaction()) InterfacesTrans.Commit();
  } catch (...) {
    // The transaction's own destructor ends what is left.
  }
}
