// The configuration load thread: builds the service's work at start (main
// database module, alarm log, installation, holidays, worker threads) and
// tears it down in order when it is destroyed.
#pragma once

#include <chrono>
#include <memory>
#include <map>
#include <mutex>
#include <string>
#include <vector>

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
  // The stop sequence: asks the online, acquisition and clock threads to end,
  // all three first, then waits for them within kStopBound in all; frees the
  // installation, resets STATUS_EQUIPS, inserts the stop alarm, keeps the
  // service's events the database still refuses in the file beside the log
  // (KxAlarmLog::KeepHeldEvents), frees the alarm log, the holidays and the main database module (clearing
  // modDatabase). Skips whatever was never created. A worker that has not
  // ended within the bound (stuck in a package call) gets one log line and
  // is abandoned; then the installation, the alarm log, the holidays and the
  // database module are used for the status reset and the stop alarm but
  // never freed, since it may still use them. Everything after the workers
  // runs on a task of its own within kStopWritesBound (a frozen server
  // would hold it for ever); a task that has not ended by then gets one log
  // line and is abandoned with all it holds. The owner calls Terminate()
  // and WaitFor() first (done here again if not).
  ~KxLoadThread() override;

  // Raises the clock-update request of every loaded equipment. Called from
  // the main thread, also while the installation is being loaded: a request
  // made during the load is applied to every equipment once the load ends.
  void MarkClocksForUpdate();

  // Looked at by the service's main loop about every few seconds: true while
  // the load and every worker make progress (each one's Beats() moved
  // within kStallBound before `now`, and none has ended by itself, which
  // only an exception does) and the service can collect: false also once
  // nothing could be collected for longer than kBlockedBound (no
  // installation loaded because loading fails, or no holiday list ever
  // read), measured from the first call that saw it. `summary` gets one
  // line of the state a person wants to see: why nothing is collected,
  // equipment in failure, the end and length of the last pass, rows stored
  // since the start, channels that wait for their variable, and which
  // thread stands still. Main thread only.
  bool Health(std::chrono::steady_clock::time_point now, std::string& summary);
  static constexpr std::chrono::minutes kStallBound{5};
  static constexpr std::chrono::minutes kBlockedBound{10};

  // Between two tries to open the main database module while the server
  // cannot be reached at start.
  static constexpr unsigned kRetryPause = 5000;
  // Between two loads of the installation that failed (not for a lost
  // connection): kRetryPause first, doubled after each failure up to this.
  static constexpr unsigned kLoadRetryMaxPause = 5 * 60 * 1000;
  // Between two looks at a connection lost during the load.
  static constexpr unsigned kLostPause = 1000;
  // How long the stop waits for the three workers, all together (real time).
  static constexpr std::chrono::seconds kStopBound{20};
  // How long the stop waits, after the workers, for freeing them and the
  // installation and for its database writes (real time).
  static constexpr std::chrono::seconds kStopWritesBound{10};

  // Waits up to `left` for a thread that was asked to end. One still running
  // then gets its line in `log` and is abandoned (the caller must leak it and
  // all it may use); false in that case.
  static bool AwaitOrAbandon(TThread& thread, std::chrono::milliseconds left, TFileLog* log);

 protected:
  void Execute() override;

 private:
  // Creates the main database module, trying again every kRetryPause until
  // it opens; false when termination was requested first.
  bool OpenDatabase();
  // OpenDatabase, then publishes the module in modDatabase, with the lines
  // of its losses, and makes the alarm log on it. CloseMainModule ends them
  // (before anything else uses them: between two loads).
  bool OpenMainModule();
  void CloseMainModule();
  // Loads the installation into BuildingData, again until it loads or a
  // stop is requested: after a lost connection once it is back, after any
  // other failure after a pause that grows from kRetryPause to
  // kLoadRetryMaxPause, over a main module opened anew (database_ stays
  // empty when the stop came while it was being opened). One line when loads begin to fail, with the reason
  // (again when the reason changes), and one when a load works after them;
  // row 1 of STATUS_COMM holds the reason meanwhile, and Health sees it.
  void LoadUntilLoaded();
  enum class LoadResult { Loaded, ConnectionLost, Failed };
  // Resets STATUS_EQUIPS and loads the installation into BuildingData. When
  // the connection was lost at any moment of the load, writes one line;
  // for any other failure `reason` gets its message. Either way what was
  // loaded is freed (BuildingData stays empty).
  LoadResult LoadInstallation(std::string& reason);
  // A failed load: its line when the failures begin or their reason
  // changes, STATUS_COMM and what Health sees.
  void NoteLoadFailure(const std::string& reason, unsigned pause);
  // Waits while the main connection is lost; false on a stop request.
  bool WaitForDatabase();
  // Terminates the three workers, then waits for them (see the destructor);
  // those that ended are left to be freed. False when one had to be
  // abandoned (it is released).
  bool StopWorkers();
  struct StopRemains;

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

  // The workers as Health() sees them: published under healthLock_ once
  // the load has created them, withdrawn when the stop begins.
  std::mutex healthLock_;
  KxCommThread* healthComm_ = nullptr;
  std::vector<TThread*> healthWorkers_;
  int healthEquips_ = 0;
  int healthCanaisAguardando_ = 0;
  // Why the last load failed while no installation is loaded; empty else.
  std::string loadFailure_;
  // Health()'s own: since when nothing can be collected (epoch: it can).
  std::chrono::steady_clock::time_point blockedSince_{};
  // Health()'s own: the last count of beats seen per thread and since when.
  struct Beats {
    uint64_t count = 0;
    std::chrono::steady_clock::time_point since;
  };
  std::map<const TThread*, Beats> beats_;
};
