// Placeholder until the loader lands: logs its first line only.
#include "service/KxLoadThread.h"

#include "database/ConnectionParams.h"
#include "log/TFileLog.h"

KxLoadThread::KxLoadThread(TFileLog* log, const FbConnectParams& params, KxClock& clock)
    : TThread(clock), Log(log), params_(params) {
  Start();
}

KxLoadThread::KxLoadThread(TFileLog* log) : KxLoadThread(log, MainConnectionParams()) {}

KxLoadThread::~KxLoadThread() {
  Terminate();
  WaitFor();
}

void KxLoadThread::MarkClocksForUpdate() {}

void KxLoadThread::Execute() { Log->WriteLine("Carregando dados do banco..."); }
