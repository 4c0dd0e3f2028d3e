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
// A refusal by the database rather than the row (EDatabaseFault::Refusal)
// is answered DatabaseRefusal and goes as a lost connection does: a
// Caller alarm gets no line (its caller reports the refusal once).
// The service's own events (KxAlarmeRetry::Never) that find the connection
// lost or the database refusing are not lost at once: up to kHeldEvents of
// them are kept, with their failure line, and inserted again, in order,
// before the next alarm handed to LogAlarme; a stop loses those still kept.
#pragma once

#include "acquisition/KxCustomLog.h"
#include <deque>
#include <string>

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
                           int32_t equipId, KxAlarmeRetry retry = KxAlarmeRetry::Never,
                           std::string* failure = nullptr) override;

  static constexpr size_t kHeldEvents = 64;

 private:
  struct Event {
    int32_t classe;
    TDateTime data;
    std::string texto;
    int32_t equipId;
  };
  // One insert; the lock is held. `failure` gets the message of a failure.
  KxAlarmeResult Insert(const Event& e, std::string& failure);
  // Inserts the kept events, oldest first, until one fails again.
  void InsertHeldEvents();
  std::deque<Event> held_;
  TCriticalSection lock_;
  TFileLog* Log;  // not owned
  TmodDatabase* database_;  // not owned
};
