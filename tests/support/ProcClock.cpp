#include "support/ProcClock.h"

#include <cerrno>
#include <cstring>

#include <time.h>

namespace proc {

bool SetClockToNow(std::string& why) {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0 || ::clock_settime(CLOCK_REALTIME, &now) != 0) {
    why = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace proc
