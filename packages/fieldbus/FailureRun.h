// A complaint that would otherwise repeat (at every round, every day) for the
// same equipment and the same cause: its owner writes a line when the run
// begins, counts the repetitions silently, and writes one line with the count
// when it ends.
//
// Threads: none of its own; its owner serialises the calls (the journal's
// mutex, the meter's sampling thread).
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace fb {

class FailureRun {
 public:
  // One more occurrence; true for the first of a run (the owner says it).
  bool Begin() { return count_++ == 0; }
  // The run ends: the number of occurrences it had (0 when none was running).
  int64_t End() { return std::exchange(count_, 0); }
  bool Running() const { return count_ > 0; }

  // " (N falha(s))", the count as the closing lines give it.
  static std::string Times(int64_t n, const char* what) {
    return " (" + std::to_string(n) + " " + what + ")";
  }

 private:
  int64_t count_ = 0;
};

}  // namespace fb
