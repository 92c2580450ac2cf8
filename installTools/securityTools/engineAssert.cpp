#include "installTools/securityTools/engineAssert.h"

#include <cstdio>
#include <cstring>

namespace {

HMODULE engineModule = nullptr;

// The source path from the project's own folders on ("installTools/securityTools/securityTools.cpp").
const char* sourcePath(const char* file) {
  if (!file) return "";
  const char* from = std::strstr(file, "installTools");
  return from ? from : file;
}

}  // namespace

void SetEngineModule(HMODULE module) { engineModule = module; }

void EngineAssertFailed(const char* file, int line, const char* what) {
  char message[128];
  std::snprintf(message, sizeof message, "File %s, line %d : %s", sourcePath(file), line, what ? what : "");
  char caption[MAX_PATH] = {};
  if (!win::GetModuleFileNameA(engineModule, caption, sizeof caption)) caption[0] = '\0';
  caption[sizeof caption - 1] = '\0';
  win::MessageBoxA(win::GetActiveWindow(), message, caption, MB_OK);
  if (win::IsDebuggerPresent()) win::DebugBreak();
}
