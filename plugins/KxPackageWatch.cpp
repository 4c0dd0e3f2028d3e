#include "plugins/KxPackageWatch.h"

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/Clock.h"
#include "platform/ExceptionMessage.h"
#include "platform/TThread.h"

namespace {

// A call that returns within this real time is not looked at again (the
// common case costs two hand-overs and one read of the clock).
constexpr std::chrono::milliseconds kGrace{50};
// Between two looks at the bound and the stop request.
constexpr std::chrono::milliseconds kSlice{100};
// Both sides of a hand-over first spin this long (yielding) before they
// block: a quick call (a record read from memory) then costs no sleep and
// wake-up of either thread.
constexpr std::chrono::microseconds kSpin{200};

// Spins until `ready` holds or kSpin has passed; whether it holds.
template <typename Ready>
bool SpinFor(Ready ready) {
  const auto end = std::chrono::steady_clock::now() + kSpin;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::yield();
  }
  return true;
}

std::atomic<int> g_callsOut{0};

}  // namespace

struct KxPackageWatch::Job {
  std::function<void()> work;
  std::string error;  // what the package threw
  bool failed = false;
  KxWakeup done;  // signalled once work has returned
  // Set once work has returned and its answer is written: the answer may be
  // read once this is seen, before `done` is signalled.
  std::atomic<bool> finished{false};
  // Whether the call is out (left behind and not returned) is decided under
  // this lock by whichever of the worker and the runner comes first.
  std::mutex outMutex;
  bool returned = false;  // guarded by outMutex
  bool out = false;       // guarded by outMutex
};

// Runs one job at a time. Quit() makes it end once the job in hand (if any)
// has returned.
class KxPackageWatch::Runner : public TThread {
 public:
  Runner() : TThread(KxClock::Real(), "PackageCall") { Start(); }

  void Post(std::shared_ptr<Job> job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = std::move(job);
      posted_.store(true);
    }
    cv_.notify_one();
  }
  void Quit() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    cv_.notify_one();
  }

 protected:
  void Execute() override {
    for (;;) {
      std::shared_ptr<Job> job;
      SpinFor([this] { return posted_.load(); });
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return job_ || quit_; });
        if (!job_) return;
        job = std::move(job_);
        posted_.store(false);
      }
      try {
        job->work();
      } catch (...) {
        job->error = CurrentExceptionMessage();
        job->failed = true;
      }
      {
        std::lock_guard<std::mutex> lock(job->outMutex);
        job->returned = true;
        if (job->out) g_callsOut.fetch_sub(1);
      }
      job->finished.store(true);
      job->done.Signal();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::shared_ptr<Job> job_;  // guarded by mutex_
  bool quit_ = false;         // guarded by mutex_
  std::atomic<bool> posted_{false};  // job_ is set
};

KxPackageWatch::KxPackageWatch(KxClock& clock, const std::atomic<bool>* terminated)
    : clock_(clock), terminated_(terminated) {}

KxPackageWatch::~KxPackageWatch() {
  for (auto& [id, left] : leftBehind_) Reclaim(left);
  if (!runner_) return;
  runner_->Quit();
  runner_->WaitFor();
  delete runner_;
}

bool KxPackageWatch::Reclaim(LeftBehind& left) {
  if (!left.job->done.Signalled()) return false;
  // Quit() was asked when it was left behind: past its call, it ends.
  left.runner->WaitFor();
  delete left.runner;
  left.runner = nullptr;
  return true;
}

int KxPackageWatch::CallsOut() { return g_callsOut.load(); }

bool KxPackageWatch::Busy(int32_t equipId) {
  const auto it = leftBehind_.find(equipId);
  if (it == leftBehind_.end()) return false;
  if (!Reclaim(it->second)) return true;
  leftBehind_.erase(it);
  return false;
}

bool KxPackageWatch::Run(int32_t equipId, std::function<void()> work) {
  auto job = std::make_shared<Job>();
  job->work = std::move(work);
  if (!runner_) runner_ = new Runner();
  runner_->Post(job);
  if (!Await(*job)) {
    {
      std::lock_guard<std::mutex> lock(job->outMutex);
      if (!job->returned) {
        job->out = true;
        g_callsOut.fetch_add(1);
      }
    }
    // The runner stays with the call; it ends by itself once the call
    // returns, and Reclaim frees it then.
    runner_->Quit();
    runner_->Abandon();
    leftBehind_[equipId] = LeftBehind{std::move(job), runner_};
    runner_ = nullptr;
    return false;
  }
  if (job->failed) throw std::runtime_error(job->error);
  return true;
}

bool KxPackageWatch::Await(const Job& job) {
  // Measured on the monotonic readings: a setting of the wall clock while
  // a call is out says nothing of how long it has been out.
  const int64_t start = clock_.MonotonicMs();
  const auto realStart = std::chrono::steady_clock::now();
  if (SpinFor([&job] { return job.finished.load(); })) return true;
  if (job.done.WaitFor(kGrace)) return true;
  const int64_t boundMs = std::chrono::milliseconds(kCallBound).count();
  while (!job.done.WaitFor(kSlice)) {
    if (terminated_ && terminated_->load()) return false;
    if (std::chrono::steady_clock::now() - realStart >= kCallBound) return false;
    if (clock_.MonotonicMs() - start >= boundMs) return false;
  }
  return true;
}
