// Shared by the POSIX side of the platform pieces only: an exclusive,
// non-blocking lock on an open file, held until the file is closed (by the
// system too, however the process ends).
#pragma once

#include <cerrno>

#include <sys/file.h>

namespace platform {

// 0 when the lock was taken; otherwise the errno of flock (EWOULDBLOCK when
// another open file holds it).
inline int TryLockExclusive(int fd) {
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

}  // namespace platform
