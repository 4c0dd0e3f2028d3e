#include "packages/fieldbus/SerialPort.h"

namespace fb {

std::string SerialPortPath(const std::string& device) { return device; }

}  // namespace fb
