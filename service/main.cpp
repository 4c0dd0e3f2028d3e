// Program entry of the Telvane service.
#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>
#include <iostream>
#include <string>

#include "database/ConnectionParams.h"
#include "online/TmodOnline.h"
#include "platform/InstanceLock.h"
#include "platform/ServiceHost.h"
#include "platform/TThread.h"
#include "service/KxBoundedTask.h"
#include "service/TTelvaneMain.h"

namespace {

// Exit status of a second instance: it did nothing, not even open its log.
constexpr int kAlreadyRunning = 3;
// How long the process end waits for the online data module to close.
constexpr std::chrono::seconds kCloseBound{5};

// Closing the data module's connection waits for the server: when the stop
// already left a thread behind (a frozen server), or the server does not
// answer now, the module is left as it is. Then the service object, whose
// log writes the stop banner; when a thread was left behind, only its log is
// closed (the thread may still reach the object). Once only.
void EndRun() {
  if (modOnline && TThread::AbandonedCount() == 0) {
    TmodOnline* module = modOnline;
    if (KxBoundedTask::Run("modOnline", [module] { delete module; }, kCloseBound, nullptr))
      modOnline = nullptr;
  }
  if (TelvaneMain == nullptr) return;
  if (TThread::AbandonedCount() > 0) {
    TelvaneMain->Log->Close();
    return;
  }
  delete TelvaneMain;
  TelvaneMain = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread or database attachment exists: the stop signals must
  // reach the service loop, not the database client library.
  platform::BlockStopSignals();

  TServiceApplication Application;
  if (!Application.Initialize(argc, argv)) return 2;
  if (Application.RunMode() == TServiceApplication::Mode::Help) return 0;

  // Everything before the service answers is done in Prepare, which a
  // Windows service runs once it is connected to its manager.
  std::unique_ptr<KxInstanceLock> instance;
  TServiceRun run;
  run.Prepare = [&instance](int& exitCode, std::string& reason) -> TService* {
    // One service per database, whichever folder it runs from: a second one
    // would store every record and alarm twice. Taken before the log is
    // opened, so that a second instance writes nothing anywhere.
    try {
      instance = std::make_unique<KxInstanceLock>(MainConnectionParams().Database);
    } catch (const EInstanceRunning& e) {
      reason = std::string("telvane: ") + e.what();
      exitCode = kAlreadyRunning;
      return nullptr;
    } catch (const std::exception& e) {
      reason = std::string("telvane: ") + e.what();
      exitCode = 1;
      return nullptr;
    }
    TelvaneMain = new TTelvaneMain();
    // Opens its own connection to the database in every run (install and
    // uninstall included). Nothing uses it: a database that cannot be
    // reached now is reported and the service runs all the same (its load
    // thread waits for the server).
    try {
      modOnline = new TmodOnline();
    } catch (const std::exception& e) {
      std::cerr << e.what() << std::endl;
      TelvaneMain->Log->WriteLine(std::string("Banco de dados indisponível ao iniciar: ") +
                                  e.what());
    }
    return TelvaneMain;
  };
  // The end of the run: the data module first, then the service object,
  // whose log writes the stop banner as the last line of the run.
  run.Finish = [] { EndRun(); };

  int rc = 1;
  try {
    rc = Application.Run(run);
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    rc = 1;
  } catch (...) {
    std::cerr << "unexpected error" << std::endl;
    rc = 1;
  }
  EndRun();  // when the run ended before its Finish (a refusal, an exception)
  if (TThread::AbandonedCount() > 0) {
    // A thread stuck in a package call still runs and may wake up: nothing
    // it could touch may be freed. Leave without static destructors.
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(rc);
  }
  return rc;
}
