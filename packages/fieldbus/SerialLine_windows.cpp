// Win32 side of SerialLine: the port opened with CreateFileW under the name
// SerialPortPath gives (\\.\COMn), its format in a DCB, and every wait
// bounded by COMMTIMEOUTS set for that call: a read returns as soon as a
// byte has come, or empty when the time left ran out.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cerrno>
#include <string>
#include <utility>

#include "packages/common/PackageText.h"
#include "packages/fieldbus/SerialLine.h"
#include "packages/fieldbus/SerialPort.h"
#include "packages/fieldbus/SystemError.h"

namespace fb {

namespace {

HANDLE Handle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// Milliseconds left until `deadline`, rounded up; 0 when it has passed.
DWORD MsLeft(ByteLine::Clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - ByteLine::Clock::now()).count();
  if (left <= 0) return 0;
  return left >= static_cast<long long>(MAXDWORD - 1) ? MAXDWORD - 1 : static_cast<DWORD>(left);
}

// Reads return what has come at once, or wait up to `readMs` for the first
// byte; writes wait up to `writeMs` in all.
bool SetWaits(HANDLE h, DWORD readMs, DWORD writeMs) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  if (readMs > 0) {
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = readMs;
  }
  t.WriteTotalTimeoutConstant = writeMs;
  return ::SetCommTimeouts(h, &t) != 0;
}

bool Configure(HANDLE h, const SerialFormat& format) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(h, &dcb)) return false;
  dcb.BaudRate = static_cast<DWORD>(format.baud);
  dcb.ByteSize = static_cast<BYTE>(format.dataBits);
  dcb.Parity = format.parity == 'E' ? EVENPARITY : format.parity == 'O' ? ODDPARITY : NOPARITY;
  dcb.StopBits = format.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = format.parity != 'N' ? TRUE : FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;  // powers some level converters
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  // A character with a parity error reads as 0x00.
  dcb.fErrorChar = format.parity != 'N' ? TRUE : FALSE;
  dcb.ErrorChar = 0;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  if (!::SetCommState(h, &dcb)) return false;
  ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return SetWaits(h, 0, 0);
}

}  // namespace

void SerialLine::Close() {
  if (handle_ == -1) return;
  ::CloseHandle(Handle(handle_));
  handle_ = -1;
}

bool SerialLine::Open(int& err) {
  Close();
  const std::u16string name = pkg::ToUtf16(SerialPortPath(device_));
  const std::wstring path(name.begin(), name.end());
  ClearBusError();
  const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    err = LastBusError();
    return false;
  }
  ClearBusError();
  if (!Configure(h, format_)) {
    err = LastBusError();
    ::CloseHandle(h);
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool SerialLine::Send(const uint8_t* data, size_t size, Clock::time_point deadline, int& err) {
  const HANDLE h = Handle(handle_);
  size_t sent = 0;
  while (sent < size) {
    const DWORD left = MsLeft(deadline);
    if (left == 0) {
      err = ETIMEDOUT;
      return false;
    }
    ClearBusError();
    DWORD n = 0;
    if (!SetWaits(h, 0, left) ||
        !::WriteFile(h, data + sent, static_cast<DWORD>(size - sent), &n, nullptr)) {
      err = LastBusError();
      return false;
    }
    sent += n;
  }
  return true;
}

long SerialLine::Receive(uint8_t* buffer, size_t capacity, Clock::time_point deadline, int& err) {
  const HANDLE h = Handle(handle_);
  ClearBusError();
  DWORD n = 0;
  if (!SetWaits(h, MsLeft(deadline), 0) ||
      !::ReadFile(h, buffer, static_cast<DWORD>(capacity), &n, nullptr)) {
    err = LastBusError();
    return -1;
  }
  return static_cast<long>(n);
}

bool SerialLine::Discard(int& err) {
  ClearBusError();
  DWORD errors = 0;
  // ClearCommError fails on a port whose device was removed.
  if (!::PurgeComm(Handle(handle_), PURGE_RXCLEAR) ||
      !::ClearCommError(Handle(handle_), &errors, nullptr)) {
    err = LastBusError();
    return false;
  }
  return true;
}

}  // namespace fb
