#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

#include "packages/fieldbus/TcpStream.h"

namespace fb {

const int TcpStream::kPeerClosed = ECONNRESET;

namespace {

// Milliseconds left until `deadline` (rounded up: a wait never ends before
// it), 0 when it has passed.
int MsLeft(TcpStream::Clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - TcpStream::Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on `fd` until `deadline`: 1 ready, 0 time out, -1 error (errno).
int Wait(int fd, short events, TcpStream::Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, MsLeft(deadline));
    if (n >= 0) return n > 0 ? 1 : 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

TcpStream::~TcpStream() { Close(); }

bool TcpStream::IsOpen() const { return socket_ >= 0; }

void TcpStream::Close() {
  if (socket_ < 0) return;
  ::close(static_cast<int>(socket_));
  socket_ = -1;
}

bool TcpStream::Connect(const std::string& host, int port, int timeoutMs, int& err) {
  Close();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    err = ECONNREFUSED;
    return false;
  }
  err = ECONNREFUSED;
  for (addrinfo* a = found; a != nullptr && socket_ < 0; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      const int ready = Wait(fd, POLLOUT, deadline);
      if (ready == 0) {
        errno = ETIMEDOUT;
      } else if (ready > 0) {
        int soError = 0;
        socklen_t len = sizeof soError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0) errno = soError;
        rc = soError == 0 ? 0 : -1;
      }
    }
    if (rc != 0) {
      err = errno;
      ::close(fd);
      continue;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    socket_ = fd;
  }
  freeaddrinfo(found);
  return socket_ >= 0;
}

bool TcpStream::Send(const uint8_t* data, size_t size, Clock::time_point deadline, int& err) {
  const int fd = static_cast<int>(socket_);
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      err = errno;
      return false;
    }
    const int ready = Wait(fd, POLLOUT, deadline);
    if (ready <= 0) {
      err = ready == 0 ? ETIMEDOUT : errno;
      return false;
    }
  }
  return true;
}

long TcpStream::Receive(uint8_t* buffer, size_t capacity, Clock::time_point deadline, int& err) {
  const int fd = static_cast<int>(socket_);
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, capacity, 0);
    if (n > 0) return static_cast<long>(n);
    if (n == 0) {
      err = kPeerClosed;
      return -1;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      err = errno;
      return -1;
    }
    const int ready = Wait(fd, POLLIN, deadline);
    if (ready == 0) return 0;
    if (ready < 0) {
      err = errno;
      return -1;
    }
  }
}

bool TcpStream::Discard(int& err) {
  const int fd = static_cast<int>(socket_);
  uint8_t scrap[256];
  for (;;) {
    const ssize_t n = ::recv(fd, scrap, sizeof scrap, 0);
    if (n > 0) continue;
    if (n == 0) {
      err = kPeerClosed;
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    err = errno;
    return false;
  }
}

}  // namespace fb
