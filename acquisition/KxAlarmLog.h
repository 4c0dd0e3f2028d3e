// The alarm log: every insert into ALARMES goes through here.
// Thread-safe: one lock around each whole insert (start, bind, execute,
// commit or rollback, failure line). No other lock is held while it is held,
// but for the text log's own when the failure line is written.
//
// The failure line "AlarmLog: exceção ao inserir alarme [id]: message" is
// written once for every alarm that is lost, and only then:
//  - an insert refused for the row itself is lost: the line;
//  - an insert that finds the connection to the database lost is lost as
//    well when nobody will offer the alarm again (the service's own events:
//    start, stop, clock update): the line, with the connection's message;
//  - but when its caller offers it again once the connection is back
//    (KxAlarmeRetry::Caller: the acquisition thread, for the alarms an
//    equipment delivers and for its communication events), nothing is lost
//    yet: no line; the connection's own line has reported the loss.
#pragma once

#include "acquisition/KxCustomLog.h"
#include "platform/TCriticalSection.h"

class TFileLog;
class TmodDatabase;

class KxAlarmLog : public KxCustomLog {
 public:
  // `database` defaults to the global modDatabase.
  explicit KxAlarmLog(TFileLog* log, TmodDatabase* database = nullptr);

  // Never throws for a database failure: returns ConnectionLost when the
  // database could not be reached, Refused otherwise, with the failure line
  // as said above.
  KxAlarmeResult LogAlarme(int32_t classe, TDateTime data, const std::string& texto,
                           int32_t equipId, KxAlarmeRetry retry = KxAlarmeRetry::Never) override;

 private:
  TCriticalSection lock_;
  TFileLog* Log;  // not owned
  TmodDatabase* database_;  // not owned
};
