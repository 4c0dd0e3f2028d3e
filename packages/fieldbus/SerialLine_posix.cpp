// termios side of SerialLine. The descriptor is non-blocking with VMIN 1, so
// that a read with nothing waiting says EAGAIN and a read of 0 bytes means
// the device hung up; every wait is a poll() bounded by the deadline.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "packages/fieldbus/SerialLine.h"
#include "packages/fieldbus/SerialPort.h"

namespace fb {

namespace {

bool SpeedOf(int baud, speed_t& speed) {
  switch (baud) {
    case 300: speed = B300; return true;
    case 600: speed = B600; return true;
    case 1200: speed = B1200; return true;
    case 2400: speed = B2400; return true;
    case 4800: speed = B4800; return true;
    case 9600: speed = B9600; return true;
    case 19200: speed = B19200; return true;
    case 38400: speed = B38400; return true;
    case 57600: speed = B57600; return true;
    case 115200: speed = B115200; return true;
    default: return false;
  }
}

// Milliseconds left until `deadline`, rounded up (a wait never ends before
// it); 0 when it has passed.
int MsLeft(ByteLine::Clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - ByteLine::Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Raw mode in the given format; false with errno set.
bool Configure(int fd, const SerialFormat& format) {
  speed_t speed;
  tcflag_t size;
  switch (format.dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: errno = EINVAL; return false;
  }
  if (!SpeedOf(format.baud, speed) || (format.stopBits != 1 && format.stopBits != 2) ||
      (format.parity != 'N' && format.parity != 'E' && format.parity != 'O')) {
    errno = EINVAL;
    return false;
  }
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD | size;
  if (format.stopBits == 2) t.c_cflag |= CSTOPB;
  // A character with a parity or framing error reads as 0x00 (INPCK without
  // IGNPAR or PARMRK).
  t.c_iflag &= ~(IXON | IXOFF | IXANY | IGNPAR | PARMRK | ISTRIP | INPCK);
  if (format.parity != 'N') {
    t.c_cflag |= PARENB;
    if (format.parity == 'O') t.c_cflag |= PARODD;
    t.c_iflag |= INPCK;
  }
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return false;
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    // A pseudo-terminal has no parity: the kernel drops PARENB and the C
    // library reports EINVAL although the rest was applied. What matters
    // (speed, size) must have been.
    const int failure = errno;
    termios applied{};
    if (failure != EINVAL || tcgetattr(fd, &applied) != 0 || cfgetospeed(&applied) != speed ||
        (applied.c_cflag & CSIZE) != size) {
      errno = failure;
      return false;
    }
  }
  tcflush(fd, TCIOFLUSH);
  return true;
}

}  // namespace

void SerialLine::Close() {
  if (handle_ == -1) return;
  ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool SerialLine::Open(int& err) {
  Close();
  const int fd = ::open(SerialPortPath(device_).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return false;
  }
  if (!Configure(fd, format_)) {
    err = errno != 0 ? errno : EIO;
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

bool SerialLine::Send(const uint8_t* data, size_t size, Clock::time_point deadline, int& err) {
  const int fd = static_cast<int>(handle_);
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::write(fd, data + sent, size - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      err = errno;
      return false;
    }
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, MsLeft(deadline));
    if (ready == 0) {
      err = ETIMEDOUT;
      return false;
    }
    if (ready < 0 && errno != EINTR) {
      err = errno;
      return false;
    }
    if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      err = EIO;
      return false;
    }
  }
  return true;
}

long SerialLine::Receive(uint8_t* buffer, size_t capacity, Clock::time_point deadline, int& err) {
  const int fd = static_cast<int>(handle_);
  for (;;) {
    const ssize_t n = ::read(fd, buffer, capacity);
    if (n > 0) return static_cast<long>(n);
    if (n == 0) {  // hung up: with VMIN 1 an empty queue says EAGAIN
      err = EIO;
      return -1;
    }
    if (errno != EAGAIN && errno != EINTR) {
      err = errno;
      return -1;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, MsLeft(deadline));
    if (ready == 0) return 0;
    if (ready < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return -1;
    }
    // A device that went away: nothing more will come (read would keep
    // saying EAGAIN on some drivers).
    if ((p.revents & POLLIN) == 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      err = EIO;
      return -1;
    }
  }
}

bool SerialLine::Discard(int& err) {
  const int fd = static_cast<int>(handle_);
  if (tcflush(fd, TCIFLUSH) != 0) {
    err = errno;
    return false;
  }
  // What raced the flush, and a device that is gone (its read fails or
  // says end of file).
  uint8_t scrap[256];
  for (;;) {
    const ssize_t n = ::read(fd, scrap, sizeof scrap);
    if (n > 0) continue;
    if (n == 0) {
      err = EIO;
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return true;
    err = errno;
    return false;
  }
}

}  // namespace fb
