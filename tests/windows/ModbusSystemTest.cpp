// The Modbus packages' Windows side that the journal tests do not reach: the
// serial port names libmodbus is given, and the error numbers and texts of
// what libmodbus leaves in GetLastError (Winsock, the serial port).
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "packages/modbus/SerialPort.h"
#include "packages/modbus/SystemError.h"

namespace {

TEST(ModbusWindows, SerialPortNamesReachLibmodbusInTheFormWindowsOpens) {
  EXPECT_EQ(mb::SerialPortPath("COM3"), "\\\\.\\COM3");
  EXPECT_EQ(mb::SerialPortPath("COM10"), "\\\\.\\COM10");
  EXPECT_EQ(mb::SerialPortPath("com256"), "\\\\.\\com256");
  EXPECT_EQ(mb::SerialPortPath("\\\\.\\COM10"), "\\\\.\\COM10");
  // Not a port number: left to Windows as written.
  for (const char* other : {"COM", "COM0", "COM1:", "COMX", "LPT1", "\\\\.\\CNCA0"})
    EXPECT_EQ(mb::SerialPortPath(other), other) << other;
}

TEST(ModbusWindows, ErrorsLeftInGetLastErrorBecomeTheInterfacesNumbers) {
  // What the interface tells apart becomes its errno value; libmodbus's own
  // errno wins over whatever Winsock left behind.
  const std::pair<DWORD, int> mapped[] = {
      {WSAECONNREFUSED, ECONNREFUSED}, {WSAETIMEDOUT, ETIMEDOUT},   {WSAECONNRESET, ECONNRESET},
      {WSAEHOSTUNREACH, EHOSTUNREACH}, {WSAENETUNREACH, ENETUNREACH}, {ERROR_FILE_NOT_FOUND, ENOENT},
      {ERROR_ACCESS_DENIED, EACCES},   {ERROR_SEM_TIMEOUT, ETIMEDOUT}};
  for (const auto& [code, expected] : mapped) {
    mb::ClearModbusError();
    ::SetLastError(code);
    EXPECT_EQ(mb::LastModbusError(), expected) << code;
  }
  mb::ClearModbusError();
  ::WSASetLastError(WSAECONNRESET);
  errno = ETIMEDOUT;
  EXPECT_EQ(mb::LastModbusError(), ETIMEDOUT);
  // The rest keeps the system's number where it cannot be taken for an errno.
  mb::ClearModbusError();
  ::SetLastError(WSAEADDRNOTAVAIL);
  EXPECT_EQ(mb::LastModbusError(), WSAEADDRNOTAVAIL);
  mb::ClearModbusError();
  ::SetLastError(ERROR_GEN_FAILURE);
  EXPECT_EQ(mb::LastModbusError(), EIO);
  // Nothing left behind: a connection libmodbus gave up waiting for.
  mb::ClearModbusError();
  EXPECT_EQ(mb::LastModbusError(), ETIMEDOUT);

  // Texts come from the system, UTF-8, without the line end and full stop
  // FormatMessage gives them (wine has no Winsock texts: only the number).
  const std::string disk = mb::SystemErrorText(ERROR_DISK_FULL);
  EXPECT_EQ(disk.find("erro do sistema"), std::string::npos) << disk;
  EXPECT_EQ(disk.find_first_of("\r\n"), std::string::npos) << disk;
  EXPECT_NE(disk.back(), '.') << disk;
  EXPECT_NE(disk, mb::SystemErrorText(ERROR_ACCESS_DENIED));
  EXPECT_NE(mb::ModbusErrorText(WSAEADDRNOTAVAIL).find_first_not_of(' '), std::string::npos);
  EXPECT_EQ(mb::ModbusErrorText(EIO), std::strerror(EIO));
}

}  // namespace
