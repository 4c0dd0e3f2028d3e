#include "packages/fieldbus/JournalFile.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <stdexcept>

#include "packages/common/PackageText.h"
#include "packages/fieldbus/SystemError.h"

// Error numbers here are GetLastError() codes. The handle is synchronous:
// reads and writes name their offset in an OVERLAPPED and wait for it, the
// file pointer is used only to set the end of the file.

namespace fb {

namespace {

// The journal's paths are UTF-8; the -W calls take UTF-16.
std::wstring Wide(const std::string& utf8) {
  const std::u16string u = pkg::ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

OVERLAPPED At(int64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  o.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return o;
}

bool SetEnd(HANDLE h, int64_t size) {
  LARGE_INTEGER at;
  at.QuadPart = size;
  return ::SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(h);
}

// The most one ReadFile / WriteFile call is asked for.
constexpr size_t kChunk = 1u << 30;

}  // namespace

JournalFile::JournalFile(const std::string& path) : path_(path) {
  // Others may read the journal (and a replacement may be renamed over it)
  // while it is open here.
  const HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    throw std::runtime_error(path + ": " + ErrorText(static_cast<int>(::GetLastError())));
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(h, &size)) {
    const int err = static_cast<int>(::GetLastError());
    ::CloseHandle(h);
    throw std::runtime_error(path + ": " + ErrorText(err));
  }
  fd_ = reinterpret_cast<intptr_t>(h);
  size_ = size.QuadPart;
}

JournalFile::~JournalFile() {
  if (fd_ != kNoFile) ::CloseHandle(AsHandle(fd_));
}

bool JournalFile::ReadAt(int64_t offset, void* buf, size_t n) const {
  size_t done = 0;
  while (done < n) {
    OVERLAPPED o = At(offset + static_cast<int64_t>(done));
    const DWORD want = static_cast<DWORD>(n - done < kChunk ? n - done : kChunk);
    DWORD got = 0;
    if (!::ReadFile(AsHandle(fd_), static_cast<char*>(buf) + done, want, &got, &o) || got == 0)
      return false;
    done += got;
  }
  return true;
}

bool JournalFile::Append(const void* buf, size_t n) {
  const HANDLE h = AsHandle(fd_);
  size_t done = 0;
  while (done < n) {
    OVERLAPPED o = At(size_ + static_cast<int64_t>(done));
    const DWORD want = static_cast<DWORD>(n - done < kChunk ? n - done : kChunk);
    DWORD wrote = 0;
    if (!::WriteFile(h, static_cast<const char*>(buf) + done, want, &wrote, &o) || wrote == 0) {
      lastError_ = wrote == 0 && ::GetLastError() == 0 ? ERROR_DISK_FULL
                                                       : static_cast<int>(::GetLastError());
      SetEnd(h, size_);  // best effort: the failure is reported already
      return false;
    }
    done += wrote;
  }
  if (!::FlushFileBuffers(h)) {
    lastError_ = static_cast<int>(::GetLastError());
    SetEnd(h, size_);
    return false;
  }
  size_ += static_cast<int64_t>(n);
  return true;
}

bool JournalFile::Truncate(int64_t size) {
  const HANDLE h = AsHandle(fd_);
  if (!SetEnd(h, size) || !::FlushFileBuffers(h)) {
    lastError_ = static_cast<int>(::GetLastError());
    return false;
  }
  size_ = size;
  return true;
}

bool JournalFile::Replace(const std::string& from, const std::string& to, int& error) {
  // MOVEFILE_WRITE_THROUGH: returns once the rename is on the disk.
  if (!::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = static_cast<int>(::GetLastError());
    return false;
  }
  return true;
}

std::string JournalFile::ErrorText(int error) { return SystemErrorText(error); }

}  // namespace fb
