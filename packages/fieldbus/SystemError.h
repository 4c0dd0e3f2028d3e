// The system's error numbers as the bus packages read and show them.
//
// libmodbus reports its own failures (timeouts, bad frames, Modbus
// exceptions) in errno on every system, but on Windows it leaves the
// failures of Winsock and of the serial port in WSAGetLastError() /
// GetLastError() and errno untouched. ModbusInterface therefore clears the
// error before a libmodbus call (ClearBusError) and reads it after a
// failed one (LastBusError): the number it gets is an errno value wherever
// the failure has one (ETIMEDOUT, ECONNREFUSED, ECONNRESET, EHOSTUNREACH,
// ENETUNREACH, ENOENT, EACCES: what the interface tells apart), otherwise
// the system's own code (Windows: the WSA or GetLastError code). Those
// numbers are the "erro N" of the log lines and alarms.
//
// System calls live in SystemError_posix.cpp / SystemError_windows.cpp.
// Threads: every function works on the calling thread's error state only.
#pragma once

#include <cerrno>
#include <string>

namespace fb {

// Forgets the calling thread's last error, before a call into a bus
// library (libmodbus) or a system call whose failure LastBusError reads.
void ClearBusError();

// The error of the call (libmodbus's, or the system's) that just failed on this thread (see
// above); never 0. When the system left none: POSIX EIO; Windows ETIMEDOUT
// (a TCP connection not made within the timeout, the only such failure).
int LastBusError();

// Text of a number from LastBusError (not of libmodbus's own codes),
// in the system's words, UTF-8.
std::string BusErrorText(int error);

// Text of a system error code (POSIX: errno; Windows: GetLastError), in the
// system's words, UTF-8, without a final full stop or line end.
std::string SystemErrorText(int code);

// Text of a number from LastBusError or a line's error (TcpStream,
// SerialLine) for log lines: Portuguese words for the failures installers
// meet most (refused, timed out, reset, unreachable, no such device, not
// allowed), otherwise "erro N (the system's text)".
inline std::string LineErrorText(int err) {
  switch (err) {
    case ECONNREFUSED: return "conexão recusada";
    case ETIMEDOUT: return "tempo esgotado";
    case ECONNRESET:
    case EPIPE: return "conexão encerrada pelo outro lado";
    case EHOSTUNREACH:
    case ENETUNREACH: return "destino inalcançável";
    case ENOENT: return "dispositivo inexistente";
    case EACCES: return "sem permissão";
    default: return "erro " + std::to_string(err) + " (" + BusErrorText(err) + ")";
  }
}

}  // namespace fb
