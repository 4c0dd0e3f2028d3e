// A KxClock for tests.
//
// Now() is the fake time, set by the test. Sleep(ms) works in one of two modes:
//  - Auto (default): the fake time moves on by ms and the call returns after
//    a tiny real pause (ms / RealDivisor() real milliseconds, at least a
//    yield), or at once when woken by a stop request. A thread's 5 s start
//    pause or 30 s error pause then costs a few real milliseconds.
//  - Manual: the fake time does not move by itself; each Sleep blocks until
//    the test hands out a "ticket" with Release(n), or the thread is woken by
//    its stop request. WaitBlocked() waits until a sleeper has used every
//    ticket and is blocked again, so the test knows the thread has finished
//    the work between two pauses.
// Every sleep is recorded (SleepLog). Thread-safe.
//
// MonotonicMs() is a fake time of its own: it moves with AdvanceMs and with
// the sleeps of the Auto mode, never with Set, so that a test can step the
// wall time (a setting of the system's clock) without any time passing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Clock.h"

class FakeClock : public KxClock {
 public:
  explicit FakeClock(TDateTime start = dt::EncodeDateTime(2016, 3, 16, 10, 0, 0));

  TDateTime Now() override;
  int64_t MonotonicMs() override;
  void Sleep(unsigned ms, const KxWakeup& wakeup) override;

  // The wall time only (a setting of the clock).
  void Set(TDateTime now);
  // Time passes: the wall and the monotonic time move on by `ms`.
  void AdvanceMs(int64_t ms);
  // Every Now() call moves the fake time on by `ms` after reading it (0 by
  // default), so that two reads of the time can be told apart.
  void SetNowStep(int64_t ms);

  // Auto mode: real milliseconds per sleep = ms / divisor (default 1000).
  void SetRealDivisor(unsigned divisor);

  void SetManual(bool manual);
  // Manual mode: lets the next `count` sleeps return.
  void Release(int count);
  // Manual mode: waits until some thread is blocked in Sleep with no ticket
  // left. False on timeout.
  bool WaitBlocked(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Every Sleep's duration, in call order.
  std::vector<unsigned> SleepLog();
  // Number of Sleep calls of exactly `ms`.
  int SleepCount(unsigned ms);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int64_t nowMs_;  // fake time in whole milliseconds since 30/12/1899
  int64_t monotonicMs_ = 0;
  int64_t nowStep_ = 0;
  unsigned divisor_ = 1000;
  bool manual_ = false;
  int tickets_ = 0;
  int blocked_ = 0;
  std::vector<unsigned> log_;
};
