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
// before the next alarm handed to LogAlarme. One whose insert found the
// connection lost may have been committed (its commit cut): it is looked up
// (equipment, date, class, text) before it is inserted again. Those still kept when
// the stop ends (KeepHeldEvents) go to a small file beside the log, which
// the next start's alarm log reads back: they are inserted, looked up the
// same way, before its first alarm, and the file is then emptied. The file
// is written in place (never created beside it and renamed), so that the
// installed service needs the right to write that file only.
#pragma once

#include "acquisition/KxCustomLog.h"
#include <deque>
#include <string>

#include "platform/TCriticalSection.h"

class TFileLog;
class TmodDatabase;

class KxAlarmLog : public KxCustomLog {
 public:
  // `database` defaults to the global modDatabase. `heldPath`: the file of
  // the events held at the last stop (HeldEventsPath); read here, and kept
  // as it is until they are inserted. Empty: no file, a stop loses them.
  explicit KxAlarmLog(TFileLog* log, TmodDatabase* database = nullptr,
                      std::string heldPath = {});

  // Never throws for a database failure: returns ConnectionLost when the
  // database could not be reached, Refused otherwise, with the failure line
  // as said above.
  KxAlarmeResult LogAlarme(int32_t classe, TDateTime data, const std::string& texto,
                           int32_t equipId, KxAlarmeRetry retry = KxAlarmeRetry::Never,
                           std::string* failure = nullptr) override;

  // The end of the stop, after its last alarm: the events still held are
  // written to the file (emptied when none are and it held some). One line
  // in the log when the file cannot be written: they are lost then. Any
  // thread; never throws.
  void KeepHeldEvents();

  // The file beside the log at `logPath` where held events are kept: the
  // log's name with the extension ".eventos" ("Telvane.eventos").
  static std::string HeldEventsPath(const std::string& logPath);

  static constexpr size_t kHeldEvents = 64;

 private:
  struct Event {
    int32_t classe;
    TDateTime data;
    std::string texto;
    int32_t equipId;
    // Its insert found the connection lost, or it was read back from the
    // file: looked up before it is inserted again.
    bool inDoubt = false;
  };
  // One insert; the lock is held. `failure` gets the message of a failure.
  KxAlarmeResult Insert(const Event& e, std::string& failure);
  // Inserts the kept events, oldest first, until one fails again; empties
  // the file once none is left.
  void InsertHeldEvents();
  // KeepHeldEvents with the lock held.
  void KeepHeldEventsLocked();
  // True when the event is in ALARMES already (looked up when in doubt);
  // throws EDatabaseError when the look-up fails.
  bool AlreadyStored(const Event& e);
  std::deque<Event> held_;
  std::string heldPath_;
  bool fileHolds_ = false;  // the file holds events not inserted yet
  TCriticalSection lock_;
  TFileLog* Log;  // not owned
  TmodDatabase* database_;  // not owned
};
