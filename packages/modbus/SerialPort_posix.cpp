#include "packages/modbus/SerialPort.h"

namespace mb {

std::string SerialPortPath(const std::string& device) { return device; }

}  // namespace mb
