#include "platform/TPackage.h"

#include <stdexcept>

#include "platform/Win32Api_windows.h"

namespace {

// A package is always a file: its full path (backslashes, resolved against
// the current folder, of any length), so that the system never looks for it
// along the search path, where anyone who can write one folder of PATH
// would choose the code the service runs.
std::wstring FileName(const std::string& path) {
  std::string native = path;
  for (char& c : native)
    if (c == '/') c = '\\';
  const std::wstring wide = platform::win::Wide(native);
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return wide;
    if (n < full.size()) return full.substr(0, n);
    full.resize(n);  // n counts the terminating NUL when the buffer is short
  }
}

[[noreturn]] void Fail(const std::string& path, const std::string& reason) {
  throw std::runtime_error("Não foi possível carregar o pacote '" + path + "': " + reason);
}

}  // namespace

TPackage::TPackage(const std::string& path) : path_(path) {
  if (path.empty() || path.find('\0') != std::string::npos) Fail(path, "nome de arquivo inválido");
  // No message box for a library the system cannot map (a service has
  // nobody to click it away): the failure comes back as an error code.
  DWORD oldMode = 0;
  ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
  // Loading runs the library's initialisation (DllMain, static constructors).
  // What the package itself imports is looked for beside it and in the
  // system folder only, never along PATH.
  HMODULE module = ::LoadLibraryExW(FileName(path).c_str(), nullptr,
                                    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  const DWORD err = ::GetLastError();
  ::SetThreadErrorMode(oldMode, nullptr);
  if (module == nullptr) Fail(path, platform::win::ErrorText(err));
  handle_ = module;
}

TPackage::~TPackage() {
  if (handle_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

void* TPackage::GetProcAddress(const std::string& name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name.c_str()));
}

void TPackage::Leak() { handle_ = nullptr; }

bool TPackage::IsLoaded(const std::string& path) {
  HMODULE module = nullptr;
  return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, FileName(path).c_str(),
                              &module) != 0;
}
