// A serial port as a ByteLine: opened raw (no echo, no line discipline, no
// flow control) at a given speed and character format, read and written
// with bounded waits. The system's side is in SerialLine_posix.cpp (termios,
// poll) and SerialLine_windows.cpp (CreateFileW on the name SerialPortPath
// gives, DCB, COMMTIMEOUTS).
//
// A character that arrives with a parity or framing error is read as 0x00,
// so that a frame that contains one fails its own checks rather than being
// shortened.
//
// Errors: POSIX errno (ENOENT: no such device; EACCES: not allowed or in use
// elsewhere; EIO/ENXIO/ENODEV: the device went away while open; EINVAL: a
// speed or format the port does not take). Windows: the errno value where
// the failure has one, as SystemError.h's LastBusError gives it, otherwise
// the GetLastError code.
//
// Threads: see ByteLine.h.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "packages/fieldbus/ByteLine.h"

namespace fb {

struct SerialFormat {
  int baud = 2400;
  char parity = 'E';  // 'N', 'E' or 'O'
  int dataBits = 8;   // 5 to 8
  int stopBits = 1;   // 1 or 2

  // "2400 8E1".
  std::string Describe() const {
    return std::to_string(baud) + " " + std::to_string(dataBits) + parity + std::to_string(stopBits);
  }
  // Bits one character takes on the wire: start, data, parity, stop.
  int BitsPerCharacter() const { return 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits; }
};

class SerialLine : public ByteLine {
 public:
  // `device` as CONFIGS name it (`/dev/ttyUSB0`, `COM3`); opened under
  // SerialPortPath(device).
  SerialLine(std::string device, SerialFormat format) : device_(std::move(device)), format_(format) {}
  ~SerialLine() override { Close(); }
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  bool Open(int& err) override;
  bool IsOpen() const override { return handle_ != -1; }
  void Close() override;
  bool Send(const uint8_t* data, size_t size, Clock::time_point deadline, int& err) override;
  long Receive(uint8_t* buffer, size_t capacity, Clock::time_point deadline, int& err) override;
  bool Discard(int& err) override;
  std::string Describe() const override { return device_ + " " + format_.Describe(); }

 private:
  std::string device_;
  SerialFormat format_;
  // A descriptor on POSIX, a HANDLE on Windows; -1 when closed.
  intptr_t handle_ = -1;
};

}  // namespace fb
