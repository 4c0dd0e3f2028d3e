// The time source of the service's threads.
//
// Every thread takes "now" and its pauses from one KxClock. The service runs
// on the real clock (KxClock::Real()); tests hand a fake one to the threads so
// that a 30 s pause or the 12:00 trigger costs no real minutes.
//
// Two readings: Now() is the wall clock, for dates (of rows, of the log's
// lines, of the 12:00 trigger); a person or the time service may set it
// forward or back at any moment. MonotonicMs() only moves on with time: every
// bound and every length of time is measured as a difference of it, never of
// Now(), so that a setting of the clock neither ends a wait early nor makes
// one last for ever.
#pragma once

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <mutex>

#include "platform/DateTime.h"

// Something a sleeping thread can be woken by (its termination request).
// Thread-safe.
class KxWakeup {
 public:
  // Wakes every current and later WaitFor, for good.
  void Signal();
  bool Signalled() const;
  // Blocks for up to `timeout` real time; returns true when signalled.
  bool WaitFor(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool signalled_ = false;  // guarded by mutex_
};

class KxClock {
 public:
  virtual ~KxClock() = default;
  // Local time now.
  virtual TDateTime Now() = 0;
  // Milliseconds of a clock that no setting of the wall clock moves (real:
  // std::chrono::steady_clock); only differences of two readings mean
  // anything.
  virtual int64_t MonotonicMs();
  // Pauses for `ms` milliseconds of this clock's time; returns early when
  // `wakeup` is signalled (a stop request).
  virtual void Sleep(unsigned ms, const KxWakeup& wakeup) = 0;

  // The real clock: the system's local time and real pauses. Never freed.
  static KxClock& Real();
};
