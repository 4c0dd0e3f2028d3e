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
//  - An owner that cannot wait for ever (a thread may be stuck inside a
//    package call that never returns) uses WaitFor(timeout). A thread that
//    has not ended by then is Abandon()ed: its object is never deleted, and
//    nothing it may still use may be freed; the process ends without its
//    static destructors (see AbandonedCount()).
//  - An exception escaping Execute() ends the thread, never silently: one
//    line "<name>: thread encerrada por exceção: <message>" goes to the sink
//    given with SetReportSink() (the service's log), or to standard error
//    when there is none.
// Thread safety: Terminate(), Terminated(), Finished() and both WaitFor()
// may be called from any thread; WaitFor() from one thread at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
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
  // The same for at most `timeout` (real time); true when Execute() has
  // returned (the thread is then joined), false when it still runs.
  bool WaitFor(std::chrono::milliseconds timeout);
  // True once Execute() has returned.
  bool Finished() const { return finished_.load(); }

  // Gives up on a thread that did not end: the owner leaks the object (it is
  // never deleted, so its std::thread is never joined) and must keep alive
  // whatever the thread uses.
  void Abandon();
  // Threads abandoned in this process. When not 0, the process must end with
  // _exit() after its last log line: static destructors and freed objects
  // would pull memory from under a thread that may still wake up.
  static int AbandonedCount();

  // Progress: the thread calls Beat() as it does its work (every Sleep()
  // beats too); Beats() counts them, for a supervisor that sees a thread
  // whose count stands still for long as stalled. Any thread.
  void Beat() { beats_.fetch_add(1, std::memory_order_relaxed); }
  uint64_t Beats() const { return beats_.load(std::memory_order_relaxed); }

  const std::string& Name() const { return name_; }
  KxClock& Clock() const { return clock_; }

 protected:
  // `name` is the tag the thread's lines begin with ("CommThread").
  explicit TThread(KxClock& clock = KxClock::Real(), std::string name = "Thread");
  void Start();
  virtual void Execute() = 0;
  // Pauses `ms` milliseconds of the thread's clock; a termination request
  // cuts the pause short.
  void Sleep(unsigned ms);
  // Where the line of an exception that escaped Execute() goes. Set before
  // Start(); called on the thread itself.
  void SetReportSink(std::function<void(const std::string& line)> sink);

 private:
  void Run();

  KxClock& clock_;
  std::string name_;
  std::function<void(const std::string&)> sink_;
  KxWakeup wakeup_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<uint64_t> beats_{0};
  std::mutex endMutex_;
  std::condition_variable endCv_;
  std::thread thread_;
};
