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
  // One visit of an equipment: reads it and records the outcome.
  void CycleEquipamento(KxEquipamento* equip);
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
  // connection reports its loss once).
  bool StoreHistorico(KxEquipamento* equip, KxCanal* canal, TDateTime date, float value);
  // True when a row of the channel at `stored` is already in HISTORICOS_H
  // (read in HistoricoTrans, which the caller has started).
  bool HistoricoExists(int32_t canalId, TDateTime stored);
  // True when the equipment's alarm of that date and class is already in
  // ALARMES (an insert cut by a lost connection may have reached the server).
  bool AlarmeExists(int32_t equipId, TDateTime date, int32_t classe);
  bool CollectAlarmes(KxEquipamento* equip);
  // Later than the clock by kFutureHours whole hours or more.
  bool IsFutureDate(TDateTime date);
  // A record date that is no date at all (NaN, infinite, outside the years
  // 1 to 9999) or not later than the from-date it answers (a read delivers
  // the next record after the from-date). Taking it would store garbage or a
  // duplicate and could move the from-date back, so that the history after
  // it would be read and stored again; it is handled as an invalid record.
  static bool IsUnusableDate(TDateTime date, TDateTime from);

  TFileLog* Log;
  KxBuildingData* BuildingData;
  KxCustomLog* AlarmLog;
  TmodFeriados* Feriados;
  std::string Descricao;
  TmodDatabase* database_;
  // Rows whose commit was cut by a lost connection, by channel id: the
  // server may or may not have stored them. When the record comes again it
  // is inserted only if it is not there yet, so an outage neither loses nor
  // duplicates it.
  std::map<int32_t, TDateTime> inDoubt_;
  std::unique_ptr<FbQuery> existsQuery_;
  // The same for alarms, by equipment id.
  std::map<int32_t, TDateTime> alarmInDoubt_;
  std::unique_ptr<FbQuery> alarmExistsQuery_;
};
