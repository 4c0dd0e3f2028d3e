// Placeholder until the acquisition cycle lands.
#include "acquisition/KxCommThread.h"

#include "database/TmodDatabase.h"
#include "log/TFileLog.h"

KxCommThread::KxCommThread(KxBuildingData* buildingData, TmodFeriados* feriados, TFileLog* log,
                           KxCustomLog* alarmLog, KxClock& clock, TmodDatabase* database)
    : TThread(clock),
      Log(log),
      BuildingData(buildingData),
      AlarmLog(alarmLog),
      Feriados(feriados),
      database_(database ? database : modDatabase) {
  Start();
}

KxCommThread::~KxCommThread() = default;

void KxCommThread::Execute() {
  Log->WriteLine("Thread comunicação iniciada!");
  while (!Terminated()) Sleep(1000);
  Log->WriteLine("Thread comunicação finalizada!");
}
