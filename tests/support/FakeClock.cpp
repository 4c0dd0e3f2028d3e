#include "support/FakeClock.h"

#include <thread>

FakeClock::FakeClock(TDateTime start) : nowMs_(dt::ToMSecs(start)) {}

TDateTime FakeClock::Now() {
  std::lock_guard<std::mutex> lock(mutex_);
  const TDateTime now = dt::FromMSecs(nowMs_);
  nowMs_ += nowStep_;
  return now;
}

int64_t FakeClock::MonotonicMs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return monotonicMs_;
}

void FakeClock::SetNowStep(int64_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  nowStep_ = ms;
}

void FakeClock::Set(TDateTime now) {
  std::lock_guard<std::mutex> lock(mutex_);
  nowMs_ = dt::ToMSecs(now);
}

void FakeClock::AdvanceMs(int64_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  nowMs_ += ms;
  monotonicMs_ += ms;
}

void FakeClock::SetRealDivisor(unsigned divisor) {
  std::lock_guard<std::mutex> lock(mutex_);
  divisor_ = divisor == 0 ? 1 : divisor;
}

void FakeClock::SetManual(bool manual) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    manual_ = manual;
  }
  cv_.notify_all();
}

void FakeClock::Release(int count) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tickets_ += count;
  }
  cv_.notify_all();
}

bool FakeClock::WaitBlocked(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return blocked_ > 0 && tickets_ == 0; });
}

std::vector<unsigned> FakeClock::SleepLog() {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

int FakeClock::SleepCount(unsigned ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (unsigned v : log_)
    if (v == ms) ++n;
  return n;
}

void FakeClock::Sleep(unsigned ms, const KxWakeup& wakeup) {
  std::unique_lock<std::mutex> lock(mutex_);
  log_.push_back(ms);
  if (manual_) {
    ++blocked_;
    cv_.notify_all();
    // The wakeup has its own condition variable: look at it every millisecond.
    while (tickets_ == 0 && manual_ && !wakeup.Signalled())
      cv_.wait_for(lock, std::chrono::milliseconds(1));
    if (tickets_ > 0) --tickets_;
    --blocked_;
    cv_.notify_all();
    return;
  }
  nowMs_ += ms;
  monotonicMs_ += ms;
  const unsigned real = ms / divisor_;
  lock.unlock();
  if (real == 0)
    std::this_thread::yield();
  else
    wakeup.WaitFor(std::chrono::milliseconds(real));
}
