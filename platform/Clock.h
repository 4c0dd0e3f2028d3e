// The time source of the service's threads.
//
// Every thread takes "now" and its pauses from one KxClock. The service runs
// on the real clock (KxClock::Real()); tests hand a fake one to the threads so
// that a 30 s pause or the 12:00 trigger costs no real minutes.
#pragma once

#include <chrono>
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
  // Pauses for `ms` milliseconds of this clock's time; returns early when
  // `wakeup` is signalled (a stop request).
  virtual void Sleep(unsigned ms, const KxWakeup& wakeup) = 0;

  // The real clock: the system's local time and real pauses. Never freed.
  static KxClock& Real();
};
