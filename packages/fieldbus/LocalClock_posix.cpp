#include "packages/fieldbus/LocalClock.h"

#include <chrono>
#include <ctime>

namespace fb {

namespace {
// Days from 30/12/1899 to 01/01/1970.
constexpr int64_t kUnixEpochDays = 25569;
}  // namespace

int64_t LocalNowMs() {
  using namespace std::chrono;
  const int64_t epochMs = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(FloorDiv(epochMs, kMsPerSecond));
  std::tm local{};
  localtime_r(&secs, &local);
  // The local wall time read as if it were UTC: a linear count of local seconds.
  const int64_t localSecs = static_cast<int64_t>(timegm(&local));
  return (localSecs + kUnixEpochDays * 86400) * kMsPerSecond + (epochMs - secs * kMsPerSecond);
}

std::string FormatMs(int64_t ms) {
  const std::time_t secs =
      static_cast<std::time_t>(FloorDiv(ms, kMsPerSecond) - kUnixEpochDays * 86400);
  std::tm parts{};
  gmtime_r(&secs, &parts);
  char buf[32];
  std::strftime(buf, sizeof buf, "%d/%m/%Y %H:%M:%S", &parts);
  return buf;
}

}  // namespace fb
