// The online thread: serves the live-value requests of ONLINE_EQUIPS over a
// connection of its own, about once a second.
//
// Threads: only this thread uses its TmodOnline. It calls ReadOnline, on the
// runner of its KxPackageWatch, on equipment objects that the acquisition
// thread is using at the same time (the packages accept that); a call that
// never returns holds that equipment only. The equipment list is read
// without a lock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "database/ConnectionParams.h"
#include "platform/TThread.h"
#include "plugins/KxPackageWatch.h"

class KxBuildingData;
class KxEquipamento;
class TFileLog;
class TmodOnline;

class KxOnlineThread : public TThread {
 public:
  // Opens its own connection, then starts running. When the database cannot
  // be reached, the thread tries again before every pass (every kErrorPause),
  // with one log line for the wait and one when it is reached. A connection
  // lost later attaches again by itself (FbConnection), also with one line
  // each way; passes that fail meanwhile write nothing more.
  KxOnlineThread(KxBuildingData* buildingData, TFileLog* log,
                 const FbConnectParams& params = OnlineConnectionParams(),
                 KxClock& clock = KxClock::Real());
  ~KxOnlineThread() override;

  static constexpr unsigned kStartPause = 5000;
  static constexpr unsigned kEquipPause = 50;
  static constexpr unsigned kPassPause = 1000;
  // The wait after a pass that failed outside the per-equipment guard (a
  // lost connection fails every pass: not back to back).
  static constexpr unsigned kErrorPause = 5000;

 protected:
  void Execute() override;

 private:
  // Stores the pairs (names[i], values[i]) in one transaction. A names list
  // longer than the values list fails at the first missing value; surplus
  // values are ignored.
  void WriteOnlineValues(int32_t equipId, const std::vector<std::u16string>& names,
                         const std::vector<std::u16string>& values);

  // Creates the module and hooks its connection's loss and return to the log.
  void OpenModule();
  // Reads the equipment's live values through watch_ and stores them; a call
  // that does not return in time gets one line.
  void ReadAndWriteOnline(KxEquipamento* equip, std::vector<std::u16string>& names,
                          std::vector<std::u16string>& values);

  FbConnectParams params_;
  std::unique_ptr<TmodOnline> modOnline_;
  KxBuildingData* BuildingData;
  TFileLog* Log;
  // Every package call of this thread goes through it.
  KxPackageWatch watch_;
};
