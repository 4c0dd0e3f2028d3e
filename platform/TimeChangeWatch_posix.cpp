// A timerfd on CLOCK_REALTIME armed with TFD_TIMER_CANCEL_ON_SET: the kernel
// cancels it (read fails with ECANCELED) whenever the wall clock is set.
// The timer itself is armed years ahead and is never meant to expire.
#include "platform/TimeChangeWatch.h"

#include <cerrno>
#include <cstdint>
#include <system_error>

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

// Nothing beyond the descriptor on POSIX.
struct KxTimeChangeWatch::Window {};

namespace {
constexpr time_t kFarAhead = 10LL * 365 * 24 * 3600;  // about ten years
}

KxTimeChangeWatch::KxTimeChangeWatch() {
  handle_ = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
  if (handle_ < 0) throw std::system_error(errno, std::generic_category(), "timerfd_create");
  try {
    Arm();
  } catch (...) {
    ::close(handle_);
    throw;
  }
}

KxTimeChangeWatch::~KxTimeChangeWatch() {
  if (handle_ >= 0) ::close(handle_);
}

void KxTimeChangeWatch::Arm() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  itimerspec when{};
  when.it_value.tv_sec = now.tv_sec + kFarAhead;
  if (::timerfd_settime(handle_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &when, nullptr) != 0)
    throw std::system_error(errno, std::generic_category(), "timerfd_settime");
}

bool KxTimeChangeWatch::ClockWasSet() {
  uint64_t expirations = 0;
  ssize_t n;
  do {
    n = ::read(handle_, &expirations, sizeof expirations);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == ECANCELED) {
    // A cancelled timer stays cancelled until it is armed again.
    Arm();
    return true;
  }
  if (n == static_cast<ssize_t>(sizeof expirations)) Arm();  // the far expiry came
  return false;
}
