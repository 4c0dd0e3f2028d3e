#include "online/TmodOnline.h"

TmodOnline* modOnline = nullptr;

namespace {

// read_committed, rec_version, nowait (write); no implicit start; a
// transaction still active at the end is committed.
FbTransactionOptions Options() {
  FbTransactionOptions o;
  o.ReadOnly = false;
  o.AllowImplicitStart = false;
  o.CommitOnClose = true;
  return o;
}

}  // namespace

TmodOnline::TmodOnline(const FbConnectParams& params)
    : DB(params),
      Transaction(DB, Options()),
      TransactionValues(DB, Options()),
      LimpaEquips(DB, Transaction, "delete from ONLINE_EQUIPS where VALIDADE < current_timestamp"),
      Equipamentos(DB, Transaction, "select * from ONLINE_EQUIPS where VALIDADE > current_timestamp"),
      Valores(DB, TransactionValues,
              "update or insert into ONLINE_VALUES(EQUIP_ID, VAR, VALOR) values (:EQUIP_ID, :VAR, "
              ":VALOR) matching (EQUIP_ID, VAR)") {}

// Statements end first, then the transactions (an active one commits), then
// the connection.
TmodOnline::~TmodOnline() = default;

void TmodOnline::PurgeExpiredRequests() {
  if (Transaction.InTransaction()) Transaction.Commit();
  Transaction.StartTransaction();
  LimpaEquips.ExecQuery();
  Transaction.Commit();
}

void TmodOnline::OpenRequests() {
  if (Transaction.InTransaction()) Transaction.Commit();
  Transaction.StartTransaction();
  Equipamentos.ExecQuery();  // the cursor stays open in the active transaction
}

int32_t TmodOnline::NextRequestedEquip() {
  if (Equipamentos.Eof()) return -1;
  const int32_t id = Equipamentos.FieldByName("EQUIP_ID").AsInteger();
  Equipamentos.Next();
  return id;
}

void TmodOnline::BeginValues() {
  if (TransactionValues.InTransaction()) TransactionValues.Commit();
  TransactionValues.StartTransaction();
}

void TmodOnline::StoreOnlineValue(int32_t equipId, const std::string& name,
                                  const std::string& value) {
  Valores.ParamByName("EQUIP_ID").SetInteger(equipId);
  Valores.ParamByName("VAR").SetString(name);
  Valores.ParamByName("VALOR").SetString(value);
  Valores.ExecQuery();
}

void TmodOnline::CommitValues() { TransactionValues.Commit(); }
