#include "platform/ExePath.h"

#include <cerrno>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace platform {

std::string ExecutablePath() {
  std::vector<char> buf(256);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) throw std::system_error(errno, std::generic_category(), "readlink /proc/self/exe");
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

std::string ExecutableFolder() { return ExtractFolder(ExecutablePath()); }

std::string ExtractFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash);
}

}  // namespace platform
