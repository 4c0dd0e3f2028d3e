// The Windows event log, where a service without a console says why it did
// not start: the event source is registered by --install and removed by
// --uninstall (the registry key <source> under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application, the
// executable's own message table telling the viewer how to show the text).
// Windows only: on POSIX, systemd's journal keeps what the service writes on
// standard error.
//
// Threads: any; nothing is kept between calls.
#pragma once

#include <string>

namespace platform::eventlog {

enum class Kind { Error, Warning, Information };

// Registers `source` with `exe` as its message file. False with `error` set
// when the registry refuses.
bool Register(const std::string& source, const std::string& exe, std::string& error);
// Removes `source`; true also when it was not registered.
bool Deregister(const std::string& source, std::string& error);
// Writes `text` (UTF-8) as one event of `source`. Best effort: a failure is
// not reported (there is nowhere left to report it).
void Report(const std::string& source, Kind kind, const std::string& text);

}  // namespace platform::eventlog
