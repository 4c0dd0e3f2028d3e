// The base of every thread of the service.
//
// Contract:
//  - A derived class calls Start() as the last step of its constructor: the
//    thread is then running Execute() (it is "created running").
//  - Terminate() only requests termination: it sets the flag and wakes a
//    Sleep() in progress. Execute() looks at Terminated() where it chooses.
//  - The object is not freed when Execute() ends. Its owner stops it with
//    Terminate(), WaitFor(), delete, in that order. The destructor of a
//    derived class runs while Execute() may still run unless the owner waited,
//    so owners must WaitFor() before deleting (the base destructor joins as a
//    last resort only).
//  - An exception escaping Execute() is swallowed (the thread just ends), as
//    the original thread class does.
// Thread safety: Terminate(), Terminated() and WaitFor() may be called from
// any thread; WaitFor() from one thread at a time.
#pragma once

#include <atomic>
#include <thread>

#include "platform/Clock.h"

class TThread {
 public:
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  virtual ~TThread();

  void Terminate();
  bool Terminated() const { return terminated_.load(); }
  // The termination-request flag itself (the installation loader reads it).
  const std::atomic<bool>* TerminatedFlag() const { return &terminated_; }
  // Blocks until Execute() has returned. Returns at once when it has.
  void WaitFor();
  // True once Execute() has returned.
  bool Finished() const { return finished_.load(); }

  KxClock& Clock() const { return clock_; }

 protected:
  explicit TThread(KxClock& clock = KxClock::Real());
  void Start();
  virtual void Execute() = 0;
  // Pauses `ms` milliseconds of the thread's clock; a termination request
  // cuts the pause short.
  void Sleep(unsigned ms);

 private:
  void Run();

  KxClock& clock_;
  KxWakeup wakeup_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};
