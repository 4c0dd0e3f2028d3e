// When a service run by the system's service manager gives up because it
// cannot do its work: its health (TService::ServiceHealth) has stayed false
// for kBound. Under systemd the unit's watchdog (WatchdogSec, the same 60 s)
// restarts such a service; on Windows the service host ends it with
// kExitCode, an exit with an error that the recovery actions set at
// --install restart. Portable: the Windows service host drives it with the
// times of its health checks; a console run never gives up (a person
// watches it).
//
// Threads: one caller (the serving loop).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class KxServiceGiveUp {
 public:
  // How long the health may stay false.
  static constexpr std::chrono::seconds kBound{60};
  // The service-specific exit code the manager shows for a service that
  // gave up (3 is a second instance, main.cpp).
  static constexpr uint32_t kExitCode = 4;

  // One answer of the health, asked at `now` (steady time, never going
  // back). True once every answer since the first false one of the current
  // run of false answers has been false for longer than kBound; a true
  // answer starts over.
  bool Note(bool healthy, std::chrono::steady_clock::time_point now);

  // The line that says why the service ends, with the health's last
  // `summary`.
  static std::string Reason(const std::string& summary);

 private:
  bool unhealthy_ = false;
  std::chrono::steady_clock::time_point since_{};
};
