// The variables module: VARIAVEIS, with the PERIODOS of the current variable
// and the PERIODOS_SEGMENTOS of the current period, read-only, over the main
// connection. Lives only while the installation loader walks it.
//
// Master and detail: a detail cursor holds only the rows whose key equals the
// key of its master's current row, ordered by that key. Move the masters with
// NextVariavel / NextPeriodo, which read the details again for the new row;
// the detail rows themselves are walked with their own Next().
#pragma once

#include "database/FbQuery.h"
#include "database/FbTransaction.h"

class TmodDatabase;

class TmodVariaveis {
 public:
  // Starts VarsTrans, then opens Variaveis, Periodos and Segmentos in that
  // order. Database errors propagate. `database` defaults to modDatabase.
  explicit TmodVariaveis(TmodDatabase* database = nullptr);
  TmodVariaveis(const TmodVariaveis&) = delete;
  TmodVariaveis& operator=(const TmodVariaveis&) = delete;
  // Closes Segmentos, Periodos, Variaveis, then commits VarsTrans. Never throws.
  ~TmodVariaveis();

  // Moves Variaveis to its next row and reads Periodos (and so Segmentos)
  // again for it.
  void NextVariavel();
  // Moves Periodos to its next row and reads Segmentos again for it.
  void NextPeriodo();

  FbTransaction VarsTrans;  // read-only
  FbQuery Variaveis;        // VAR_ID, DESCRICAO, TIPO, UNIDADE
  FbQuery Periodos;         // PERIODO_ID, VAR_ID, COR, DESCRICAO (detail on VAR_ID)
  FbQuery Segmentos;        // SEGMENTO_ID, PERIODO_ID, STARTTIME, ENDTIME, DIAS (detail on PERIODO_ID)

 private:
  void OpenPeriodos();
  void OpenSegmentos();
};
