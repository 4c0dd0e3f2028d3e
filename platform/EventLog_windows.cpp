#include "platform/EventLog.h"

#include "platform/Win32Api_windows.h"

namespace platform::eventlog {

namespace {

// The one message of the executable's table (EventLogMessages.mc): "%1".
constexpr DWORD kTextMessage = 1;

std::wstring SourceKey(const std::string& source) {
  return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + win::Wide(source);
}

}  // namespace

bool Register(const std::string& source, const std::string& exe, std::string& error) {
  HKEY key = nullptr;
  LSTATUS rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, SourceKey(source).c_str(), 0, nullptr, 0,
                                 KEY_SET_VALUE, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS) {
    const std::wstring file = win::Wide(exe);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    rc = ::RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(file.c_str()),
                          static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)));
    if (rc == ERROR_SUCCESS)
      rc = ::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&types), sizeof types);
    ::RegCloseKey(key);
  }
  if (rc != ERROR_SUCCESS) error = win::ErrorText(static_cast<DWORD>(rc));
  return rc == ERROR_SUCCESS;
}

bool Deregister(const std::string& source, std::string& error) {
  const LSTATUS rc = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, SourceKey(source).c_str());
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return true;
  error = win::ErrorText(static_cast<DWORD>(rc));
  return false;
}

void Report(const std::string& source, Kind kind, const std::string& text) {
  HANDLE handle = ::RegisterEventSourceW(nullptr, win::Wide(source).c_str());
  if (handle == nullptr) return;
  const std::wstring wide = win::Wide(text);
  LPCWSTR strings[1] = {wide.c_str()};
  const WORD type = kind == Kind::Error     ? EVENTLOG_ERROR_TYPE
                    : kind == Kind::Warning ? EVENTLOG_WARNING_TYPE
                                            : EVENTLOG_INFORMATION_TYPE;
  ::ReportEventW(handle, type, 0, kTextMessage, nullptr, 1, 0, strings, nullptr);
  ::DeregisterEventSource(handle);
}

}  // namespace platform::eventlog
