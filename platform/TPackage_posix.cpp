#include "platform/TPackage.h"

#include <dlfcn.h>

#include <stdexcept>

namespace {

// dlopen searches the system's library folders for a bare file name; a
// package is always a file, so a name without a folder means the current one.
std::string FileName(const std::string& path) {
  if (path.find('/') == std::string::npos) return "./" + path;
  return path;
}

}  // namespace

TPackage::TPackage(const std::string& path) : path_(path) {
  if (path.empty() || path.find('\0') != std::string::npos)
    throw std::runtime_error("Não foi possível carregar o pacote '" + path +
                             "': nome de arquivo inválido");
  dlerror();  // forget any earlier error
  // Loading runs the library's initialisation (its static constructors).
  handle_ = dlopen(FileName(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = dlerror();
    throw std::runtime_error("Não foi possível carregar o pacote '" + path +
                             "': " + (reason != nullptr ? reason : "erro desconhecido"));
  }
}

TPackage::~TPackage() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* TPackage::GetProcAddress(const std::string& name) const {
  if (handle_ == nullptr) return nullptr;
  return dlsym(handle_, name.c_str());
}

void TPackage::Leak() { handle_ = nullptr; }

bool TPackage::IsLoaded(const std::string& path) {
  void* handle = dlopen(FileName(path).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}
