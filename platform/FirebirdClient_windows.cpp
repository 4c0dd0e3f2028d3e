#include "platform/FirebirdClient.h"

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ExePath.h"
#include "platform/Win32Api_windows.h"

namespace {

constexpr char kLibrary[] = "fbclient.dll";
constexpr char kEntryPoint[] = "fb_get_master_interface";

using MasterProc = Firebird::IMaster* (*)();

std::mutex g_mutex;
MasterProc g_master = nullptr;  // guarded by g_mutex; set once, for good

// The folder of the default Firebird instance, from the registry; "" when
// none is registered.
std::string InstanceFolder() {
  const wchar_t* key = L"SOFTWARE\\Firebird Project\\Firebird Server\\Instances";
  DWORD size = 0;  // bytes, the terminating NUL included
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, L"DefaultInstance", RRF_RT_REG_SZ, nullptr, nullptr,
                     &size) != ERROR_SUCCESS || size < sizeof(wchar_t))
    return "";
  std::wstring value(size / sizeof(wchar_t), L'\0');
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, L"DefaultInstance", RRF_RT_REG_SZ, nullptr,
                     value.data(), &size) != ERROR_SUCCESS)
    return "";
  std::string folder = platform::win::Utf8(value.c_str());
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  return folder;
}

// The system folder (System32), where the Firebird installer may copy the
// client library; "" when it cannot be had.
std::string SystemFolder() {
  std::wstring buf(MAX_PATH, L'\0');
  const UINT n = ::GetSystemDirectoryW(buf.data(), static_cast<UINT>(buf.size()));
  if (n == 0) return "";
  if (n >= buf.size()) {
    buf.resize(n);
    if (::GetSystemDirectoryW(buf.data(), static_cast<UINT>(buf.size())) >= buf.size()) return "";
  }
  return platform::win::Utf8(buf.c_str());
}

// Where the library is looked for, in order, always by its full path: beside
// the executable, in the registered Firebird instance, in the system folder.
// Never along PATH, whose folders anyone may have been allowed to write.
std::vector<std::string> Candidates() {
  std::vector<std::string> out;
  try {
    out.push_back(platform::ExecutableFolder() + "\\" + kLibrary);
  } catch (const std::exception&) {
  }
  const std::string instance = InstanceFolder();
  if (!instance.empty()) {
    out.push_back(instance + "\\" + kLibrary);
    out.push_back(instance + "\\bin\\" + kLibrary);  // layout of older versions
  }
  const std::string system = SystemFolder();
  if (!system.empty()) out.push_back(system + "\\" + kLibrary);
  return out;
}

MasterProc Load() {
  std::string tried;
  for (const std::string& path : Candidates()) {
    const std::string& shown = path;
    DWORD oldMode = 0;
    ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    // Its own dependencies (the C++ runtime of its build...) beside it, or
    // in the system folder.
    HMODULE module =
        ::LoadLibraryExW(platform::win::Wide(path).c_str(), nullptr,
                         LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    const DWORD err = ::GetLastError();
    ::SetThreadErrorMode(oldMode, nullptr);
    if (module == nullptr) {
      // A file that is there but cannot be loaded deserves its reason.
      tried += (tried.empty() ? "" : "; ") + shown;
      if (err != ERROR_MOD_NOT_FOUND && err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND)
        tried += ": " + platform::win::ErrorText(err);
      continue;
    }
    auto proc = reinterpret_cast<MasterProc>(
        reinterpret_cast<void*>(::GetProcAddress(module, kEntryPoint)));
    if (proc == nullptr) {
      ::FreeLibrary(module);
      tried += (tried.empty() ? "" : "; ") + shown + ": sem " + kEntryPoint +
               " (é preciso o Firebird 3 ou mais recente)";
      continue;
    }
    return proc;  // the library stays loaded until the process ends
  }
  throw std::runtime_error(std::string("Biblioteca cliente do Firebird não encontrada: ") +
                           kLibrary + " (procurada em: " + tried + ")");
}

}  // namespace

namespace platform {

Firebird::IMaster* FirebirdMaster() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_master == nullptr) g_master = Load();
  return g_master();
}

}  // namespace platform
