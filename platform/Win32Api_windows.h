// The Windows API as the platform layer's Windows files use it: <windows.h>
// without the macros that would rename the service's own identifiers, and
// the conversions between the service's UTF-8 texts and the API's UTF-16.
// Included only by platform/*_windows.cpp.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// <windows.h> maps these names to their -W variants; the service has
// members of the same names.
#undef PostMessage

#include <string>
#include <string_view>

#include "platform/Text.h"

namespace platform::win {

// UTF-8 -> UTF-16 for the -W functions.
inline std::wstring Wide(std::string_view utf8) {
  const std::u16string u = text::ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}

// UTF-16 from the -W functions -> UTF-8.
inline std::string Utf8(std::wstring_view wide) {
  return text::FromUtf16(std::u16string(wide.begin(), wide.end()));
}

// The system's text for an error code (GetLastError), UTF-8, without the
// line end the system adds, followed by " (erro N)" so that the code can be
// looked up whatever the language of the system's messages.
inline std::string ErrorText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring message = n > 0 && buffer != nullptr ? std::wstring(buffer, n) : std::wstring();
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' ||
                              message.back() == L' ' || message.back() == L'.'))
    message.pop_back();
  std::string out = message.empty() ? "erro desconhecido" : Utf8(message);
  return out + " (erro " + std::to_string(code) + ")";
}

// Closes a kernel handle when it goes out of scope.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }
  HANDLE Get() const { return h_; }
  bool Valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE h = nullptr) {
    if (Valid()) ::CloseHandle(h_);
    h_ = h;
  }
  HANDLE Release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }

 private:
  HANDLE h_ = nullptr;
};

// Closes a service control manager handle when it goes out of scope.
class UniqueServiceHandle {
 public:
  explicit UniqueServiceHandle(SC_HANDLE h) : h_(h) {}
  UniqueServiceHandle(const UniqueServiceHandle&) = delete;
  UniqueServiceHandle& operator=(const UniqueServiceHandle&) = delete;
  ~UniqueServiceHandle() {
    if (h_ != nullptr) ::CloseServiceHandle(h_);
  }
  SC_HANDLE Get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  SC_HANDLE h_;
};

}  // namespace platform::win
