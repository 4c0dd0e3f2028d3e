#include "log/TFileLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/DateTime.h"
#include "platform/Text.h"

namespace {

constexpr char kStartBanner[] = "-------------------- LOG Started!";
constexpr char kStopBanner[] = "==================== LOG Stopped!\r\n\r\n";
constexpr char kRestartBanner[] = "-------------------- LOG Re-started!";

// Opens the log for appending, creating it when missing. Every write goes to
// the end of the file (O_APPEND), so a new run continues the old log. The
// file is locked exclusively for as long as it is open: others may read it,
// but no second log (a second copy of the service) may write it. -1 with
// errno EWOULDBLOCK when another holds it.
int OpenLogFile(const std::string& path, int extraFlags = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | extraFlags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fd;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

// Writes all of `data`; a refused write drops the rest of the piece.
void WriteAll(int fd, const std::string& data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (n == 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

struct TFileLog::File {
  int fd = -1;
  // True while a restart writes its banner: that line never restarts again.
  bool restarting = false;
};

TFileLog::TFileLog(const std::string& path) : path_(path), file_(std::make_unique<File>()) {
  file_->fd = OpenLogFile(path_);
  if (file_->fd < 0) {
    if (errno == EWOULDBLOCK)
      throw std::runtime_error("O arquivo de log " + path_ +
                               " está em uso por outro processo (outra instância do serviço?)");
    throw std::runtime_error("Não foi possível abrir o arquivo de log " + path_ + ": " +
                             std::strerror(errno));
  }
  WriteLine(kStartBanner);
}

TFileLog::~TFileLog() { Close(); }

void TFileLog::Close() {
  std::lock_guard<TCriticalSection> guard(lock_);
  if (file_ && file_->fd >= 0) {
    // Written directly: the stop banner never triggers a restart.
    WriteAll(file_->fd, text::ToCp1252(dt::FormatLong(dt::SystemNow()) + "\t" + kStopBanner));
    WriteAll(file_->fd, "\r\n");
    ::close(file_->fd);
    file_->fd = -1;
  }
}

void TFileLog::WriteLine(const std::u16string& text) { WriteLine(text::FromUtf16(text)); }

void TFileLog::WriteLine(const std::string& text) {
  std::lock_guard<TCriticalSection> guard(lock_);
  File& f = *file_;
  if (f.fd < 0) return;

  WriteAll(f.fd, text::ToCp1252(dt::FormatLong(dt::SystemNow()) + "\t"));
  WriteAll(f.fd, text::ToCp1252(text));
  WriteAll(f.fd, "\r\n");

  if (f.restarting) return;
  struct stat st {};
  if (::fstat(f.fd, &st) != 0 || st.st_size < kMaxSize) return;

  // Restart: the old content is discarded and a fresh file takes its place.
  // The fresh file is created beside the old one and renamed over it, so
  // when it cannot be created or put in place the old file stays open and
  // the log goes on appending to it (the next line tries again).
  const std::string fresh = path_ + ".new";
  int fd = OpenLogFile(fresh, O_TRUNC);
  if (fd < 0) return;
  if (::rename(fresh.c_str(), path_.c_str()) != 0) {
    ::close(fd);
    ::unlink(fresh.c_str());
    return;
  }
  ::close(f.fd);
  f.fd = fd;
  f.restarting = true;
  WriteLine(kRestartBanner);
  f.restarting = false;
}
