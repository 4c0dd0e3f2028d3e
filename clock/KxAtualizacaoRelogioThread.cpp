// Placeholder until the clock thread lands.
#include "clock/KxAtualizacaoRelogioThread.h"

#include "log/TFileLog.h"

KxAtualizacaoRelogioThread::KxAtualizacaoRelogioThread(KxBuildingData* buildingData,
                                                       TFileLog* log, KxCustomLog* alarmLog,
                                                       KxClock& clock)
    : TThread(clock), BuildingData(buildingData), Log(log), AlarmLog(alarmLog) {
  Start();
}

KxAtualizacaoRelogioThread::~KxAtualizacaoRelogioThread() = default;

void KxAtualizacaoRelogioThread::MarkClocksForUpdate() {}

void KxAtualizacaoRelogioThread::Execute() {
  Log->WriteLine("RTCThread: Iniciada!");
  while (!Terminated()) Sleep(1000);
  Log->WriteLine("RTCThread: Finalizada!");
}
