// The Modbus packages' Windows side that the journal tests do not reach: the
// serial port names libmodbus is given, and the error numbers and texts of
// what libmodbus leaves in GetLastError (Winsock, the serial port).
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "packages/fieldbus/SerialPort.h"
#include "packages/fieldbus/SystemError.h"

namespace {

TEST(ModbusWindows, SerialPortNamesReachLibmodbusInTheFormWindowsOpens) {
  EXPECT_EQ(fb::SerialPortPath("COM3"), "\\\\.\\COM3");
  EXPECT_EQ(fb::SerialPortPath("COM10"), "\\\\.\\COM10");
  EXPECT_EQ(fb::SerialPortPath("com256"), "\\\\.\\com256");
  EXPECT_EQ(fb::SerialPortPath("\\\\.\\COM10"), "\\\\.\\COM10");
  // Not a port number: left to Windows as written.
  for (const char* other : {"COM", "COM0", "COM1:", "COMX", "LPT1", "\\\\.\\CNCA0"})
    EXPECT_EQ(fb::SerialPortPath(other), other) << other;
}

TEST(ModbusWindows, ErrorsLeftInGetLastErrorBecomeTheInterfacesNumbers) {
  // What the interface tells apart becomes its errno value; libmodbus's own
  // errno wins over whatever Winsock left behind.
  const std::pair<DWORD, int> mapped[] = {
      {WSAECONNREFUSED, ECONNREFUSED}, {WSAETIMEDOUT, ETIMEDOUT},   {WSAECONNRESET, ECONNRESET},
      {WSAEHOSTUNREACH, EHOSTUNREACH}, {WSAENETUNREACH, ENETUNREACH}, {ERROR_FILE_NOT_FOUND, ENOENT},
      {ERROR_ACCESS_DENIED, EACCES},   {ERROR_SEM_TIMEOUT, ETIMEDOUT}};
  for (const auto& [code, expected] : mapped) {
    fb::ClearBusError();
    ::SetLastError(code);
    EXPECT_EQ(fb::LastBusError(), expected) << code;
  }
  fb::ClearBusError();
  ::WSASetLastError(WSAECONNRESET);
  errno = ETIMEDOUT;
  EXPECT_EQ(fb::LastBusError(), ETIMEDOUT);
  // The rest keeps the system's number where it cannot be taken for an errno.
  fb::ClearBusError();
  ::SetLastError(WSAEADDRNOTAVAIL);
  EXPECT_EQ(fb::LastBusError(), WSAEADDRNOTAVAIL);
  fb::ClearBusError();
  ::SetLastError(ERROR_GEN_FAILURE);
  EXPECT_EQ(fb::LastBusError(), EIO);
  // Nothing left behind: a connection libmodbus gave up waiting for.
  fb::ClearBusError();
  EXPECT_EQ(fb::LastBusError(), ETIMEDOUT);

  // Texts come from the system, UTF-8, without the line end and full stop
  // FormatMessage gives them (wine has no Winsock texts: only the number).
  const std::string disk = fb::SystemErrorText(ERROR_DISK_FULL);
  EXPECT_EQ(disk.find("erro do sistema"), std::string::npos) << disk;
  EXPECT_EQ(disk.find_first_of("\r\n"), std::string::npos) << disk;
  EXPECT_NE(disk.back(), '.') << disk;
  EXPECT_NE(disk, fb::SystemErrorText(ERROR_ACCESS_DENIED));
  EXPECT_NE(fb::BusErrorText(WSAEADDRNOTAVAIL).find_first_not_of(' '), std::string::npos);
  EXPECT_EQ(fb::BusErrorText(EIO), std::strerror(EIO));
}

}  // namespace
