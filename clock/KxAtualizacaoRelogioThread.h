// The periodic clock update thread: raises every equipment's clock-update
// request at 00:00 and 12:00 (the acquisition thread then sets the clocks).
#pragma once

#include "platform/TThread.h"

class KxBuildingData;
class KxCustomLog;
class TFileLog;

class KxAtualizacaoRelogioThread : public TThread {
 public:
  // Starts running at once.
  KxAtualizacaoRelogioThread(KxBuildingData* buildingData, TFileLog* log, KxCustomLog* alarmLog,
                             KxClock& clock = KxClock::Real());
  ~KxAtualizacaoRelogioThread() override;

  // Raises RelogioPendente of every equipment, by index.
  void MarkClocksForUpdate();

 protected:
  void Execute() override;

 private:
  KxBuildingData* BuildingData;
  TFileLog* Log;
  KxCustomLog* AlarmLog;
  bool done_ = false;
};
