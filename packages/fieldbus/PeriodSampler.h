// What a meter driver that keeps a SampleJournal (ModbusMeter, MbusMeter)
// does whatever its protocol: sample at each period boundary of the local
// clock from a thread of its own, and ask a meter that does not answer less
// often while the others on its line answer.
//
// PeriodSampler: the sampling thread. It calls the driver's round at each
// boundary of the local clock, only while it is within min(period / 2,
// 60 s) of it (after a suspended machine or a clock jump the values would
// not be those of that moment). A boundary the journal already has (the
// clock was set back) is not sampled again; records dated after the clock
// (it was ahead, then corrected) are moved aside at the start or at the
// first boundary they block, so sampling goes on by the clock at once. A
// boundary left unread (late, or blocked by a newer record) is said once per
// run of them, with the count when the run ends.
//
// Threads: Start and Stop from the driver's constructor and destructor; the
// round runs on the sampling thread; StopFlag is read by any thread (the
// driver passes it to the requests it makes, so that they give up).
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "packages/fieldbus/FailureRun.h"
#include "packages/fieldbus/LocalClock.h"
#include "packages/fieldbus/SampleJournal.h"

namespace fb {

// Which boundaries ask a meter that gives no answer at all. It costs the
// line's timeout x attempts at every round it is asked, and the healthy
// meters behind it wait that long for their own boundaries: a meter that
// stays silent while others on its line answer (they answered between two
// of its rounds that got no answer) is asked only at every gap-th boundary
// (spread by `spread`, its address, over the meters of a line), the gap
// doubling while it stays so, up to kMaxSilentGapMs. A line, gateway or
// converter silent as a whole backs off nobody. Any answer brings the meter
// back to every boundary.
//
// Threads: the sampling thread, the acquisition thread (a first visit's
// reading) and the online thread (a live read that got an answer).
class SilenceBackoff {
 public:
  // The longest gap between the rounds that ask it (never below one period).
  static constexpr int64_t kMaxSilentGapMs = 15 * kMsPerMinute;

  SilenceBackoff(int64_t periodMs, int64_t spread)
      : periodMs_(periodMs), spread_(spread), maxGap_(std::max<int64_t>(1, kMaxSilentGapMs / periodMs)) {}

  // A reading that got no answer; `lineAnswers` as its last reply told it.
  // True when the meter begins to back off (the caller says so).
  bool Silent(uint64_t lineAnswers) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool othersAnswered = silentAt_.has_value() && lineAnswers > *silentAt_;
    silentAt_ = lineAnswers;
    if (!othersAnswered) return false;
    const bool begins = gap_ == 1 && maxGap_ > 1;
    gap_ = std::min(maxGap_, gap_ * 2);
    return begins;
  }
  // A reading that was not silent (an answer, or a line that cannot be
  // used at all, which says nothing of the meter).
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    gap_ = 1;
    silentAt_.reset();
  }
  bool Skip(int64_t boundary) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return gap_ > 1 && (boundary / periodMs_ + spread_) % gap_ != 0;
  }
  int64_t MaxGap() const { return maxGap_; }

 private:
  mutable std::mutex mutex_;
  const int64_t periodMs_;
  const int64_t spread_;
  const int64_t maxGap_;
  int64_t gap_ = 1;
  std::optional<uint64_t> silentAt_;  // lineAnswers after its last reading, when it got no answer
};

class PeriodSampler {
 public:
  using RoundFn = std::function<void(int64_t boundaryMs)>;

  PeriodSampler(int64_t periodMs, SampleJournal::LogFn log) : periodMs_(periodMs), log_(std::move(log)) {}
  ~PeriodSampler() { Stop(); }
  PeriodSampler(const PeriodSampler&) = delete;
  PeriodSampler& operator=(const PeriodSampler&) = delete;

  // Starts the thread: `round` is called for each boundary to sample, the
  // journal having nothing at or after it. `journal` outlives Stop.
  void Start(SampleJournal* journal, RoundFn round);
  // Stops the thread (a round in progress sees StopFlag) and waits for it.
  void Stop();
  const std::atomic<bool>* StopFlag() const { return &stop_; }
  bool Stopping() const { return stop_.load(); }
  int64_t PeriodMs() const { return periodMs_; }

 private:
  // Boundaries left unread for one cause: the first of a run is said; the
  // run ends with the second boundary in a row not left so, said with its
  // count. Sampling thread only.
  class SkipRun {
   public:
    bool Skipped() {
      clean_ = 0;
      return run_.Begin();
    }
    int64_t Clean() { return run_.Running() && ++clean_ >= 2 ? run_.End() : 0; }

   private:
    FailureRun run_;
    int clean_ = 0;
  };
  enum class Outcome { Handled, Late, Blocked };

  void Run();
  int64_t StartingBoundary();
  bool Holds(int64_t boundary);
  bool Unblocked(int64_t boundary);
  void Note(Outcome outcome, int64_t boundary, int64_t late);

  const int64_t periodMs_;
  SampleJournal::LogFn log_;
  SampleJournal* journal_ = nullptr;
  RoundFn round_;
  std::mutex waitMutex_;
  std::condition_variable wake_;
  std::atomic<bool> stop_{false};
  SkipRun late_;
  SkipRun blocked_;
  std::thread thread_;
};

}  // namespace fb
