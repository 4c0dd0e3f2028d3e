#include "platform/ThreadExit.h"

#include <utility>
#include <vector>

namespace platform {
namespace {

struct ExitWork {
  std::vector<std::pair<void (*)(void*), void*>> work;
  ~ExitWork() {
    for (const auto& [fn, arg] : work) fn(arg);
  }
};

}  // namespace

void AtThreadExit(void (*fn)(void*), void* arg) {
  thread_local ExitWork exitWork;
  exitWork.work.emplace_back(fn, arg);
}

}  // namespace platform
