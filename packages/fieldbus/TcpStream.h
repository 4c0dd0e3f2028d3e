// One TCP client connection with every wait bounded: connect, send and
// receive never block past the time they are given. The system's side is in
// TcpStream_posix.cpp (BSD sockets) and TcpStream_windows.cpp (Winsock 2).
//
// Errors are the system's numbers: errno on POSIX, WSAGetLastError() on
// Windows. A connection the other side closed reports kPeerClosed.
//
// Threads: one object is used by one thread at a time (RtuTcpLink, holding
// its bus); it owns its socket and closes it at destruction.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace fb {

class TcpStream {
 public:
  using Clock = std::chrono::steady_clock;

  // The error given when the other side closed the connection
  // (ECONNRESET / WSAECONNRESET).
  static const int kPeerClosed;

  TcpStream() = default;
  ~TcpStream();
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  // Connects to `host` (a name or an address) on `port`, trying each of its
  // addresses, within `timeoutMs` in all. Closes a previous connection
  // first. False with `err`: a name that does not resolve gives
  // ECONNREFUSED (as libmodbus's TCP mode does), no answer in time
  // ETIMEDOUT (WSAETIMEDOUT).
  bool Connect(const std::string& host, int port, int timeoutMs, int& err);
  bool IsOpen() const;
  void Close();

  // Sends every byte, waiting until `deadline` for room. False with `err`
  // (ETIMEDOUT when the time ran out).
  bool Send(const uint8_t* data, size_t size, Clock::time_point deadline, int& err);
  // Waits until `deadline` for bytes and takes what has come (at most
  // `capacity`): the count, 0 when the time ran out with nothing, -1 with
  // `err` when the connection failed or was closed by the other side.
  long Receive(uint8_t* buffer, size_t capacity, Clock::time_point deadline, int& err);
  // Drops whatever bytes are waiting, without waiting for more. False with
  // `err` when the connection turned out to be failed or closed.
  bool Discard(int& err);

 private:
  // The socket: a descriptor on POSIX, a SOCKET on Windows; -1 when closed.
  intptr_t socket_ = -1;
};

}  // namespace fb
