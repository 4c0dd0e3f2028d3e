// The acquisition thread: visits every equipment pass after pass, sets
// pending clocks, stores new history and alarms, and records each visit's
// outcome in STATUS_EQUIPS, the activity message and communication alarms.
#pragma once

#include <string>

#include "platform/TThread.h"

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

 protected:
  void Execute() override;

 private:
  TFileLog* Log;
  KxBuildingData* BuildingData;
  KxCustomLog* AlarmLog;
  TmodFeriados* Feriados;
  std::string Descricao;
  TmodDatabase* database_;
};
