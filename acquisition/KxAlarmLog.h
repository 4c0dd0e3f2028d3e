// The alarm log: every insert into ALARMES goes through here.
// Thread-safe: one lock around each whole insert (start, bind, execute,
// commit or rollback, failure line). No other lock is held while it is held,
// but for the text log's own when the failure line is written.
#pragma once

#include "acquisition/KxCustomLog.h"
#include "platform/TCriticalSection.h"

class TFileLog;
class TmodDatabase;

class KxAlarmLog : public KxCustomLog {
 public:
  // `database` defaults to the global modDatabase.
  explicit KxAlarmLog(TFileLog* log, TmodDatabase* database = nullptr);

  // Never throws for a database failure: writes
  // "AlarmLog: exceção ao inserir alarme [id]: message" and returns
  // ConnectionLost when the database could not be reached, Refused otherwise.
  KxAlarmeResult LogAlarme(int32_t classe, TDateTime data, const std::string& texto,
                 int32_t equipId) override;

 private:
  TCriticalSection lock_;
  TFileLog* Log;  // not owned
  TmodDatabase* database_;  // not owned
};
