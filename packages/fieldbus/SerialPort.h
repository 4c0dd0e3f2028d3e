// The serial device of a bus (Modbus RTU through libmodbus, ...) as it must
// be opened on this system. CONFIGS name it as installers know it (`device=/dev/ttyUSB0`,
// `device=COM3`); libmodbus opens the name as it is (POSIX open(), Windows
// CreateFileA), and Windows opens COM10 and above only as `\\.\COM10`.
//
// Called by ModbusInterface when it makes its libmodbus context. System
// rules live in SerialPort_posix.cpp / SerialPort_windows.cpp.
#pragma once

#include <string>

namespace fb {

// POSIX: `device` itself. Windows: `COMn` (any case) becomes `\\.\COMn`;
// anything else, `\\.\COM10` included, is kept as written.
std::string SerialPortPath(const std::string& device);

}  // namespace fb
