#include "database/ConnectionParams.h"

FbConnectParams MainConnectionParams() {
  return FbConnectParams{"127.0.0.1:RATEIO_DB", "TELVUSR", "zqvmxt", "ISO8859_1"};
}

FbConnectParams OnlineConnectionParams() {
  return FbConnectParams{"127.0.0.1:RATEIO_DB", "telvusr", "zqvmxt", "ISO8859_1"};
}
