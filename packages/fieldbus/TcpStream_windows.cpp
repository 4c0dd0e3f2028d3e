// Winsock 2 side of TcpStream. The socket stays non-blocking from its
// creation on; every wait is a select() bounded by the deadline.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "packages/fieldbus/TcpStream.h"

namespace fb {

const int TcpStream::kPeerClosed = WSAECONNRESET;

namespace {

// Winsock is started once per process, at the first connection, and left
// running until the process ends (WSACleanup at unload could pull it from
// under other users in the process).
int StartWinsock() {
  static std::once_flag once;
  static int result = 0;
  std::call_once(once, [] {
    WSADATA data;
    result = WSAStartup(MAKEWORD(2, 2), &data);
  });
  return result;
}

SOCKET Handle(intptr_t s) { return static_cast<SOCKET>(s); }

// Time left until `deadline` for select().
timeval Left(TcpStream::Clock::time_point deadline) {
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - TcpStream::Clock::now()).count();
  if (us < 0) us = 0;
  timeval tv;
  tv.tv_sec = static_cast<long>(us / 1000000);
  tv.tv_usec = static_cast<long>(us % 1000000);
  return tv;
}

// Waits until `deadline` for the socket to be writable (`write`) or
// readable: 1 ready, 0 time out, -1 error (WSAGetLastError). A failed
// connect shows in the exception set.
int Wait(SOCKET s, bool write, TcpStream::Clock::time_point deadline) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval tv = Left(deadline);
  const int n = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed, &tv);
  if (n == SOCKET_ERROR) return -1;
  return n > 0 ? 1 : 0;
}

}  // namespace

TcpStream::~TcpStream() { Close(); }

bool TcpStream::IsOpen() const { return socket_ != -1; }

void TcpStream::Close() {
  if (socket_ == -1) return;
  closesocket(Handle(socket_));
  socket_ = -1;
}

bool TcpStream::Connect(const std::string& host, int port, int timeoutMs, int& err) {
  Close();
  const int started = StartWinsock();
  if (started != 0) {
    err = started;
    return false;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    err = WSAECONNREFUSED;
    return false;
  }
  err = WSAECONNREFUSED;
  for (addrinfo* a = found; a != nullptr && socket_ == -1; a = a->ai_next) {
    const SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      err = WSAGetLastError();
      continue;
    }
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
      err = WSAGetLastError();
      closesocket(s);
      continue;
    }
    int rc = connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen));
    int failure = rc == 0 ? 0 : WSAGetLastError();
    if (rc != 0 && failure == WSAEWOULDBLOCK) {
      const int ready = Wait(s, true, deadline);
      if (ready == 0) {
        failure = WSAETIMEDOUT;
      } else if (ready < 0) {
        failure = WSAGetLastError();
      } else {
        int soError = 0;
        int len = sizeof soError;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) != 0)
          soError = WSAGetLastError();
        failure = soError;
      }
    }
    if (failure != 0) {
      err = failure;
      closesocket(s);
      continue;
    }
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    socket_ = static_cast<intptr_t>(s);
  }
  freeaddrinfo(found);
  return socket_ != -1;
}

bool TcpStream::Send(const uint8_t* data, size_t size, Clock::time_point deadline, int& err) {
  const SOCKET s = Handle(socket_);
  size_t sent = 0;
  while (sent < size) {
    const int n = send(s, reinterpret_cast<const char*>(data + sent), static_cast<int>(size - sent), 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int failure = n == SOCKET_ERROR ? WSAGetLastError() : WSAEWOULDBLOCK;
    if (failure != WSAEWOULDBLOCK && failure != WSAEINTR) {
      err = failure;
      return false;
    }
    const int ready = Wait(s, true, deadline);
    if (ready <= 0) {
      err = ready == 0 ? WSAETIMEDOUT : WSAGetLastError();
      return false;
    }
  }
  return true;
}

long TcpStream::Receive(uint8_t* buffer, size_t capacity, Clock::time_point deadline, int& err) {
  const SOCKET s = Handle(socket_);
  for (;;) {
    const int n = recv(s, reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
    if (n > 0) return n;
    if (n == 0) {
      err = kPeerClosed;
      return -1;
    }
    const int failure = WSAGetLastError();
    if (failure != WSAEWOULDBLOCK && failure != WSAEINTR) {
      err = failure;
      return -1;
    }
    const int ready = Wait(s, false, deadline);
    if (ready == 0) return 0;
    if (ready < 0) {
      err = WSAGetLastError();
      return -1;
    }
  }
}

bool TcpStream::Discard(int& err) {
  const SOCKET s = Handle(socket_);
  char scrap[256];
  for (;;) {
    const int n = recv(s, scrap, static_cast<int>(sizeof scrap), 0);
    if (n > 0) continue;
    if (n == 0) {
      err = kPeerClosed;
      return false;
    }
    const int failure = WSAGetLastError();
    if (failure == WSAEINTR) continue;
    if (failure == WSAEWOULDBLOCK) return true;
    err = failure;
    return false;
  }
}

}  // namespace fb
