// The service object: owns the text log and the configuration load thread,
// answers the start, stop and install events of the service framework, and
// reacts to a manual change of the system clock.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "log/TFileLog.h"
#include "platform/ServiceHost.h"
#include "service/KxLoadThread.h"

class TTelvaneMain : public TService {
 public:
  // The log is "Telvane.log" in the folder of the running executable.
  // Throws when the log file can be neither opened nor created.
  TTelvaneMain();
  // Same, with the log at `logPath` (tests).
  explicit TTelvaneMain(const std::string& logPath);
  ~TTelvaneMain() override;

  void ServiceStart(bool& Started) override;
  void ServiceStop(bool& Stopped) override;
  void ServiceAfterInstall() override;
  void ServiceAfterUninstall() override;
  // The load thread's health (KxLoadThread::Health). The log gets one line
  // when the service stops making progress, one when it makes progress
  // again, and the summary once an hour (where no service manager shows
  // it, a person still finds it there).
  bool ServiceHealth(std::string& summary) override;
  static constexpr std::chrono::hours kSummaryLogInterval{1};
  // Faults of the serving loop go to the log too (a Windows service has no
  // standard error).
  void ServiceReport(const std::string& line) override;
  // Handled only for WM_TIMECHANGE: every loaded equipment is marked for a
  // clock update. Runs on the main thread.
  void TimeChangeDetectMessage(const KxMessage& Message, bool& Handled);

  std::unique_ptr<TFileLog> Log;
  // Terminates the load thread, waits for it (KxLoadThread::kStopBound at
  // most) and frees it, which stops the workers; a load thread that has not
  // ended by then is logged and abandoned.
  void StopLoadThread();
  std::unique_ptr<KxLoadThread> LoadThread;
  // Routes the main loop's messages to TimeChangeDetectMessage.
  TApplicationEvents TimeChangeDetect;

 private:
  bool healthy_ = true;
  std::chrono::steady_clock::time_point summaryLogged_{};
};

// The one service object, created by the program entry.
extern TTelvaneMain* TelvaneMain;
