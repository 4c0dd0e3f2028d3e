// The local Firebird server (fbguard and the server process it watches),
// killed, frozen and started again for real.
//
// Only the processes of this PID namespace are touched (under
// ../shared/tools/fbns the namespace's own server; on a CI machine the
// machine's). Whoever kills or freezes it must see that it runs again: the
// destructor starts or thaws it if Start() or Thaw() was not reached, and
// Kill() leaves a detached shell that starts it after a minute should this
// process die in between.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "database/FbConnection.h"

class FirebirdServer {
 public:
  FirebirdServer() = default;
  FirebirdServer(const FirebirdServer&) = delete;
  FirebirdServer& operator=(const FirebirdServer&) = delete;
  ~FirebirdServer();

  // SIGKILL to fbguard first (it would restart the server), then to the
  // server; returns once the port refuses connections.
  void Kill();
  // Starts fbguard as scripts/firebird-setup does; true once the port
  // answers and a fresh attach with `probe` works (30 s at most).
  bool Start(const FbConnectParams* probe = nullptr);
  // SIGSTOP to the server: connections stay open and nothing answers, as
  // with a server that hangs. A thaw is sent after `safetySeconds` by a
  // detached shell, should this process die frozen out.
  void Freeze(int safetySeconds = 300);
  void Thaw();

  static bool PortAnswers();

 private:
  static std::string StartCommand();
  // The processes of this PID namespace running `exe`.
  static std::vector<pid_t> Pids(const std::string& exe);

  bool down_ = false;
  bool frozen_ = false;
};
