#include "packages/modbus/SystemError.h"

#include <cerrno>
#include <cstring>

namespace mb {

void ClearModbusError() { errno = 0; }

int LastModbusError() { return errno != 0 ? errno : EIO; }

std::string ModbusErrorText(int error) { return SystemErrorText(error); }

std::string SystemErrorText(int code) {
  char buf[256];
  return strerror_r(code, buf, sizeof buf);  // GNU: returns the text
}

}  // namespace mb
