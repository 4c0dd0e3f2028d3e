// The configuration load thread: builds the service's work at start (main
// database module, alarm log, installation, holidays, worker threads) and
// tears it down in order when it is destroyed.
#pragma once

#include <memory>
#include <mutex>

#include "database/FbConnection.h"
#include "platform/TThread.h"

class KxAlarmLog;
class KxAtualizacaoRelogioThread;
class KxBuildingData;
class KxCommThread;
class KxOnlineThread;
class TFileLog;
class TmodDatabase;
class TmodFeriados;

class KxLoadThread : public TThread {
 public:
  // Starts running at once. `params` is the main connection's target; the
  // online thread connects to the same database as the online user.
  KxLoadThread(TFileLog* log, const FbConnectParams& params, KxClock& clock = KxClock::Real());
  explicit KxLoadThread(TFileLog* log);
  // The stop sequence: stops the online, acquisition and clock threads (one
  // after the other), frees the installation, resets STATUS_EQUIPS, inserts
  // the stop alarm, frees the alarm log, the holidays and the main database
  // module (clearing modDatabase). Skips whatever was never created. The
  // owner calls Terminate() and WaitFor() first (done here again if not).
  ~KxLoadThread() override;

  // Raises the clock-update request of every loaded equipment. Called from
  // the main thread, also while the installation is being loaded: a request
  // made during the load is applied to every equipment once the load ends.
  void MarkClocksForUpdate();

  // Between two tries to open the main database module while the server
  // cannot be reached at start.
  static constexpr unsigned kRetryPause = 5000;

 protected:
  void Execute() override;

 private:
  // Creates the main database module, trying again every kRetryPause until
  // it opens; false when termination was requested first.
  bool OpenDatabase();

  TFileLog* Log;  // not owned
  std::unique_ptr<KxAlarmLog> AlarmLog;
  std::unique_ptr<KxBuildingData> BuildingData;
  std::unique_ptr<TmodFeriados> Feriados;
  std::unique_ptr<KxCommThread> CommThread;
  std::unique_ptr<KxAtualizacaoRelogioThread> RelogioThread;
  std::unique_ptr<KxOnlineThread> OnlineThread;

  FbConnectParams params_;
  std::unique_ptr<TmodDatabase> database_;  // published in modDatabase

  // Guards the installation as MarkClocksForUpdate sees it: `marcavel_` is
  // the installation once its load has ended (nullptr before and at stop);
  // `marcarAoCarregar_` records a request made while it was being loaded.
  std::mutex marcaLock_;
  KxBuildingData* marcavel_ = nullptr;
  bool carregando_ = false;
  bool marcarAoCarregar_ = false;
};
