// A re-entrant lock: the thread that holds it may take it again.
// Usable with std::lock_guard / std::unique_lock.
#pragma once

#include <mutex>

class TCriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};
