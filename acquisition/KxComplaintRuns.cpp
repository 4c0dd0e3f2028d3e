#include "acquisition/KxComplaintRuns.h"

bool KxComplaintRuns::Note(int32_t equipId, int cause) {
  return runs_[{equipId, cause}]++ == 0;
}

int64_t KxComplaintRuns::End(int32_t equipId, int cause) {
  const auto it = runs_.find({equipId, cause});
  if (it == runs_.end()) return 0;
  const int64_t count = it->second;
  runs_.erase(it);
  return count;
}

int KxComplaintRuns::Open(int cause) const {
  int open = 0;
  for (const auto& [key, count] : runs_)
    if (key.second == cause && count > 0) ++open;
  return open;
}
