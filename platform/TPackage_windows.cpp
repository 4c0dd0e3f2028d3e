#include "platform/TPackage.h"

#include <stdexcept>

#include "platform/Win32Api_windows.h"

namespace {

// LoadLibraryW wants backslashes, and searches the system's folders for a
// bare file name; a package is always a file, so a name without a folder
// means the current one.
std::wstring FileName(const std::string& path) {
  std::string native = path;
  for (char& c : native)
    if (c == '/') c = '\\';
  if (native.find('\\') == std::string::npos) native = ".\\" + native;
  return platform::win::Wide(native);
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
  HMODULE module = ::LoadLibraryW(FileName(path).c_str());
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
