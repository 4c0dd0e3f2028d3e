#include "model/TmodEquipamentos.h"

#include <stdexcept>

#include "database/TmodDatabase.h"

namespace {

FbConnection& MainConnection(TmodDatabase* database) {
  if (!database) database = modDatabase;
  if (!database) throw std::logic_error("TmodEquipamentos: no main database module");
  return database->Database;
}

}  // namespace

TmodEquipamentos::TmodEquipamentos(TmodDatabase* database)
    : EquipsTrans(MainConnection(database),
                  FbTransactionOptions{.ReadOnly = true,
                                       .AllowImplicitStart = true,
                                       .CommitOnClose = true}),
      Equipamentos(EquipsTrans.Connection(), EquipsTrans, "select * from EQUIPAMENTOS"),
      Canais(EquipsTrans.Connection(), EquipsTrans,
             "select CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, DESCRICAO, TIPOVAR "
             "from CANAIS where EQUIP_ID = :EQUIP_ID order by EQUIP_ID") {
  EquipsTrans.StartTransaction();
  Equipamentos.ExecQuery();
  OpenCanais();
}

TmodEquipamentos::~TmodEquipamentos() {
  for (FbQuery* q : {&Canais, &Equipamentos}) {
    try {
      q->Close();
    } catch (...) {
    }
  }
  try {
    if (EquipsTrans.InTransaction()) EquipsTrans.Commit();
  } catch (...) {
    // The transaction's own destructor ends what is left.
  }
}

void TmodEquipamentos::NextEquipamento() {
  Equipamentos.Next();
  OpenCanais();
}

void TmodEquipamentos::OpenCanais() {
  Canais.Close();
  if (Equipamentos.Eof())
    Canais.ParamByName("EQUIP_ID").SetNull();
  else
    Canais.ParamByName("EQUIP_ID").SetInteger(Equipamentos.FieldByName("EQUIP_ID").AsInteger());
  Canais.ExecQuery();
}
