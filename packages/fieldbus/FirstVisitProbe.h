// The first visit's own read of a meter that samples on a thread of its own.
//
// Until its first round is sampled, a meter has nothing in its journal that
// says whether it answers, so a wrong address would look healthy for up to a
// period. The driver therefore asks the meter once itself, at the first
// visit that finds nothing to deliver (Due), and fails the visits from then
// on (Failing) until a round is written (Sampled) or a live read gets every
// value (Answered).
//
// Threads: Due and Failing are called from the service's visit (ReadAlarme),
// Failed from the probe it runs, Sampled from the sampling thread, Answered
// from ReadOnline: every flag is atomic and no call blocks.
#pragma once

#include <atomic>

namespace fb {

class FirstVisitProbe {
 public:
  // True once: at the first call, when no round was sampled before it.
  bool Due() { return !asked_.exchange(true) && !sampled_.load(); }
  // The probe's read failed: the visits fail until the meter is heard.
  void Failed() { failed_.store(true); }
  // A round was written: the journal tells from now on.
  void Sampled() {
    sampled_.store(true);
    failed_.store(false);
  }
  // A live read got every value.
  void Answered() { failed_.store(false); }
  bool Failing() const { return failed_.load(); }

 private:
  std::atomic<bool> asked_{false};
  std::atomic<bool> sampled_{false};
  std::atomic<bool> failed_{false};
};

}  // namespace fb
