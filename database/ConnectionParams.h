// The fixed connection parameters of the service. The service uses these;
// library code takes a FbConnectParams so tests can point elsewhere.
#pragma once

#include "database/FbConnection.h"

// The main connection (modDatabase).
FbConnectParams MainConnectionParams();
// The online connections (modOnline and the online thread's module).
FbConnectParams OnlineConnectionParams();
