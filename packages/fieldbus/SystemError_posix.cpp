#include "packages/fieldbus/SystemError.h"

#include <cerrno>
#include <cstring>

namespace fb {

void ClearBusError() { errno = 0; }

int LastBusError() { return errno != 0 ? errno : EIO; }

std::string BusErrorText(int error) { return SystemErrorText(error); }

std::string SystemErrorText(int code) {
  char buf[256];
  return strerror_r(code, buf, sizeof buf);  // GNU: returns the text
}

}  // namespace fb
