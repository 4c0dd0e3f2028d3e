#include "model/TmodFeriados.h"

#include <stdexcept>

#include "database/TmodDatabase.h"

namespace {

FbConnection& MainConnection(TmodDatabase* database) {
  if (!database) database = modDatabase;
  if (!database) throw std::logic_error("TmodFeriados: no main database module");
  return database->Database;
}

}  // namespace

TmodFeriados::TmodFeriados(TmodDatabase* database)
    : FeriadosTrans(MainConnection(database),
                    FbTransactionOptions{.ReadOnly = false,
                                         .AllowImplicitStart = true,
                                         .CommitOnClose = true}),
      Feriados(FeriadosTrans.Connection(), FeriadosTrans, "select * from FERIADOS"),
      ListaFeriados(std::make_unique<TListaFeriados>()) {}

TmodFeriados::~TmodFeriados() {
  try {
    Feriados.Close();
  } catch (...) {
  }
}

void TmodFeriados::Load() {
  try {
    ListaFeriados->Clear();
    FeriadosTrans.StartTransaction();
    Feriados.ExecQuery();
    while (!Feriados.Eof()) {
      ListaFeriados->Add(Feriados.FieldByName("DATA").AsDateTime());
      Feriados.Next();
    }
    Feriados.Close();
    FeriadosTrans.Commit();
  } catch (...) {
    // The list keeps what was added before the failure. A cursor left open
    // by a failed fetch must be closed before the statement is used again.
    try {
      Feriados.Close();
    } catch (...) {
    }
    // Only a failing rollback reaches the caller.
    if (FeriadosTrans.InTransaction()) FeriadosTrans.Rollback();
  }
}
