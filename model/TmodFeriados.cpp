#include "model/TmodFeriados.h"

#include <stdexcept>

#include "database/FbConnection.h"
#include "database/TmodDatabase.h"
#include "platform/ExceptionMessage.h"

namespace {

constexpr char kSelect[] = "select * from FERIADOS";

FbConnection& MainConnection(TmodDatabase* database) {
  if (!database) database = modDatabase;
  if (!database) throw std::logic_error("TmodFeriados: no main database module");
  return database->Database;
}

FbTransactionOptions Options() {
  return FbTransactionOptions{.ReadOnly = false, .AllowImplicitStart = true, .CommitOnClose = true};
}

// Every row of FERIADOS through `q`, in a transaction `tr` of its own.
// Throws EDatabaseError; the caller ends what is left.
std::unique_ptr<TListaFeriados> ReadList(FbTransaction& tr, FbQuery& q) {
  auto lista = std::make_unique<TListaFeriados>();
  tr.StartTransaction();
  q.ExecQuery();
  while (!q.Eof()) {
    lista->Add(q.FieldByName("DATA").AsDateTime());
    q.Next();
  }
  q.Close();
  tr.Commit();
  return lista;
}

}  // namespace

TmodFeriados::TmodFeriados(TmodDatabase* database)
    : FeriadosTrans(MainConnection(database), Options()),
      Feriados(FeriadosTrans.Connection(), FeriadosTrans, kSelect),
      ListaFeriados(std::make_unique<TListaFeriados>()) {}

TmodFeriados::~TmodFeriados() {
  try {
    Feriados.Close();
  } catch (...) {
  }
}

bool TmodFeriados::Load(bool fresh) {
  std::unique_ptr<TListaFeriados> lista;
  try {
    lista = fresh ? ReadOwnAttachment() : ReadList(FeriadosTrans, Feriados);
  } catch (...) {
    lastError_ = CurrentExceptionMessage();
    if (!fresh) RollBackFailedLoad();
    return false;
  }
  ListaFeriados = std::move(lista);
  lastError_.clear();
  return true;
}

std::unique_ptr<TListaFeriados> TmodFeriados::ReadOwnAttachment() {
  // Ended in reverse order on the way out: the cursor, the transaction (a
  // failed read commits nothing), the attachment.
  FbConnection connection(FeriadosTrans.Connection().Params());
  FbTransaction tr(connection, Options());
  FbQuery q(connection, tr, kSelect);
  return ReadList(tr, q);
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
