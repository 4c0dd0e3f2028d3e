#include "platform/LogFile.h"

#include "platform/Win32Api_windows.h"

using platform::win::Wide;

struct KxLogFile::Handle {
  HANDLE file = INVALID_HANDLE_VALUE;
};

KxLogFile::KxLogFile(const std::string& path) : path_(path), handle_(std::make_unique<Handle>()) {
  // Others may read the file while it is open, never write it (nor open it
  // for writing): the hold of the log.
  HANDLE file = ::CreateFileW(Wide(path_).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION) throw ELogFileInUse(path_);
    throw std::runtime_error(platform::win::ErrorText(err));
  }
  // A new run appends to the log of the previous ones.
  LARGE_INTEGER zero{};
  ::SetFilePointerEx(file, zero, nullptr, FILE_END);
  handle_->file = file;
}

KxLogFile::~KxLogFile() {
  if (handle_->file != INVALID_HANDLE_VALUE) ::CloseHandle(handle_->file);
}

void KxLogFile::Append(std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(handle_->file, p, chunk, &written, nullptr) || written == 0) return;
    p += written;
    left -= written;
  }
}

long long KxLogFile::Size() const {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle_->file, &size)) return -1;
  return static_cast<long long>(size.QuadPart);
}

bool KxLogFile::Restart() {
  // Emptied in place: the file is never let go, so no other process can
  // take it between the old content and the new. Nobody else writes it, so
  // the position stays at its end.
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(handle_->file, zero, nullptr, FILE_BEGIN)) return false;
  if (!::SetEndOfFile(handle_->file)) {
    ::SetFilePointerEx(handle_->file, zero, nullptr, FILE_END);
    return false;
  }
  return true;
}
