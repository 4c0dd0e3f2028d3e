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
int OpenLogFile(const std::string& path, int extraFlags = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | extraFlags, 0644);
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
  // The fresh file is created beside the old one and renamed over it, so
  // when it cannot be created or put in place the old file stays open.
  const std::string fresh = path_ + ".new";
  const int fd = OpenLogFile(fresh, O_TRUNC);
  if (fd < 0) return false;
  if (::rename(fresh.c_str(), path_.c_str()) != 0) {
    ::close(fd);
    ::unlink(fresh.c_str());
    return false;
  }
  ::close(handle_->fd);
  handle_->fd = fd;
  return true;
}
