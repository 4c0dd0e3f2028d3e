// The configuration load thread: builds the service's work at start (main
// database module, alarm log, installation, holidays, worker threads) and
// tears it down in order when it is destroyed.
#pragma once

#include "database/FbConnection.h"
#include "platform/TThread.h"

class TFileLog;

class KxLoadThread : public TThread {
 public:
  // Starts running at once. `params` is the main connection's target.
  KxLoadThread(TFileLog* log, const FbConnectParams& params, KxClock& clock = KxClock::Real());
  explicit KxLoadThread(TFileLog* log);
  // The stop sequence. The owner calls Terminate() and WaitFor() first.
  ~KxLoadThread() override;

  // Raises the clock-update request of every loaded equipment (main thread).
  void MarkClocksForUpdate();

 protected:
  void Execute() override;

 private:
  TFileLog* Log;
  FbConnectParams params_;
};
