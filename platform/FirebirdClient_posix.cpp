#include "platform/FirebirdClient.h"

#include <firebird/Interface.h>

namespace platform {

Firebird::IMaster* FirebirdMaster() { return Firebird::fb_get_master_interface(); }

}  // namespace platform
