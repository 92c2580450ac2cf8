// The install engine's assertion: a precondition that does not hold (a required function entry missing, a
// string argument null) is a programming error. It is reported in a message box "File %s, line %d : %s" over
// the active window, with the engine module's file name as caption, and breaks into a debugger when one is
// attached; the operation then fails (returns false) instead of going on.
#pragma once

#include "platform/seam/winapi.h"

// Reports the failed precondition `what` of `file` (a source path) at `line`. The message is cut to fit its
// 128-character buffer.
void EngineAssertFailed(const char* file, int line, const char* what);

// The module whose file name captions the assertion's box (the engine library; null: the program).
void SetEngineModule(HMODULE module);

// Checks a precondition; when it does not hold, reports it and returns `failed` from the calling function.
#define ENGINE_REQUIRE(condition, what, failed)     \
  do {                                              \
    if (!(condition)) {                             \
      EngineAssertFailed(__FILE__, __LINE__, what); \
      return failed;                                \
    }                                               \
  } while (0)
