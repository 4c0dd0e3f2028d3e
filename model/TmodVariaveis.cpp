#include "model/TmodVariaveis.h"

#include <stdexcept>

#include "database/TmodDatabase.h"

namespace {

FbConnection& MainConnection(TmodDatabase* database) {
  if (!database) database = modDatabase;
  if (!database) throw std::logic_error("TmodVariaveis: no main database module");
  return database->Database;
}

// Re-runs a detail cursor for the current row of its master (no rows when
// the master is past its end).
void OpenDetail(FbQuery& detail, FbQuery& master, const char* key) {
  detail.Close();
  if (master.Eof())
    detail.ParamByName(key).SetNull();
  else
    detail.ParamByName(key).SetInteger(master.FieldByName(key).AsInteger());
  detail.ExecQuery();
}

}  // namespace

TmodVariaveis::TmodVariaveis(TmodDatabase* database)
    : VarsTrans(MainConnection(database),
                FbTransactionOptions{.ReadOnly = true,
                                     .AllowImplicitStart = true,
                                     .CommitOnClose = true}),
      Variaveis(VarsTrans.Connection(), VarsTrans,
                "select VAR_ID, DESCRICAO, TIPO, UNIDADE from VARIAVEIS"),
      Periodos(VarsTrans.Connection(), VarsTrans,
               "select PERIODO_ID, VAR_ID, COR, DESCRICAO from PERIODOS "
               "where VAR_ID = :VAR_ID order by VAR_ID"),
      Segmentos(VarsTrans.Connection(), VarsTrans,
                "select SEGMENTO_ID, PERIODO_ID, STARTTIME, ENDTIME, DIAS "
                "from PERIODOS_SEGMENTOS where PERIODO_ID = :PERIODO_ID order by PERIODO_ID") {
  VarsTrans.StartTransaction();
  Variaveis.ExecQuery();
  OpenPeriodos();
}

TmodVariaveis::~TmodVariaveis() {
  for (FbQuery* q : {&Segmentos, &Periodos, &Variaveis}) {
    try {
      q->Close();
    } catch (...) {
    }
  }
  try {
    if (VarsTrans.InTransaction()) VarsTrans.Commit();
  } catch (...) {
    // The transaction's own destructor ends what is left.
  }
}

void TmodVariaveis::NextVariavel() {
  Variaveis.Next();
  OpenPeriodos();
}

void TmodVariaveis::NextPeriodo() {
  Periodos.Next();
  OpenSegmentos();
}

void TmodVariaveis::OpenPeriodos() {
  OpenDetail(Periodos, Variaveis, "VAR_ID");
  OpenSegmentos();
}

void TmodVariaveis::OpenSegmentos() { OpenDetail(Segmentos, Periodos, "PERIODO_ID"); }
