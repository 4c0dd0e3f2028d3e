// The channel and channel list are shared with the packages: they are
// defined in the plug-in SDK.
#pragma once

#include "plugins/TelvaneSdk.h"
