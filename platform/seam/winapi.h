// The package's one way to the system's user-mode services: the functions of winapi_functions.inc, reached
// as win::Name with the platform's own names, signatures and contracts.
//   Windows build: the system's functions themselves (<windows.h>, <setupapi.h>).
//   Host build:    the simulated machine (platform/sim), which keeps the same contracts.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <setupapi.h>
#else
#include "platform/seam/wintypes.h"
#endif

namespace win {
#ifdef _WIN32
#define WINFN(ret, name, params) using ::name;
#else
#define WINFN(ret, name, params) ret name params;
#endif
#include "platform/seam/winapi_functions.inc"
#undef WINFN
}  // namespace win
