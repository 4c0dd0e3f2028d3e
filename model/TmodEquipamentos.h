// The equipment module: EQUIPAMENTOS, with the CANAIS of the current
// equipment, read-only, over the main connection. Lives only while the
// installation loader walks it.
//
// Master and detail: Canais holds only the rows whose EQUIP_ID equals that of
// the current Equipamentos row. Move the master with NextEquipamento, which
// reads Canais again for the new row; walk Canais with its own Next().
#pragma once

#include "database/FbQuery.h"
#include "database/FbTransaction.h"

class TmodDatabase;

class TmodEquipamentos {
 public:
  // Starts EquipsTrans, then opens Equipamentos and Canais in that order.
  // Database errors propagate. `database` defaults to modDatabase.
  explicit TmodEquipamentos(TmodDatabase* database = nullptr);
  TmodEquipamentos(const TmodEquipamentos&) = delete;
  TmodEquipamentos& operator=(const TmodEquipamentos&) = delete;
  // Closes Canais, then Equipamentos, then commits EquipsTrans. Never throws.
  ~TmodEquipamentos();

  // Moves Equipamentos to its next row and reads Canais again for it.
  void NextEquipamento();

  FbTransaction EquipsTrans;  // read-only
  // "select * from EQUIPAMENTOS": EQUIP_ID, DRIVER_ID, DRV_ADDR1, DRV_ADDR2,
  // DESCRICAO, in the order the server returns them.
  FbQuery Equipamentos;
  // CANAL_ID, EQUIP_ID, EQUIP_INDEX, VAR_ID, LOCAL_ID, DESCRICAO, TIPOVAR.
  FbQuery Canais;

 private:
  void OpenCanais();
};
