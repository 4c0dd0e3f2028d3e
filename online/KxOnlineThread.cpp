// Placeholder until the online thread lands.
#include "online/KxOnlineThread.h"

#include "log/TFileLog.h"
#include "online/TmodOnline.h"

KxOnlineThread::KxOnlineThread(KxBuildingData* buildingData, TFileLog* log,
                               const FbConnectParams& params, KxClock& clock)
    : TThread(clock),
      modOnline_(std::make_unique<TmodOnline>(params)),
      BuildingData(buildingData),
      Log(log) {
  Start();
}

KxOnlineThread::~KxOnlineThread() = default;

void KxOnlineThread::Execute() {
  Log->WriteLine("OnlineThread: iniciada!");
  while (!Terminated()) Sleep(1000);
  Log->WriteLine("OnlineThread: finalizada!");
}
