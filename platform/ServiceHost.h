// The service framework: the service object's events, its registration with
// the system's service manager, and the application that serves it.
//
// The portable part is declared here; the system-specific part lives in
// ServiceHost_<system>.cpp (POSIX: systemd units, signals, timerfd;
// Windows: the service control manager, a console mode, WM_TIMECHANGE).
//
// How a run goes (POSIX):
//  - main() calls platform::BlockStopSignals() first, before any thread or
//    database attachment exists, so that SIGTERM, SIGINT and SIGHUP stay
//    pending for the service loop (the Firebird client library installs its
//    own handlers for them at its first attach and would otherwise take them).
//  - TServiceApplication::Initialize() reads the command line:
//    "--install", "--uninstall" or nothing (serve).
//  - Run() either writes/removes the systemd unit and calls
//    ServiceAfterInstall/ServiceAfterUninstall, or serves: ServiceStart, then a
//    loop on the main thread that takes the stop signals, the detection of a
//    manual clock change (delivered as a WM_TIMECHANGE message to the
//    service's application-events hook) and posted requests, then
//    ServiceStop. The process runs in the foreground; under systemd
//    (Type=notify) it reports READY=1 after a successful start, WATCHDOG=1
//    and STATUS= from ServiceHealth while it runs, and STOPPING=1 when a
//    stop begins.
//  - A stop signal means "stop": the whole stop sequence (ServiceStop) runs,
//    also when the system is shutting down.
//
// How a run goes (Windows):
//  - The command line: "--install", "--uninstall", "--console" or nothing
//    (serve; also with '-' or '/' instead of "--").
//  - Install registers the service with the service control manager (own
//    process, automatic start, the dependencies, the executable's full path,
//    started again 5 s after it dies) and calls ServiceAfterInstall;
//    Uninstall deletes it and calls ServiceAfterUninstall.
//  - Serve hands the main thread to the service control manager's
//    dispatcher (StartServiceCtrlDispatcherW), which runs the control
//    handler there. The service thread it starts makes the executable's
//    folder the current one (the manager starts services in the system
//    folder), reports START_PENDING, runs ServiceStart, reports RUNNING
//    (accepting stop and shutdown, never pause) and then runs the same loop
//    as on POSIX: posted requests, WM_TIMECHANGE from the clock-change watch
//    (a hidden top-level window on a thread of its own), and the stop that
//    the control handler requests for STOP and SHUTDOWN alike, or that a
//    health false for a minute makes (ServiceHealth). ServiceStop
//    runs on the service thread while STOP_PENDING is reported, then
//    STOPPED. Run() returns once the dispatcher does.
//  - "--console" runs the same start, loop and stop on the calling thread,
//    in the current folder; Ctrl-C, Ctrl-Break or closing the console stops
//    it. For trying the service without installing it.
//  - Every event handler and the application-events hook run on one thread
//    (the service thread, or the caller in console mode), never two at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

// A message of the application's main loop.
struct KxMessage {
  unsigned Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
};

// The system clock was changed. (<windows.h> has the same value as a macro.)
#ifndef WM_TIMECHANGE
constexpr unsigned WM_TIMECHANGE = 0x001E;
#endif

// Routes the messages of the application's main loop to a handler, which
// sets Handled to true for the messages it took.
struct TApplicationEvents {
  std::function<void(const KxMessage& Message, bool& Handled)> OnMessage;
};

namespace platform {

// Name of the local Firebird server's service, which the service needs
// ("firebird3.0.service" on POSIX, "FirebirdServerDefaultInstance" on
// Windows).
extern const char* const kFirebirdServerService;

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread; threads created
// afterwards inherit the mask. Call first thing in main(). Nothing to do on
// Windows.
void BlockStopSignals();

}  // namespace platform

// The base of a service object: properties and event handlers. The handlers
// run on one thread: the one that runs TServiceApplication::Run() (POSIX,
// Windows console mode) or the service thread (Windows service).
class TService {
 public:
  TService() = default;
  TService(const TService&) = delete;
  TService& operator=(const TService&) = delete;
  virtual ~TService() = default;

  // Service name (POSIX: the unit name without ".service").
  std::string Name;
  std::string DisplayName;
  // Services this one needs (started before it).
  std::vector<std::string> Dependencies;
  // Windows: the service runs as its virtual account NT SERVICE\<Name>
  // ($TELVANE_SERVICE_USER=LocalSystem at --install: the system's), and
  // --install lets it modify the writable paths below.
  // POSIX: the system account the installed service runs as (--install
  // creates it when missing; $TELVANE_SERVICE_USER at --install names
  // another, "root" runs it as root), and what that account must be able to
  // write: files and folders that --install creates and gives to it. The
  // unit makes only these and the instance lock's folder writable.
  std::string Account;
  std::vector<std::string> WritableFiles;
  std::vector<std::string> WritableFolders;
  // Messages of the main loop go here when set (not owned).
  TApplicationEvents* ApplicationEvents = nullptr;

  // `Started` false makes the run end without serving.
  virtual void ServiceStart(bool& Started) { Started = true; }
  virtual void ServiceStop(bool& Stopped) { Stopped = true; }
  virtual void ServiceAfterInstall() {}
  virtual void ServiceAfterUninstall() {}
  // Asked by the serving loop every TServiceApplication::kHealthInterval,
  // on the handlers' thread: true while the service makes progress;
  // `summary` gets one line of its state. POSIX: under systemd, WATCHDOG=1
  // is sent only while it is true (the unit sets WatchdogSec, so a service
  // that stands still is restarted) and the summary goes out as STATUS=.
  // Windows, under the manager: once it has stayed false for
  // KxServiceGiveUp::kBound, ServiceReport gets why (and the event log),
  // the stop sequence runs, and the service stops with the exit code
  // KxServiceGiveUp::kExitCode, which the recovery actions restart.
  // Raising counts as false.
  virtual bool ServiceHealth(std::string& summary) {
    summary.clear();
    return true;
  }
  // A line of the serving loop about a fault (a start or stop that raised,
  // the clock-change watch lost). Default: standard error, which a Windows
  // service does not have: a service with a log of its own writes it there.
  virtual void ServiceReport(const std::string& line) { std::cerr << line << std::endl; }
};

// How a run makes its service and ends it (TServiceApplication::Run).
struct TServiceRun {
  // What the run needs before its service can answer (an instance lock, a
  // log, a database attachment): called once, on the thread that runs the
  // service's handlers, before any of them. Returns the service (not owned;
  // it lives until Finish) or nullptr with `exitCode` and `reason` set: the
  // run then ends with that status, the reason on standard error (a Windows
  // service: in the event log, and the manager is told the code).
  std::function<TService*(int& exitCode, std::string& reason)> Prepare;
  // Ends what Prepare began once the service has stopped (the log's last
  // line): before a Windows service tells the manager it has stopped,
  // after which the process may be ended at any moment. May be empty.
  std::function<void()> Finish;
};

class TServiceApplication {
 public:
#ifdef _WIN32
  enum class Mode { Serve, Install, Uninstall, Help, Console };
#else
  enum class Mode { Serve, Install, Uninstall, Help };
#endif

  // How often the serving loop asks TService::ServiceHealth.
  static constexpr std::chrono::seconds kHealthInterval{5};

  TServiceApplication();
  TServiceApplication(const TServiceApplication&) = delete;
  TServiceApplication& operator=(const TServiceApplication&) = delete;
  ~TServiceApplication();

  // Reads the command line. False (with a message on stderr) for an
  // unknown argument; the program should then exit with status 2.
  bool Initialize(int argc, char** argv);
  Mode RunMode() const { return mode_; }

  // Does what the command line asked for. Returns the process exit status:
  // 0 after a normal stop or a successful install/uninstall, 1 when the start
  // failed, the stop raised, or the registration failed (message on stderr).
  int Run(TService& service);
  // The same, with the service made by `run.Prepare` and ended by
  // `run.Finish`. A Windows service connects to the manager first and
  // prepares while it reports the start as pending, so the manager never
  // waits on a database or a lock without news.
  int Run(const TServiceRun& run);

  // The three modes, usable directly (tests). Serve is the service control
  // manager's on Windows.
  int Serve(TService& service);
#ifdef _WIN32
  int Serve(const TServiceRun& run);
#endif
  int Install(TService& service);
  int Uninstall(TService& service);

  // Asks a running Serve() to stop, as a stop signal does. Any thread.
  void RequestStop();
  // Queues a message for the main loop of a running (or about to run)
  // Serve(), which hands it to the service's application-events hook. Any
  // thread.
  void PostMessage(const KxMessage& message);

#ifndef _WIN32
  // Where units are written: $TELVANE_UNIT_DIR when set (tests), otherwise
  // /etc/systemd/system.
  static std::string UnitDirectory();
#endif

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Mode mode_ = Mode::Serve;
};
