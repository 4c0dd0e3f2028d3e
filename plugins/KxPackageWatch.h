// The package calls of one worker thread, each made on a runner thread and
// awaited within a bound, so that a call that never returns (a driver's read
// without a timeout, the classic bug) holds one equipment, not the worker
// and every other equipment with it.
//
// Contract:
//  - Owned and used by one worker (the acquisition or the online thread):
//    Call() and Busy() run on that worker only.
//  - Calls run one at a time, in the order made, on the watch's runner. One
//    that has not returned within kCallBound (of the worker's clock's
//    monotonic time or of real time, whichever passes first; a setting of
//    the wall clock is no time passing), or when the worker is asked to end
//    meanwhile, is left behind: Call() gives no answer, the runner stays
//    with the call (abandoned, see TThread::Abandon, and freed only once the
//    call has returned) and the next call gets a new runner. The equipment is Busy() until the call
//    left behind returns; the worker does not call it meanwhile, so no
//    equipment object is ever in two calls of one worker at once.
//  - A job captures by value and touches nothing but its equipment object
//    and its own answer: a call left behind writes only there when it
//    returns. Nothing of the installation may be freed while such a call is
//    out (the stop looks at CallsOut()).
//  - What the package throws is turned into the service's own exception on
//    the runner (the package is certainly loaded there) and thrown again by
//    Call() on the worker, as std::runtime_error with the package's message.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class KxClock;

class KxPackageWatch {
 public:
  static constexpr std::chrono::seconds kCallBound{120};

  // `terminated`: the worker's stop request, read while a call is awaited.
  KxPackageWatch(KxClock& clock, const std::atomic<bool>* terminated);
  KxPackageWatch(const KxPackageWatch&) = delete;
  KxPackageWatch& operator=(const KxPackageWatch&) = delete;
  // Ends the idle runner and frees those left behind whose call has
  // returned; one still inside its call is never freed.
  ~KxPackageWatch();

  // Runs `job` for the equipment `equipId`; its answer, or none when the
  // call was left behind.
  template <typename R>
  std::optional<R> Call(int32_t equipId, std::function<R()> job) {
    auto answer = std::make_shared<std::optional<R>>();
    if (!Run(equipId, [job = std::move(job), answer] { answer->emplace(job()); }))
      return std::nullopt;
    return std::move(*answer);
  }

  // True while a call of the equipment left behind has not returned.
  bool Busy(int32_t equipId);

  // Calls left behind, by every watch of the process, that have not
  // returned yet: while not 0, some thread is inside a package. Any thread.
  static int CallsOut();

 private:
  struct Job;
  class Runner;

  // False when the call was left behind.
  bool Run(int32_t equipId, std::function<void()> work);
  bool Await(const Job& job);

  // A runner left behind with its call: freed once the call has returned.
  struct LeftBehind {
    std::shared_ptr<Job> job;
    Runner* runner;
  };
  // Frees the runner of a call that has returned; false while it has not.
  static bool Reclaim(LeftBehind& left);

  KxClock& clock_;
  const std::atomic<bool>* terminated_;
  Runner* runner_ = nullptr;  // owned until left behind with a call
  std::map<int32_t, LeftBehind> leftBehind_;
};
