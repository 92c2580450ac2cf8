// The entry point of "tvSetupEngine.dll": on process attach it turns off the thread notifications and keeps the
// module handle for the assertion's caption. Nothing is released on detach: the caller unloads the engine with
// _UnloadDrvMgr.
#include "installTools/securityTools/engineAssert.h"
#include "platform/seam/winapi.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    win::DisableThreadLibraryCalls(instance);
    SetEngineModule(instance);
  }
  return TRUE;
}
