#include "platform/ThreadExit.h"

#include <utility>
#include <vector>

#include "platform/Win32Api_windows.h"

namespace platform {
namespace {

using ExitWork = std::vector<std::pair<void (*)(void*), void*>>;

// Called by the system when a thread with a list in the slot ends.
void WINAPI RunExitWork(void* data) {
  auto* work = static_cast<ExitWork*>(data);
  for (const auto& [fn, arg] : *work) fn(arg);
  delete work;
}

DWORD Slot() {
  static const DWORD slot = ::FlsAlloc(RunExitWork);  // never freed
  return slot;
}

}  // namespace

void AtThreadExit(void (*fn)(void*), void* arg) {
  const DWORD slot = Slot();
  if (slot == FLS_OUT_OF_INDEXES) return;  // nothing runs: the objects are left to the system
  auto* work = static_cast<ExitWork*>(::FlsGetValue(slot));
  if (work == nullptr) {
    work = new ExitWork();
    ::FlsSetValue(slot, work);
  }
  work->emplace_back(fn, arg);
}

}  // namespace platform
