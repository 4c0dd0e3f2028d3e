// The online thread: serves the live-value requests of ONLINE_EQUIPS over a
// connection of its own, about once a second.
#pragma once

#include <memory>

#include "database/ConnectionParams.h"
#include "platform/TThread.h"

class KxBuildingData;
class TFileLog;
class TmodOnline;

class KxOnlineThread : public TThread {
 public:
  // Opens its own connection (throws EDatabaseError when it cannot), then
  // starts running.
  KxOnlineThread(KxBuildingData* buildingData, TFileLog* log,
                 const FbConnectParams& params = OnlineConnectionParams(),
                 KxClock& clock = KxClock::Real());
  ~KxOnlineThread() override;

 protected:
  void Execute() override;

 private:
  std::unique_ptr<TmodOnline> modOnline_;
  KxBuildingData* BuildingData;
  TFileLog* Log;
};
