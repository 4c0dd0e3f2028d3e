// Detection of a manual change of the system clock.
//
// The watch owns a handle that becomes readable when the system's wall clock
// is set (by an administrator, a time daemon stepping the clock, ...). The
// owner waits on Handle() in its loop and calls ClockWasSet() when it is
// readable. Not thread-safe: one owner thread.
#pragma once

class KxTimeChangeWatch {
 public:
  // Throws std::system_error when the system refuses the watch.
  KxTimeChangeWatch();
  KxTimeChangeWatch(const KxTimeChangeWatch&) = delete;
  KxTimeChangeWatch& operator=(const KxTimeChangeWatch&) = delete;
  ~KxTimeChangeWatch();

  // A pollable descriptor (readable when something happened).
  int Handle() const { return fd_; }

  // Consumes what made the handle readable and arms the watch again.
  // True when the clock was set since the last call; false otherwise
  // (nothing pending, or only the watch's own far-away expiry).
  bool ClockWasSet();

 private:
  void Arm();
  int fd_ = -1;
};
