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

KxAlarmeResult KxAlarmLog::Insert(const Event& e, std::string& failure) {
  KxAlarmeResult result = KxAlarmeResult::Refused;
  try {
    if (!database_) throw std::runtime_error("no database module");
    FbTransaction& tr = database_->AlarmesTrans;
    FbQuery& q = database_->AddAlarme;
    tr.StartTransaction();
    if (e.equipId != -1)
      q.ParamByName("EQUIP_ID").SetInteger(e.equipId);
    else
      q.ParamByName("EQUIP_ID").SetNull();
    q.ParamByName("DATA").SetDateTime(e.data);
    q.ParamByName("TEXTO").SetString(e.texto);
    q.ParamByName("CLASSE").SetInteger(e.classe);
    q.ExecQuery();
    tr.Commit();
    return KxAlarmeResult::Stored;
  } catch (const EDatabaseError& err) {
    failure = err.what();
    switch (err.Fault()) {
      case EDatabaseFault::ConnectionLost: result = KxAlarmeResult::ConnectionLost; break;
      case EDatabaseFault::Refusal: result = KxAlarmeResult::DatabaseRefusal; break;
      case EDatabaseFault::Record: break;
    }
  } catch (const std::exception& err) {
    failure = err.what();
  } catch (...) {
    failure = "erro desconhecido";
  }
  try {
    if (database_ && database_->AlarmesTrans.InTransaction()) database_->AlarmesTrans.Rollback();
  } catch (...) {
  }
  return result;
}

void KxAlarmLog::InsertHeldEvents() {
  while (!held_.empty()) {
    std::string failure;
    const KxAlarmeResult r = Insert(held_.front(), failure);
    if (r == KxAlarmeResult::ConnectionLost || r == KxAlarmeResult::DatabaseRefusal) return;
    held_.pop_front();  // stored, or refused for the row itself
  }
}

KxAlarmeResult KxAlarmLog::LogAlarme(int32_t classe, TDateTime data, const std::string& texto,
                                     int32_t equipId, KxAlarmeRetry retry,
                                     std::string* failureOut) {
  // One insert at a time, from the start of its transaction to the failure
  // line: three threads share AddAlarme and AlarmesTrans.
  std::lock_guard<TCriticalSection> lock(lock_);
  InsertHeldEvents();
  const Event event{classe, data, texto, equipId};
  std::string failure;
  const KxAlarmeResult result = Insert(event, failure);
  if (result == KxAlarmeResult::Stored) return result;
  if (failureOut) *failureOut = failure;
  const bool notTheRow =
      result == KxAlarmeResult::ConnectionLost || result == KxAlarmeResult::DatabaseRefusal;
  const bool offeredAgain = notTheRow && retry == KxAlarmeRetry::Caller;
  if (notTheRow && retry == KxAlarmeRetry::Never && held_.size() < kHeldEvents)
    held_.push_back(event);
  try {
    if (Log && !offeredAgain)
      Log->WriteLine("AlarmLog: exceção ao inserir alarme [" + text::IntToStr(equipId) +
                     "]: " + failure);
  } catch (...) {
  }
  return result;
}
