// A line that carries bytes both ways with every wait bounded: a serial
// port (SerialLine) or a TCP connection to a transparent serial-to-Ethernet
// converter (TcpLine). A protocol engine that sends requests and reads
// answers byte by byte (the M-Bus link) talks to this interface and does
// not care which one it has.
//
// Errors are the system's numbers (errno on POSIX; on Windows what
// SystemError.h / TcpStream.h say for each side), never 0 on failure.
//
// Threads: one object is used by one thread at a time (its owner holds the
// bus while it uses it); it owns its descriptor or handle and closes it at
// destruction.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace fb {

class ByteLine {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~ByteLine() = default;

  // Opens the line as it was described at construction (closing it first
  // when it is open). False with `err`.
  virtual bool Open(int& err) = 0;
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;

  // Sends every byte, waiting until `deadline` for room. False with `err`
  // (ETIMEDOUT / WSAETIMEDOUT when the time ran out).
  virtual bool Send(const uint8_t* data, size_t size, Clock::time_point deadline, int& err) = 0;
  // Waits until `deadline` for bytes and takes what has come (at most
  // `capacity`): the count, 0 when the time ran out with nothing, -1 with
  // `err` when the line failed (a closed connection, a device that is gone).
  virtual long Receive(uint8_t* buffer, size_t capacity, Clock::time_point deadline, int& err) = 0;
  // Drops whatever bytes are waiting, without waiting for more. False with
  // `err` when the line turned out to be failed.
  virtual bool Discard(int& err) = 0;

  // What the line is, for log lines: "/dev/ttyUSB0 2400 8E1", "10.0.0.5:10001".
  virtual std::string Describe() const = 0;
};

}  // namespace fb
