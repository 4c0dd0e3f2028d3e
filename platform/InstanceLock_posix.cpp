#include "platform/InstanceLock.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include "platform/FileLock_posix.h"
#include <sys/stat.h>
#include <unistd.h>

struct KxInstanceLock::Handle {
  int fd = -1;
};

namespace {

std::string LockFolder() {
  struct stat st {};
  if (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode)) return "/run/lock";
  return "/tmp";
}

// The process id written in the file by the holder, or "" when unknown.
std::string HolderOf(int fd) {
  char buf[32] = {};
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return "";
  std::string pid(buf, static_cast<size_t>(n));
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
  return pid.find_first_not_of("0123456789") == std::string::npos ? pid : "";
}

}  // namespace

KxInstanceLock::KxInstanceLock(const std::string& target) : handle_(std::make_unique<Handle>()) {
  name_ = LockFolder() + "/telvane-" + SafeName(target) + ".lock";
  // Readable by all, so that a user who cannot write it may still lock it.
  int fd = ::open(name_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  const bool writable = fd >= 0;
  if (fd < 0 && errno == EACCES) fd = ::open(name_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    throw std::runtime_error("não foi possível criar a trava " + name_ + ": " +
                             std::strerror(errno));
  if (const int err = platform::TryLockExclusive(fd); err != 0) {
    const std::string holder = HolderOf(fd);
    ::close(fd);
    if (err == EWOULDBLOCK)
      throw EInstanceRunning("outra instância do Telvane já está em execução para o banco " +
                             target + (holder.empty() ? "" : " (processo " + holder + ")") +
                             "; trava: " + name_);
    throw std::runtime_error("não foi possível travar " + name_ + ": " + std::strerror(err));
  }
  if (writable) {
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
      [[maybe_unused]] const ssize_t n = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
  }
  handle_->fd = fd;
}

KxInstanceLock::~KxInstanceLock() {
  // Closing releases the lock; the file stays (removing it would let a
  // third process lock a new file while a second still waits on the old).
  if (handle_ && handle_->fd >= 0) ::close(handle_->fd);
}
