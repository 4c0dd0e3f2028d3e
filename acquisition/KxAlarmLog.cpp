#include "acquisition/KxAlarmLog.h"

#include <exception>
#include <mutex>
#include <stdexcept>

#include "database/EDatabaseError.h"
#include "database/TmodDatabase.h"
#include "log/TFileLog.h"
#include "platform/Text.h"

KxAlarmLog::KxAlarmLog(TFileLog* log, TmodDatabase* database)
    : Log(log), database_(database ? database : modDatabase) {}

KxAlarmeResult KxAlarmLog::LogAlarme(int32_t classe, TDateTime data, const std::string& texto,
                                     int32_t equipId, KxAlarmeRetry retry) {
  // One insert at a time, from the start of its transaction to the failure
  // line: three threads share AddAlarme and AlarmesTrans.
  std::lock_guard<TCriticalSection> lock(lock_);
  std::string failure;
  KxAlarmeResult result = KxAlarmeResult::Refused;
  try {
    if (!database_) throw std::runtime_error("no database module");
    FbTransaction& tr = database_->AlarmesTrans;
    FbQuery& q = database_->AddAlarme;
    tr.StartTransaction();
    if (equipId != -1)
      q.ParamByName("EQUIP_ID").SetInteger(equipId);
    else
      q.ParamByName("EQUIP_ID").SetNull();
    q.ParamByName("DATA").SetDateTime(data);
    q.ParamByName("TEXTO").SetString(texto);
    q.ParamByName("CLASSE").SetInteger(classe);
    q.ExecQuery();
    tr.Commit();
    return KxAlarmeResult::Stored;
  } catch (const EDatabaseError& e) {
    failure = e.what();
    if (e.ConnectionLost()) result = KxAlarmeResult::ConnectionLost;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "erro desconhecido";
  }
  const bool offeredAgain =
      result == KxAlarmeResult::ConnectionLost && retry == KxAlarmeRetry::Caller;
  try {
    if (Log && !offeredAgain)
      Log->WriteLine("AlarmLog: exceção ao inserir alarme [" + text::IntToStr(equipId) +
                     "]: " + failure);
  } catch (...) {
  }
  try {
    if (database_ && database_->AlarmesTrans.InTransaction()) database_->AlarmesTrans.Rollback();
  } catch (...) {
  }
  return result;
}
