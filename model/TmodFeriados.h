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

  // Reloads ListaFeriados from FERIADOS. Swallows database errors (the list
  // keeps what was added before the error); only a failing rollback escapes.
  void Load();

  FbTransaction FeriadosTrans;
  FbQuery Feriados;
  std::unique_ptr<TListaFeriados> ListaFeriados;
};
