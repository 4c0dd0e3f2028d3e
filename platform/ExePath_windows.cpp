#include "platform/ExePath.h"

#include <system_error>

#include "platform/Win32Api_windows.h"

namespace platform {

std::string ExecutablePath() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0)
      throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                              "GetModuleFileNameW");
    // A full buffer may hold a cut name: try again with a larger one.
    if (n < buf.size()) return win::Utf8(std::wstring_view(buf.data(), n));
    buf.resize(buf.size() * 2);
  }
}

std::string ExecutableFolder() { return ExtractFolder(ExecutablePath()); }

std::string ExtractFolder(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash);
}

}  // namespace platform
