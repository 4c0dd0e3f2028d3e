#include "platform/Clock.h"

void KxWakeup::Signal() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
  }
  cv_.notify_all();
}

bool KxWakeup::Signalled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signalled_;
}

bool KxWakeup::WaitFor(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return signalled_; });
}

int64_t KxClock::MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

namespace {

class RealClock final : public KxClock {
 public:
  TDateTime Now() override { return dt::SystemNow(); }
  void Sleep(unsigned ms, const KxWakeup& wakeup) override {
    wakeup.WaitFor(std::chrono::milliseconds(ms));
  }
};

}  // namespace

KxClock& KxClock::Real() {
  static RealClock* clock = new RealClock();  // lives until the process ends
  return *clock;
}
