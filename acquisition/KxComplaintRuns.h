// Runs of a complaint that repeats: what keeps the log from growing by the
// same line at every pass while an equipment keeps failing the same way (a
// meter whose records are all dated ahead, whose clock setting is refused,
// whose package throws at every call).
//
// A run is keyed by equipment and cause. Its first complaint is written to
// the log (by the caller, with today's text); the next ones are only
// counted; when the cause is gone the caller ends the run and writes one
// line with the count. So a fault that lasts a day costs two lines, not
// gigabytes.
//
// Threads: owned and used by one thread (the acquisition thread); not
// thread-safe. Nothing is kept on disk: a restart begins every run afresh.
#pragma once

#include <cstdint>
#include <map>
#include <utility>

class KxComplaintRuns {
 public:
  // One more complaint of `cause` about `equipId`. True when it begins a
  // run: the caller writes its line then, and only then.
  bool Note(int32_t equipId, int cause);
  // Ends the run of `cause` about `equipId`: the complaints it had, 0 when
  // none was open (the caller then writes nothing).
  int64_t End(int32_t equipId, int cause);
  // Equipment with a run of `cause` open.
  int Open(int cause) const;

 private:
  std::map<std::pair<int32_t, int>, int64_t> runs_;  // complaints so far, by equipment and cause
};
