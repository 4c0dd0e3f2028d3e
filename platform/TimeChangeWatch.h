// Detection of a manual change of the system clock.
//
// The watch owns a handle that becomes ready when the system's wall clock
// is set (by an administrator, a time daemon stepping the clock, ...). The
// owner waits on Handle() in its loop and calls ClockWasSet() when it is
// ready. Not thread-safe: one owner thread.
//
// POSIX: a timerfd that the kernel cancels when the clock is set; Handle()
// is a descriptor to poll() for reading. Windows: the system broadcasts
// WM_TIMECHANGE to the top-level windows; the watch keeps a hidden top-level
// window (a message-only window gets no broadcasts) on a thread of its own
// that pumps its messages, and Handle() is an auto-reset event to wait on
// (WaitForMultipleObjects), set when the message came.
#pragma once

#include <memory>

class KxTimeChangeWatch {
 public:
#ifdef _WIN32
  using NativeHandle = void*;  // an event HANDLE
#else
  using NativeHandle = int;  // a descriptor
#endif

  // Throws std::system_error when the system refuses the watch.
  KxTimeChangeWatch();
  KxTimeChangeWatch(const KxTimeChangeWatch&) = delete;
  KxTimeChangeWatch& operator=(const KxTimeChangeWatch&) = delete;
  ~KxTimeChangeWatch();

  // What to wait on (ready when something happened).
  NativeHandle Handle() const { return handle_; }

  // Consumes what made the handle ready and arms the watch again.
  // True when the clock was set since the last call; false otherwise
  // (nothing pending, or only the watch's own far-away expiry).
  bool ClockWasSet();

 private:
  void Arm();
#ifdef _WIN32
  NativeHandle handle_ = nullptr;
#else
  NativeHandle handle_ = -1;
#endif
  // Windows: the window's thread and what it shares with the owner.
  struct Window;
  std::unique_ptr<Window> window_;
};
