// The simulated machine's own definitions of the functions programs load by name ("cfgmgr32", "Advapi32",
// "Setupapi", "newdev"): what its libraries hand out from GetProcAddress, and what its tests call directly.
#pragma once

#include "platform/seam/winapi.h"

namespace sim::api {
#define WINFN(ret, name, params)
#define WINLOADFN(library, ret, name, params) ret WINAPI name params;
#include "platform/seam/winapi_functions.inc"
#undef WINLOADFN
#undef WINFN
}  // namespace sim::api
