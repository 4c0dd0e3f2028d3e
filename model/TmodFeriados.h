// The holidays module: FERIADOS over the main connection.
// Used by the acquisition thread only.
#pragma once

#include <memory>
#include <string>

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
  // `fresh`: read over an attachment of its own, made for this read and
  // ended after it, not over the main connection. The server checks a
  // user's rights on a table once per attachment and keeps the answer: a
  // grant given back after a refusal reaches only an attachment made after
  // it, and one that never read the table. For the tries while no list was
  // ever read, so that the main connection first reads the table once it
  // may.
  bool Load(bool fresh = false);
  // Why the last reload failed (the database's message); empty after one
  // that renewed the list.
  const std::string& LastError() const { return lastError_; }

  FbTransaction FeriadosTrans;
  FbQuery Feriados;
  std::unique_ptr<TListaFeriados> ListaFeriados;

 private:
  void RollBackFailedLoad();
  std::unique_ptr<TListaFeriados> ReadOwnAttachment();

  std::string lastError_;
};
