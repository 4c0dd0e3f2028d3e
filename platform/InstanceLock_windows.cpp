#include "platform/InstanceLock.h"

#include "platform/Win32Api_windows.h"

struct KxInstanceLock::Handle {
  platform::win::UniqueHandle mutex;
};

namespace {

[[noreturn]] void FailRunning(const std::string& target, const std::string& name) {
  throw EInstanceRunning("outra instância do Telvane já está em execução para o banco " + target +
                         "; trava: " + name);
}

}  // namespace

KxInstanceLock::KxInstanceLock(const std::string& target) : handle_(std::make_unique<Handle>()) {
  // Global: one name for every session, so that a copy started in a console
  // sees the one the service manager runs.
  name_ = "Global\\telvane-" + SafeName(target);
  const std::wstring wide = platform::win::Wide(name_);
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, wide.c_str());
  const DWORD err = ::GetLastError();
  if (mutex != nullptr) {
    handle_->mutex.Reset(mutex);
    // The name existed: another process made it and still holds it open.
    if (err == ERROR_ALREADY_EXISTS) FailRunning(target, name_);
    return;
  }
  if (err == ERROR_ACCESS_DENIED) {
    // Either it exists and belongs to a process this user may not open (the
    // service, running as another account), or this user may not create
    // global names at all. Opening it tells the two apart.
    HANDLE existing = ::OpenMutexW(SYNCHRONIZE, FALSE, wide.c_str());
    const DWORD openErr = ::GetLastError();
    if (existing != nullptr) ::CloseHandle(existing);
    if (existing != nullptr || openErr == ERROR_ACCESS_DENIED) FailRunning(target, name_);
  }
  throw std::runtime_error("não foi possível criar a trava " + name_ + ": " +
                           platform::win::ErrorText(err));
}

// Closing the last handle removes the name; the system does it too when the
// process ends, however it ends.
KxInstanceLock::~KxInstanceLock() = default;
