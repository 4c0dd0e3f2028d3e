// The turn of one request on a shared bus: requests get the bus one at a
// time, in the order they asked for it, so that a meter that keeps the bus
// busy (many registers, timeouts) cannot keep another waiting for more than
// the requests queued before it. A waiter gives up when its cancel flag is
// set (looked at every few milliseconds).
//
// Threads: any; the sampling threads of every meter on the bus and the
// service's online thread wait here at once.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace fb {

class BusQueue {
 public:
  // Waits for the bus; false (without it) when `cancel` was set first.
  bool Acquire(const std::atomic<bool>* cancel) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t ticket = next_++;
    queue_.push_back(ticket);
    while (busy_ || queue_.front() != ticket) {
      if (cancel != nullptr && cancel->load()) {
        queue_.erase(std::find(queue_.begin(), queue_.end(), ticket));
        cv_.notify_all();
        return false;
      }
      cv_.wait_for(lock, std::chrono::milliseconds(20));
    }
    queue_.pop_front();
    busy_ = true;
    return true;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<uint64_t> queue_;  // tickets waiting, oldest first
  uint64_t next_ = 0;
  bool busy_ = false;
};

// Holds the bus for one scope.
class BusTurn {
 public:
  BusTurn(BusQueue& bus, const std::atomic<bool>* cancel) : bus_(bus), held_(bus.Acquire(cancel)) {}
  ~BusTurn() {
    if (held_) bus_.Release();
  }
  BusTurn(const BusTurn&) = delete;
  BusTurn& operator=(const BusTurn&) = delete;
  bool Held() const { return held_; }

 private:
  BusQueue& bus_;
  bool held_;
};

}  // namespace fb
