#include "installTools/engine/systemFunctions.h"

#include <type_traits>

#define SYSFN(library, entry, function) winfn::function##_t g_fn##entry = nullptr;
#include "installTools/engine/systemFunctionTable.inc"
#undef SYSFN

#ifdef _WIN32
// The seam's list holds the platform's own signatures.
#define WINFN(ret, name, params)
#define WINLOADFN(library, ret, name, params) \
  static_assert(std::is_same_v<winfn::name##_t, decltype(&::name)>, #name " has the platform's signature");
#include "platform/seam/winapi_functions.inc"
#undef WINLOADFN
#undef WINFN
#endif

namespace {

enum Library { Cfgmgr32, Advapi32, Setupapi, Newdev };

// Looks up every entry of one library in table order; false at the first one missing.
bool fill(Library library, HMODULE module) {
  auto look = [module](const char* name, auto& entry) {
    FARPROC proc = win::GetProcAddress(module, name);
    entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(reinterpret_cast<void (*)()>(proc));
    return proc != nullptr;
  };
#define SYSFN(lib, entry, function) \
  if (library == lib && !look(#function, g_fn##entry)) return false;
#include "installTools/engine/systemFunctionTable.inc"
#undef SYSFN
  return true;
}

void clear(Library library) {
#define SYSFN(lib, entry, function) \
  if (library == lib) g_fn##entry = nullptr;
#include "installTools/engine/systemFunctionTable.inc"
#undef SYSFN
}

void release(HMODULE& module) {
  if (module) win::FreeLibrary(module);
  module = nullptr;
}

}  // namespace

bool Os98_SetupApi::Load() {
  m_hCfgmgr32 = win::LoadLibraryA(m_names.cfgmgr32);
  if (!m_hCfgmgr32) return false;
  return fill(Cfgmgr32, m_hCfgmgr32);
}

void Os98_SetupApi::Unload() {
  clear(Cfgmgr32);
  release(m_hCfgmgr32);
}

bool Os2K_SetupApi::Load() {
  m_hAdvapi32 = win::LoadLibraryA(m_names.advapi32);
  m_hSetupapi = win::LoadLibraryA(m_names.setupapi);
  m_hNewdev = win::LoadLibraryA(m_names.newdev);
  if (!m_hAdvapi32 || !m_hSetupapi || !m_hNewdev) return false;
  if (!fill(Advapi32, m_hAdvapi32) || !fill(Setupapi, m_hSetupapi) || !fill(Newdev, m_hNewdev)) return false;
  Os98_SetupApi::Load();  // the device-tree functions are optional here: an operation needing one checks it
  return true;
}

void Os2K_SetupApi::Unload() {
  clear(Advapi32);
  clear(Setupapi);
  clear(Newdev);
  release(m_hAdvapi32);
  release(m_hSetupapi);
  release(m_hNewdev);
  Os98_SetupApi::Unload();
}
