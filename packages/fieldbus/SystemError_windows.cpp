#include "packages/fieldbus/SystemError.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>  // the WSAE codes
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "packages/common/PackageText.h"

namespace fb {

namespace {

// The C runtime's errno values lie below this; Windows codes at or above it
// (Winsock's start at 10000) are told apart by their number alone.
constexpr int kErrnoLimit = 200;

// A Winsock or serial-port code as the errno value the interface knows it
// by; 0 when there is none.
int AsErrno(DWORD code) {
  switch (code) {
    case WSAECONNREFUSED: return ECONNREFUSED;
    // A connect that was still in progress when libmodbus's wait for it ran
    // out leaves its "would block" behind.
    case WSAETIMEDOUT:
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
    case ERROR_SEM_TIMEOUT: return ETIMEDOUT;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
    case WSAENOTCONN:
    case WSAENETRESET: return ECONNRESET;
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN: return EHOSTUNREACH;
    case WSAENETUNREACH:
    case WSAENETDOWN: return ENETUNREACH;
    // A serial port that is not there (or was unplugged).
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED: return ENOENT;
    // A port another program holds.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_INVALID_PARAMETER: return EINVAL;
    default: return 0;
  }
}

}  // namespace

void ClearBusError() {
  errno = 0;
  ::SetLastError(0);  // WSAGetLastError reads the same per-thread slot
}

int LastBusError() {
  if (errno != 0) return errno;  // set by libmodbus itself
  const DWORD code = ::GetLastError();
  // Nothing left: libmodbus's wait for a TCP connection ran out (its select
  // did not find the socket writable in time; a refused connection looks
  // the same on Windows, which retries it), and closing the socket cleared
  // the connect's "would block".
  if (code == 0) return ETIMEDOUT;
  const int known = AsErrno(code);
  if (known != 0) return known;
  // Codes that would read as errno values have no number of their own here.
  return code < static_cast<DWORD>(kErrnoLimit) ? EIO : static_cast<int>(code);
}

std::string BusErrorText(int error) {
  if (error >= 0 && error < kErrnoLimit) return std::strerror(error);
  return SystemErrorText(error);
}

std::string SystemErrorText(int code) {
  wchar_t* buf = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::u16string text;
  if (n > 0 && buf != nullptr) text.assign(buf, buf + n);
  if (buf != nullptr) ::LocalFree(buf);
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n' || text.back() == u' ' ||
                           text.back() == u'.'))
    text.pop_back();
  if (text.empty()) return "erro do sistema " + std::to_string(code);
  return pkg::FromUtf16(text);
}

}  // namespace fb
