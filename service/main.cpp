// Program entry of the Telvane service.
#include <exception>
#include <iostream>
#include <string>

#include "online/TmodOnline.h"
#include "platform/ServiceHost.h"
#include "service/TTelvaneMain.h"

int main(int argc, char** argv) {
  // Before any thread or database attachment exists: the stop signals must
  // reach the service loop, not the database client library.
  platform::BlockStopSignals();

  TServiceApplication Application;
  if (!Application.Initialize(argc, argv)) return 2;
  if (Application.RunMode() == TServiceApplication::Mode::Help) return 0;

  int rc = 1;
  try {
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
    rc = Application.Run(*TelvaneMain);
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    rc = 1;
  } catch (...) {
    std::cerr << "unexpected error" << std::endl;
    rc = 1;
  }
  // Process end: the data module first, then the service object, whose log
  // writes the stop banner as the last line of the run.
  delete modOnline;
  modOnline = nullptr;
  delete TelvaneMain;
  TelvaneMain = nullptr;
  return rc;
}
