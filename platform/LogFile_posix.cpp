#include "platform/LogFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include "platform/FileLock_posix.h"
#include <sys/stat.h>
#include <unistd.h>

struct KxLogFile::Handle {
  int fd = -1;
};

namespace {

// Opens the file for appending, creating it when missing. Every write goes
// to the end of the file (O_APPEND), so a new run continues the old log. The
// file is locked exclusively for as long as it is open: others may read it,
// but no second log (a second copy of the service) may write it. -1 with
// errno EWOULDBLOCK when another holds it.
int OpenLogFile(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fd;
  if (const int err = platform::TryLockExclusive(fd); err != 0) {
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace

KxLogFile::KxLogFile(const std::string& path) : path_(path), handle_(std::make_unique<Handle>()) {
  handle_->fd = OpenLogFile(path_);
  if (handle_->fd < 0) {
    if (errno == EWOULDBLOCK) throw ELogFileInUse(path_);
    throw std::runtime_error(std::strerror(errno));
  }
}

KxLogFile::~KxLogFile() {
  if (handle_->fd >= 0) ::close(handle_->fd);
}

void KxLogFile::Append(std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(handle_->fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (n == 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

long long KxLogFile::Size() const {
  struct stat st {};
  if (::fstat(handle_->fd, &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

bool KxLogFile::Restart() {
  // Emptied in place, as on Windows: the descriptor, and its lock, are
  // never let go, and nothing is created beside the log. The installed
  // service may write the log itself but not its folder. O_APPEND puts the
  // next write at the new end.
  int rc;
  do {
    rc = ::ftruncate(handle_->fd, 0);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}
