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

bool TmodFeriados::Load() {
  auto lista = std::make_unique<TListaFeriados>();
  try {
    FeriadosTrans.StartTransaction();
    Feriados.ExecQuery();
    while (!Feriados.Eof()) {
      lista->Add(Feriados.FieldByName("DATA").AsDateTime());
      Feriados.Next();
    }
    Feriados.Close();
    FeriadosTrans.Commit();
  } catch (...) {
    RollBackFailedLoad();
    return false;
  }
  ListaFeriados = std::move(lista);
  return true;
}

void TmodFeriados::RollBackFailedLoad() {
  // A cursor left open by a failed fetch must be closed before the
  // statement is used again.
  try {
    Feriados.Close();
  } catch (...) {
  }
  // Only a failing rollback reaches the caller.
  if (FeriadosTrans.InTransaction()) FeriadosTrans.Rollback();
}
