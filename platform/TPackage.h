// A loaded package: a shared library (POSIX: dlopen) or a DLL (Windows:
// LoadLibraryW). A path without a folder means the current folder, never
// the system's library search path.
#pragma once

#include <memory>
#include <string>

class TPackage {
 public:
  // Loads the library at `path` and runs its initialisation. Throws
  // std::runtime_error whose message names the package and gives the
  // system's reason.
  explicit TPackage(const std::string& path);
  TPackage(const TPackage&) = delete;
  TPackage& operator=(const TPackage&) = delete;
  // Unloads the library.
  ~TPackage();

  // Address of an exported entry point, or nullptr.
  void* GetProcAddress(const std::string& name) const;
  // Keeps the library loaded until the process ends (the handle is dropped).
  void Leak();
  const std::string& Path() const { return path_; }

  // Whether the library at `path` is loaded in this process (tests).
  static bool IsLoaded(const std::string& path);

 private:
  std::string path_;
  void* handle_ = nullptr;
};
