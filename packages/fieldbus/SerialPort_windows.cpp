#include "packages/fieldbus/SerialPort.h"

#include <cctype>

namespace fb {

std::string SerialPortPath(const std::string& device) {
  // "COM" and a port number: the device namespace's name works for every
  // port (COM1 to COM9 also without it, COM10 and above only with it).
  if (device.size() < 4 || device.size() > 6) return device;
  for (size_t i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(device[i])) != "COM"[i]) return device;
  if (device[3] == '0') return device;
  for (size_t i = 3; i < device.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(device[i]))) return device;
  return "\\\\.\\" + device;
}

}  // namespace fb
