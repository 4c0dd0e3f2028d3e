// The acquisition thread: visits every equipment pass after pass, sets
// pending clocks, stores new history and alarms, and records each visit's
// outcome in STATUS_EQUIPS, the activity message and communication alarms.
//
// Threads: everything below runs on the thread itself. It shares the
// equipment objects with the online thread (ReadOnline) and their
// RelogioPendente flag with the clock thread and the main thread; the
// installation is otherwise read-only once loaded.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/TThread.h"

class FbQuery;
class KxBuildingData;
class KxCustomLog;
class KxEquipamento;
class KxCanal;
class TFileLog;
class TmodDatabase;
class TmodFeriados;

class KxCommThread : public TThread {
 public:
  // Starts running at once. `database` defaults to the global modDatabase.
  KxCommThread(KxBuildingData* buildingData, TmodFeriados* feriados, TFileLog* log,
               KxCustomLog* alarmLog, KxClock& clock = KxClock::Real(),
               TmodDatabase* database = nullptr);
  ~KxCommThread() override;

  // Pauses of the cycle, in milliseconds of the thread's clock.
  static constexpr unsigned kStartPause = 5000;
  static constexpr unsigned kEquipPause = 5;
  static constexpr unsigned kErrorPause = 30000;
  // Between two looks at a lost main connection before the next visit.
  static constexpr unsigned kLostPause = 1000;
  // Between two passes over an installation without equipment (a pass then
  // does nothing but reload the holidays).
  static constexpr unsigned kEmptyPassPause = 1000;
  // Records dated this many whole hours or more ahead of the clock are refused.
  static constexpr int kFutureHours = 5;

 protected:
  void Execute() override;

 private:
  // Waits while the main connection is lost; false when termination was
  // requested meanwhile.
  bool WaitForDatabase();
  // Reloads the holidays at the start of a pass; a failed reload keeps the
  // last list read whole. False when the pass must not run yet: no list was
  // ever read and the connection is lost.
  bool ReloadFeriados();
  // One visit of an equipment: reads it and records the outcome.
  void CycleEquipamento(KxEquipamento* equip);
  // The communication alarm when the visit's outcome differs from the last
  // one. False when the alarm was kept out by a lost connection: the change
  // is then recorded by a later visit.
  bool RecordCommunicationChange(KxEquipamento* equip, bool ok);
  // True when the clock, every channel and the alarms were served.
  bool ReadEquipamento(KxEquipamento* equip);
  // Sets the equipment's clock when requested; false when that raised.
  bool SyncRelogio(KxEquipamento* equip);
  void LogVersao(KxEquipamento* equip);
  bool CollectHistoricos(KxEquipamento* equip);
  bool CollectHistoricoCanal(KxEquipamento* equip, KxCanal* canal);
  // Inserts one history row in a transaction of its own; reports and
  // swallows a failed insert. False only when the row could not be stored
  // because the database connection is lost (nothing is logged then: the
  // connection reports its loss once): the record is then kept pending.
  bool StoreHistorico(KxEquipamento* equip, KxCanal* canal, TDateTime date, float value);
  // Stores the channel's pending record, if any; false while the connection
  // is still lost (it stays pending). The equipment is not asked for a
  // record twice: a package need not deliver one again.
  bool StorePendingHistorico(KxEquipamento* equip, KxCanal* canal);
  // History rows whose commit was cut by a lost connection. The rows of one
  // channel that share a stored minute and a value are alike; they are told
  // apart by number.
  //  - NoteStored: after every committed row, the count of its kind in the
  //    channel's current minute;
  //  - NoteInDoubt: a commit was cut; remembers the record and how many rows
  //    of its kind this thread had committed before it;
  //  - WasStoredBeforeTheLoss: when a record comes again, true when it is
  //    the one in doubt and the database holds more rows of its kind than
  //    were committed before it (its commit got through). Reads in
  //    HistoricoTrans, which the caller has started.
  void NoteStored(int32_t canalId, TDateTime stored, float value);
  void NoteInDoubt(int32_t canalId, TDateTime date, TDateTime stored, float value);
  bool WasStoredBeforeTheLoss(int32_t canalId, TDateTime date, TDateTime stored, float value);
  int64_t HistoricoCount(int32_t canalId, TDateTime stored, float value);
  // True when the equipment's alarm of that date and class is already in
  // ALARMES (an insert cut by a lost connection may have reached the server).
  bool AlarmeExists(int32_t equipId, TDateTime date, int32_t classe);
  bool CollectAlarmes(KxEquipamento* equip);
  // An alarm of the equipment whose insert a lost connection kept out.
  struct AlarmePendente {
    TDateTime date;
    std::string texto;
    int32_t classe;
  };
  // Inserts the alarm through the alarm log; false when the connection is
  // lost, the alarm then kept pending.
  bool StoreAlarme(KxEquipamento* equip, const AlarmePendente& alarme);
  // Stores the equipment's pending alarm, if any, unless the cut insert had
  // reached the server; false while the connection is still lost.
  bool StorePendingAlarme(KxEquipamento* equip);
  // Later than the clock by kFutureHours whole hours or more.
  bool IsFutureDate(TDateTime date);
  // A record date that is no date at all (NaN, infinite, outside the years
  // 1 to 9999), or the from-date itself (to the millisecond): handled as an
  // invalid record. Taking the first would store garbage; taking the second
  // would ask for the same record for ever. A valid date before the
  // from-date is taken (a meter whose clock was set back stores such
  // records) and moves the from-date back: the meter delivers its records
  // in the order it stored them.
  static bool IsUnusableDate(TDateTime date, TDateTime from);

  TFileLog* Log;
  KxBuildingData* BuildingData;
  KxCustomLog* AlarmLog;
  TmodFeriados* Feriados;
  std::string Descricao;
  TmodDatabase* database_;
  bool feriadosLidos_ = false;  // a holiday list was read whole at least once
  // The visit in progress ended because the connection was lost while a
  // record or alarm was being stored.
  bool visitCutByLoss_ = false;
  // Rows whose commit was cut by a lost connection, by channel id: the
  // server may or may not have stored them. When the record comes again it
  // is inserted only if it is not there yet, so an outage neither loses nor
  // duplicates it.
  struct InDoubt {
    int64_t dateMs;      // the record's own date, as delivered
    uint32_t valueBits;  // its value
    int64_t sameBefore;  // rows of its kind committed before it
  };
  std::map<int32_t, InDoubt> inDoubt_;
  // Per channel, the rows committed in the stored minute of the last one,
  // counted by value.
  struct MinuteRows {
    int64_t minute = -1;
    std::map<uint32_t, int64_t> count;
  };
  std::map<int32_t, MinuteRows> minuteRows_;
  std::unique_ptr<FbQuery> existsQuery_;
  // Records and alarms kept out by a lost connection, by channel and by
  // equipment: stored before the next read of the same channel or alarms.
  struct HistoricoPendente {
    TDateTime date;
    float value;
  };
  std::map<int32_t, HistoricoPendente> historicoPendente_;
  std::map<int32_t, AlarmePendente> alarmePendente_;
  std::unique_ptr<FbQuery> alarmExistsQuery_;
};
