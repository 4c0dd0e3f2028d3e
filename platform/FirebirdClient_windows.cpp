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
  wchar_t value[MAX_PATH] = {};
  DWORD size = sizeof value;
  const LSTATUS rc = ::RegGetValueW(HKEY_LOCAL_MACHINE,
                                    L"SOFTWARE\\Firebird Project\\Firebird Server\\Instances",
                                    L"DefaultInstance", RRF_RT_REG_SZ, nullptr, value, &size);
  if (rc != ERROR_SUCCESS) return "";
  std::string folder = platform::win::Utf8(value);
  while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  return folder;
}

// Where the library is looked for, in order; "" stands for the system's
// search path.
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
  out.push_back("");
  return out;
}

MasterProc Load() {
  std::string tried;
  for (const std::string& path : Candidates()) {
    const std::string shown = path.empty() ? std::string(kLibrary) + " (caminho de busca do sistema)" : path;
    DWORD oldMode = 0;
    ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    HMODULE module =
        path.empty() ? ::LoadLibraryW(platform::win::Wide(kLibrary).c_str())
                     : ::LoadLibraryExW(platform::win::Wide(path).c_str(), nullptr,
                                        LOAD_WITH_ALTERED_SEARCH_PATH);
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
