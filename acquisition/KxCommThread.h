// The acquisition thread: visits every equipment pass after pass, sets
// pending clocks, stores new history and alarms, and records each visit's
// outcome in STATUS_EQUIPS, the activity message and communication alarms.
//
// Threads: everything below runs on the thread itself; its package calls run
// on the runner of its KxPackageWatch, one at a time, so that a call that
// never returns fails its equipment and the pass goes on. It shares the
// equipment objects with the online thread (ReadOnline) and their
// RelogioPendente flag with the clock thread and the main thread; the
// installation is otherwise read-only once loaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "acquisition/KxComplaintRuns.h"
#include "acquisition/KxDeliveryLedger.h"
#include "platform/TThread.h"
#include "plugins/KxPackageWatch.h"

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
  // Between two tries to read the holidays while no list was ever read.
  static constexpr unsigned kFeriadosPause = 5000;
  // Records dated this many whole hours or more ahead of the clock are refused.
  static constexpr int kFutureHours = 5;
  // Invalid answers one read (a channel, the alarms) may take in one visit.
  static constexpr int64_t kMaxInvalidPerVisit = 1000;

  // What a supervisor shows of the acquisition. Any thread.
  struct Progress {
    int failing = 0;            // equipment whose last visit failed
    TDateTime lastPassEnd = 0;  // 0 until a first pass has ended
    int64_t lastPassMs = 0;     // its length, in the thread's clock
    int64_t stored = 0;         // history rows stored since the start
    // While no holiday list was ever read whole, no pass runs: why (the
    // database's message); empty once passes run.
    std::string feriadosEspera;
  };
  Progress GetProgress() const;

 protected:
  void Execute() override;

 private:
  // Waits while the main connection is lost; false when termination was
  // requested meanwhile.
  bool WaitForDatabase();
  // Reloads the holidays at the start of a pass; a failed reload keeps the
  // last list read whole. False when the pass must not run: no list was
  // ever read whole (records would be tagged as if no holiday existed).
  // One line when that wait begins, with the reason (unless the connection
  // is lost: its own line says so), one when the list is read.
  bool ReloadFeriados();
  // Publishes why no pass runs (empty: passes run); gives the former reason.
  std::string SetFeriadosEspera(const std::string& espera);
  // One visit of an equipment: reads it and records the outcome.
  void CycleEquipamento(KxEquipamento* equip);
  // The communication alarm when the visit's outcome differs from the last
  // one. False when the alarm was kept out by a lost connection or a
  // refusal of the database: the change is then recorded by a later visit.
  bool RecordCommunicationChange(KxEquipamento* equip, bool ok);
  // An earlier communication alarm of the equipment whose insert found the
  // connection lost (its commit may have been cut): looked up, and
  // Comunicando made to follow what the database holds. Its date, when it
  // is not there and the outcome still calls for it (`date` is then set to
  // it). False while the look-up cannot be made.
  bool SettleCommunicationAlarm(KxEquipamento* equip, bool ok, TDateTime& date);
  // True when the clock, every channel and the alarms were served.
  bool ReadEquipamento(KxEquipamento* equip);
  // Sets the equipment's clock when requested; false when that raised. A
  // refusal and a raise are complaints that repeat (runs_) until the clock
  // is set.
  bool SyncRelogio(KxEquipamento* equip);
  // False only when the call was left behind.
  bool LogVersao(KxEquipamento* equip);
  // A package call that did not return in time (KxPackageWatch): one line,
  // unless the stop cut the wait; false (the visit fails).
  bool LeftBehind(KxEquipamento* equip, const char* call);
  // Records why the visit failed (the first reason counts); false.
  bool FailVisit(const std::string& why);
  // The same for a read that gave the failure code `r`.
  bool ReadFailed(const char* call, int r);
  // One line when an equipment's visits begin to fail, with the reason,
  // and one when it answers again.
  void NoteOutcome(KxEquipamento* equip, bool ok);
  bool CollectHistoricos(KxEquipamento* equip);
  // Reads one channel to its end. False when it failed or when a record was
  // held (the visit then ends there: HoldVisit).
  bool CollectHistoricoCanal(KxEquipamento* equip, KxCanal* canal);
  bool CollectAlarmes(KxEquipamento* equip);
  // What became of a record or alarm handed to the database.
  enum class Stored {
    Stored,   // committed, or recognised as stored already
    Skipped,  // refused for the row itself: reported and given up
    Held,     // not stored for a reason of the database: held in ledger_
  };
  // One history row in a transaction of its own. A refusal of the row is
  // reported with its two lines; any other failure holds the record.
  Stored StoreHistorico(KxEquipamento* equip, KxCanal* canal, TDateTime date, float value);
  // Inserts an alarm through the alarm log, unless it is stored already.
  Stored StoreAlarme(KxEquipamento* equip, const KxDeliveryLedger::HeldAlarm& alarme);
  // The first step of a channel's or of the alarms' read: the ledger's
  // start, then the record or alarm held from an earlier visit. False while
  // it is still held (or the start could not read the database).
  bool OfferHeldHistorico(KxEquipamento* equip, KxCanal* canal);
  bool OfferHeldAlarme(KxEquipamento* equip);
  // Marks the visit as ended by the database, not by the equipment; false.
  bool HoldVisit();
  // Invalid answers: one line when a run of them begins for an equipment;
  // the run ends (one line with their count) at a valid record, or at a
  // visit that reads everything without one. NoteInvalid is false once a
  // read has had kMaxInvalidPerVisit of them in one visit: the read then
  // fails.
  bool NoteInvalid(KxEquipamento* equip, int64_t inVisit);
  // The complaints that repeat at every pass while their cause lasts: the
  // first of a run is written, the others counted (runs_), and EndRun
  // writes "CommThread [id]: fim dos/das <what> (count)" when one was open.
  enum Queixa : int {
    kRecordInvalido,
    kDadosFuturos,
    kAlarmesFuturos,
    kRelogioRecusado,
    kExcecaoRelogio,
    kExcecaoHistorico,
    kExcecaoAlarmes,
    kVisitaEmFalha,
  };
  void EndRun(int32_t equipId, Queixa cause);
  // What a visit that read everything ends: the runs of causes it did not
  // meet.
  void EndRunsOfACleanVisit(int32_t equipId);
  // Refusals by the database (not by the row): one line when they begin,
  // with the database's message, one when storing works again.
  void NoteRefusal(const std::string& message);
  void NoteAccepted();
  // Later than the clock by kFutureHours whole hours or more.
  bool IsFutureDate(TDateTime date);
  // A record whose value is no number (NaN or infinite) is an invalid
  // record too: never stored (SQL finds no NaN equal to another, and any
  // sum over the channel would be lost). Its date is good, so the from-date
  // moves past it.
  //
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
  // Every package call of this thread goes through it.
  KxPackageWatch watch_;
  bool feriadosLidos_ = false;  // a holiday list was read whole at least once
  // The visit in progress ended because a record or alarm was held.
  bool visitHeld_ = false;
  std::string visitFailure_;    // why the visit in progress failed
  // What the visit in progress met: an invalid answer, a future record, a
  // future alarm.
  bool visitInvalid_ = false;
  bool visitFutureRecord_ = false;
  bool visitFutureAlarm_ = false;
  // Progress as GetProgress() reads it (dates as milliseconds).
  std::atomic<int> failingCount_{0};
  std::atomic<int64_t> passEndMs_{0};
  std::atomic<int64_t> passLenMs_{0};
  std::atomic<int64_t> storedCount_{0};
  mutable std::mutex progressLock_;
  std::string feriadosEspera_;  // guarded by progressLock_
  KxDeliveryLedger ledger_;
  // Runs of complaints by equipment and Queixa; the runs of kVisitaEmFalha
  // are the equipment whose last visit failed.
  KxComplaintRuns runs_;
  // A communication alarm whose insert found the connection lost, by
  // equipment: its class and date.
  struct CommAlarm {
    int32_t classe;
    TDateTime date;
  };
  std::map<int32_t, CommAlarm> commInDoubt_;
  int64_t refusals_ = 0;                   // refused stores since the last that worked
};
