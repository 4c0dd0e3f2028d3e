// Program entry of the Telvane service.
#include <exception>
#include <iostream>

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
    rc = Application.Run(*TelvaneMain);
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    rc = 1;
  } catch (...) {
    std::cerr << "unexpected error" << std::endl;
    rc = 1;
  }
  delete TelvaneMain;
  TelvaneMain = nullptr;
  return rc;
}
