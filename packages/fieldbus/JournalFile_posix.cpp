#include "packages/fieldbus/JournalFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace fb {

namespace {

std::string Folder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// A created or renamed file is only durable once its folder is synced.
bool SyncFolder(const std::string& path) {
  const int dir = ::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  const bool ok = ::fsync(dir) == 0;
  ::close(dir);
  return ok;
}

// After a failed append, best effort: the failure is reported already.
void CutBack(int fd, int64_t size) {
  const int rc = ::ftruncate(fd, static_cast<off_t>(size));
  static_cast<void>(rc);
}

}  // namespace

JournalFile::JournalFile(const std::string& path) : path_(path) {
  struct stat st {};
  const bool existed = ::stat(path.c_str(), &st) == 0;
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) throw std::runtime_error(path + ": " + ErrorText(errno));
  if (::fstat(fd_, &st) != 0) {
    const int err = errno;
    ::close(fd_);
    throw std::runtime_error(path + ": " + ErrorText(err));
  }
  size_ = st.st_size;
  if (!existed) SyncFolder(path);
}

JournalFile::~JournalFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool JournalFile::ReadAt(int64_t offset, void* buf, size_t n) const {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd_, static_cast<char*>(buf) + done, n - done,
                              static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

bool JournalFile::Append(const void* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t w = ::pwrite(fd_, static_cast<const char*>(buf) + done, n - done,
                               static_cast<off_t>(size_ + static_cast<int64_t>(done)));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      lastError_ = w < 0 ? errno : ENOSPC;
      CutBack(fd_, size_);
      return false;
    }
    done += static_cast<size_t>(w);
  }
  if (::fdatasync(fd_) != 0) {
    lastError_ = errno;
    CutBack(fd_, size_);
    return false;
  }
  size_ += static_cast<int64_t>(n);
  return true;
}

bool JournalFile::Truncate(int64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0 || ::fdatasync(fd_) != 0) {
    lastError_ = errno;
    return false;
  }
  size_ = size;
  return true;
}

bool JournalFile::Replace(const std::string& from, const std::string& to, int& error) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    error = errno;
    return false;
  }
  SyncFolder(to);
  return true;
}

std::string JournalFile::ErrorText(int error) {
  char buf[256];
  return strerror_r(error, buf, sizeof buf);  // GNU: returns the text
}

}  // namespace fb
