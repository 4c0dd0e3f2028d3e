// Setting the system clock from a test.
#pragma once

#include <string>

namespace proc {

// Sets CLOCK_REALTIME to its own current value: the time does not move, but
// the system sees a manual setting of the clock (needs CAP_SYS_TIME).
// False with the reason when the system refuses.
bool SetClockToNow(std::string& why);

}  // namespace proc
