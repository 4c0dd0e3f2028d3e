// The holidays module: FERIADOS over the main connection.
// Used by the acquisition thread only.
#pragma once

#include <memory>

#include "database/FbQuery.h"
#include "database/FbTransaction.h"
#include "model/TListaFeriados.h"

class TmodDatabase;

class TmodFeriados {
 public:
  // Creates the empty holiday list; reads nothing. `database` defaults to
  // the global modDatabase.
  explicit TmodFeriados(TmodDatabase* database = nullptr);
  ~TmodFeriados();

  // Reloads ListaFeriados from FERIADOS. The new list is read apart and
  // takes the old one's place only when it was read whole: after any
  // failure the holidays of the last good reload stay in force, so a record
  // is never tagged as if its holiday did not exist. Swallows database
  // errors; only a failing rollback escapes. True when the list was renewed.
  bool Load();

  FbTransaction FeriadosTrans;
  FbQuery Feriados;
  std::unique_ptr<TListaFeriados> ListaFeriados;

 private:
  void RollBackFailedLoad();
};
