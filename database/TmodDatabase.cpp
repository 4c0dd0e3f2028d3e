#include "database/TmodDatabase.h"

#include "database/EDatabaseError.h"
#include "platform/ExceptionMessage.h"

TmodDatabase* modDatabase = nullptr;

namespace {

// read_committed, rec_version, nowait (write).
FbTransactionOptions Options(bool allowImplicitStart, bool commitOnClose) {
  FbTransactionOptions o;
  o.ReadOnly = false;
  o.AllowImplicitStart = allowImplicitStart;
  o.CommitOnClose = commitOnClose;
  return o;
}

FbTransactionOptions ReadOnly() {
  FbTransactionOptions o = Options(false, false);
  o.ReadOnly = true;
  return o;
}

// 01/01/2000 00:00:00.000: the last date when nothing is stored.
constexpr TDateTime kDefaultLastDate = 36526.0;

const char* const kEquipDescription =
    "select DESCRICAO from EQUIPAMENTOS where EQUIP_ID = :EQUIP_ID";
const char* const kCanalDescription = "select DESCRICAO from CANAIS where CANAL_ID = :CANAL_ID";
const char* const kCommStatus =
    "update or insert into STATUS_COMM (ID, MENSAGEM) values (:ID, :MENSAGEM) matching (ID)";

// Rolls back after a failure, if the transaction is still active; a failing
// rollback is as silent as the failure itself.
void RollbackQuietly(FbTransaction& tr) {
  try {
    if (tr.InTransaction()) tr.Rollback();
  } catch (...) {
  }
}

}  // namespace

TmodDatabase::TmodDatabase(const FbConnectParams& params)
    : Database(params),
      DefaultTransaction(Database, Options(true, true)),
      HistoricoTrans(Database, Options(false, true)),
      StatusTransaction(Database, Options(true, true)),
      AlarmesTrans(Database, Options(true, false)),
      GenericTrans(Database, Options(false, false)),
      LookupTrans(Database, ReadOnly()),
      LastRecordDateFast(Database, DefaultTransaction,
                         "select max(DATA) as DATA from HISTORICOS_H where CANAL_ID = :ID and DATA "
                         "between DATEADD(-60 day to current_timestamp) and current_timestamp"),
      LastRecordDate(Database, DefaultTransaction,
                     "select max(DATA) as DATA from HISTORICOS_H where CANAL_ID = :ID"),
      // The service's own communication events are dated by the computer's
      // clock at the visit, not by the meter's: resuming from one of them
      // would skip the alarms a slow meter recorded before it.
      LastAlarmDate(Database, DefaultTransaction,
                    "select max(DATA) as DATA from ALARMES where EQUIP_ID = :ID and not "
                    "((CLASSE = 2 and TEXTO = :T2) or (CLASSE = 3 and TEXTO = :T3))"),
      AddHistorico(Database, HistoricoTrans,
                   "insert into HISTORICOS_H (DATA, VALOR, CANAL_ID, PERIODO) values (:DATA, "
                   ":VALOR, :CANAL_ID, :PERIODO)"),
      AddAlarme(Database, AlarmesTrans,
                "INSERT INTO ALARMES (EQUIP_ID, DATA, TEXTO, CLASSE) VALUES (:EQUIP_ID, :DATA, "
                ":TEXTO, :CLASSE)"),
      StatusEquipamentos(Database, StatusTransaction,
                         "update or insert into STATUS_EQUIPS (EQUIP_ID, STATUS, TEXTO) values "
                         "(:EQUIP_ID, :STATUS, :TEXTO) matching (EQUIP_ID)"),
      InicializaStatus(Database, StatusTransaction, "update STATUS_EQUIPS set STATUS=0, TEXTO=''"),
      Generic(Database, GenericTrans),
      NewestRecord(Database, LookupTrans,
                   "select max(DATA) as DATA from HISTORICOS_H where CANAL_ID = :ID"),
      CountHistoricoRows(Database, LookupTrans,
                         "select count(*) as N from HISTORICOS_H where CANAL_ID = :ID and DATA = "
                         ":DATA and VALOR = :VALOR"),
      NewestAlarm(Database, LookupTrans,
                  "select max(DATA) as DATA from ALARMES where EQUIP_ID = :ID"),
      CountAlarmeRows(Database, LookupTrans,
                      "select count(*) as N from ALARMES where EQUIP_ID = :ID and DATA = :DATA "
                      "and CLASSE = :CLASSE and TEXTO = :TEXTO"),
      CountAlarmeLogRows(Database, AlarmesTrans,
                         "select count(*) as N from ALARMES where EQUIP_ID is not distinct from "
                         ":ID and DATA = :DATA and CLASSE = :CLASSE and TEXTO = :TEXTO") {}

// Members end in reverse order: statements first, then the transactions
// (each committed or rolled back as its options say), then the connection.
TmodDatabase::~TmodDatabase() = default;

TDateTime TmodDatabase::GetLastRecordDate(int32_t canalId, std::string* failure) {
  TDateTime result = 0;
  try {
    DefaultTransaction.StartTransaction();
    LastRecordDateFast.ParamByName("ID").SetInteger(canalId);
    LastRecordDateFast.ExecQuery();
    if (!LastRecordDateFast.Eof() && !LastRecordDateFast.FieldByName("DATA").IsNull())
      result = LastRecordDateFast.FieldByName("DATA").AsDateTime();
    LastRecordDateFast.Close();
    if (result == 0) {
      // Nothing within the last 60 days: look over the whole history.
      LastRecordDate.ParamByName("ID").SetInteger(canalId);
      LastRecordDate.ExecQuery();
      if (LastRecordDate.Eof()) {
        result = kDefaultLastDate;
      } else {
        result = LastRecordDate.FieldByName("DATA").AsDateTime();
        if (result == 0) result = kDefaultLastDate;
      }
      LastRecordDate.Close();
    }
    DefaultTransaction.Commit();
  } catch (...) {
    result = 0;
    if (failure) *failure = CurrentExceptionMessage();
    RollbackQuietly(DefaultTransaction);
  }
  return result;
}

TDateTime TmodDatabase::GetLastAlarmDate(int32_t equipId, std::string* failure) {
  TDateTime result = 0;
  try {
    DefaultTransaction.StartTransaction();
    LastAlarmDate.ParamByName("ID").SetInteger(equipId);
    LastAlarmDate.ParamByName("T2").SetString(kTextoSemComunicacao);
    LastAlarmDate.ParamByName("T3").SetString(kTextoComunicacaoNormal);
    LastAlarmDate.ExecQuery();
    if (LastAlarmDate.Eof()) {
      result = kDefaultLastDate;
    } else {
      result = LastAlarmDate.FieldByName("DATA").AsDateTime();
      if (result == 0) result = kDefaultLastDate;
    }
    LastAlarmDate.Close();
    DefaultTransaction.Commit();
  } catch (...) {
    result = 0;
    if (failure) *failure = CurrentExceptionMessage();
    RollbackQuietly(DefaultTransaction);
  }
  return result;
}

void TmodDatabase::SetEquipStatus(int32_t equipId, int32_t status, const std::string& texto) {
  try {
    StatusTransaction.StartTransaction();
    StatusEquipamentos.ParamByName("EQUIP_ID").SetInteger(equipId);
    StatusEquipamentos.ParamByName("STATUS").SetInteger(status);
    StatusEquipamentos.ParamByName("TEXTO").SetString(texto);
    StatusEquipamentos.ExecQuery();
    StatusTransaction.Commit();
  } catch (...) {
    RollbackQuietly(StatusTransaction);
  }
}

void TmodDatabase::ResetEquipStatus() {
  try {
    StatusTransaction.StartTransaction();
    InicializaStatus.ExecQuery();
    StatusTransaction.Commit();
  } catch (...) {
    RollbackQuietly(StatusTransaction);
  }
}

namespace {

// The description of one row through Generic; a NULL or missing DESCRICAO is
// a failure.
std::string Description(TmodDatabase& m, const char* sql, const char* param, int32_t id) {
  try {
    m.Generic.SetSQL(sql);
    m.GenericTrans.StartTransaction();
    m.Generic.ParamByName(param).SetInteger(id);
    m.Generic.ExecQuery();
    if (m.Generic.Eof()) throw EDatabaseError("no row for the description", {});
    std::string text = m.Generic.FieldByName("DESCRICAO").AsString();  // raises for NULL
    m.Generic.Close();
    m.GenericTrans.Commit();
    return text;
  } catch (...) {
    RollbackQuietly(m.GenericTrans);
    return "Erro";
  }
}

}  // namespace

std::string TmodDatabase::GetEquipDescription(int32_t equipId) {
  return Description(*this, kEquipDescription, "EQUIP_ID", equipId);
}

std::string TmodDatabase::GetCanalDescription(int32_t canalId) {
  return Description(*this, kCanalDescription, "CANAL_ID", canalId);
}

void TmodDatabase::SetCommStatus(int32_t id, const std::string& mensagem) {
  try {
    Generic.SetSQL(kCommStatus);
    GenericTrans.StartTransaction();
    Generic.ParamByName("ID").SetInteger(id);
    Generic.ParamByName("MENSAGEM").SetString(mensagem);
    Generic.ExecQuery();
    GenericTrans.Commit();
  } catch (...) {
    RollbackQuietly(GenericTrans);
  }
}

namespace {

// Runs one read of `q` in its own LookupTrans; `bind` sets the
// parameters, `read` takes the row. Throws after rolling back.
template <typename Bind, typename Read>
auto ReadOne(FbTransaction& tr, FbQuery& q, Bind bind, Read read) {
  try {
    tr.StartTransaction();
    bind();
    q.ExecQuery();
    auto result = read();
    q.Close();
    tr.Commit();
    return result;
  } catch (...) {
    RollbackQuietly(tr);
    throw;
  }
}

// The greatest DATA that `q` gives for the id; 0 when none.
TDateTime NewestDate(FbTransaction& tr, FbQuery& q, int32_t id) {
  return ReadOne(
      tr, q, [&] { q.ParamByName("ID").SetInteger(id); },
      [&] {
        return q.Eof() || q.FieldByName("DATA").IsNull() ? TDateTime(0)
                                                         : q.FieldByName("DATA").AsDateTime();
      });
}

}  // namespace

TDateTime TmodDatabase::NewestRecordDate(int32_t canalId) {
  return NewestDate(LookupTrans, NewestRecord, canalId);
}

int64_t TmodDatabase::CountHistorico(int32_t canalId, TDateTime data, float valor) {
  FbQuery& q = CountHistoricoRows;
  return ReadOne(
      LookupTrans, q,
      [&] {
        q.ParamByName("ID").SetInteger(canalId);
        q.ParamByName("DATA").SetDateTime(data);
        q.ParamByName("VALOR").SetFloat(valor);
      },
      [&] { return q.Eof() ? int64_t(0) : int64_t(q.FieldByName("N").AsInteger()); });
}

TDateTime TmodDatabase::NewestAlarmDate(int32_t equipId) {
  return NewestDate(LookupTrans, NewestAlarm, equipId);
}

namespace {

// Rows of ALARMES alike, through `q` in `tr`; equipId -1 stands for NULL.
int64_t CountAlarmRows(FbTransaction& tr, FbQuery& q, int32_t equipId, TDateTime data,
                       int32_t classe, const std::string& texto) {
  return ReadOne(
      tr, q,
      [&] {
        if (equipId != -1)
          q.ParamByName("ID").SetInteger(equipId);
        else
          q.ParamByName("ID").SetNull();
        q.ParamByName("DATA").SetDateTime(data);
        q.ParamByName("CLASSE").SetInteger(classe);
        q.ParamByName("TEXTO").SetString(texto);
      },
      [&] { return q.Eof() ? int64_t(0) : int64_t(q.FieldByName("N").AsInteger()); });
}

// Runs one insert of `q` in its own `tr`, committed; `bind` sets the
// parameters. Throws after rolling back; `commitCut` as InsertHistorico.
template <typename Bind>
void InsertOne(FbTransaction& tr, FbQuery& q, Bind bind, bool* commitCut) {
  bool committing = false;
  try {
    tr.StartTransaction();
    bind();
    q.ExecQuery();
    committing = true;
    tr.Commit();
  } catch (...) {
    if (commitCut) *commitCut = committing && CurrentErrorIsConnectionLost();
    RollbackQuietly(tr);
    throw;
  }
}

}  // namespace

int64_t TmodDatabase::CountAlarme(int32_t equipId, TDateTime data, int32_t classe,
                                  const std::string& texto) {
  return CountAlarmRows(LookupTrans, CountAlarmeRows, equipId, data, classe, texto);
}

int64_t TmodDatabase::CountAlarmeLog(int32_t equipId, TDateTime data, int32_t classe,
                                     const std::string& texto) {
  return CountAlarmRows(AlarmesTrans, CountAlarmeLogRows, equipId, data, classe, texto);
}

void TmodDatabase::InsertHistorico(int32_t canalId, TDateTime data, float valor, int32_t periodo,
                                   bool* commitCut) {
  FbQuery& q = AddHistorico;
  InsertOne(
      HistoricoTrans, q,
      [&] {
        q.ParamByName("DATA").SetDateTime(data);
        q.ParamByName("VALOR").SetFloat(valor);
        q.ParamByName("CANAL_ID").SetInteger(canalId);
        q.ParamByName("PERIODO").SetInteger(periodo);
      },
      commitCut);
}

void TmodDatabase::InsertAlarme(int32_t equipId, TDateTime data, const std::string& texto,
                                int32_t classe) {
  FbQuery& q = AddAlarme;
  InsertOne(
      AlarmesTrans, q,
      [&] {
        if (equipId != -1)
          q.ParamByName("EQUIP_ID").SetInteger(equipId);
        else
          q.ParamByName("EQUIP_ID").SetNull();
        q.ParamByName("DATA").SetDateTime(data);
        q.ParamByName("TEXTO").SetString(texto);
        q.ParamByName("CLASSE").SetInteger(classe);
      },
      nullptr);
}
