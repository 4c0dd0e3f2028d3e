// The periodic clock update thread: raises every equipment's clock-update
// request at 00:00 and 12:00 (the acquisition thread then sets the clocks).
//
// Threads: Execute runs on the thread itself; MarkClocksForUpdate only writes
// the equipment's atomic RelogioPendente flags and may be called from any
// thread. The equipment list is read without a lock (it does not change after
// loading).
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

  // The pause between two checks: kPauseSteps sleeps of kPauseStep ms, with a
  // look at the termination request after each.
  static constexpr int kPauseSteps = 60;
  static constexpr unsigned kPauseStep = 1000;
  // The wait after a pass that ended in an error.
  static constexpr unsigned kErrorPause = 1000;

 protected:
  void Execute() override;

 private:
  KxBuildingData* BuildingData;
  TFileLog* Log;
  KxCustomLog* AlarmLog;
  bool done_ = false;  // an update was triggered in the current trigger minute
};
