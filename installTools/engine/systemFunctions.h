// The engine's table of system functions: one global pointer per function outside the core libraries, named
// g_fn plus the function's name without its A suffix. All are null until a loader (IOs_SetupApi) fills them
// from the system's libraries by name, and null again after it unloads them.
//   Os98_SetupApi: "cfgmgr32" (the device tree).
//   Os2K_SetupApi: also "Advapi32", "Setupapi" and "newdev".
#pragma once

#include "platform/seam/winapi.h"

#ifdef _WIN32
#include <aclapi.h>
#include <cfgmgr32.h>
#include <newdev.h>
#endif

// The pointer type of each function the system's libraries provide by name: winfn::Name_t.
namespace winfn {
#define WINFN(ret, name, params)
#define WINLOADFN(library, ret, name, params) using name##_t = ret(WINAPI*) params;
#include "platform/seam/winapi_functions.inc"
#undef WINLOADFN
#undef WINFN
}  // namespace winfn

#define SYSFN(library, entry, function) extern winfn::function##_t g_fn##entry;
#include "installTools/engine/systemFunctionTable.inc"
#undef SYSFN

// The libraries by the names the loaders pass to LoadLibraryA. A test may name one that does not exist.
struct SystemLibraryNames {
  const char* cfgmgr32 = "cfgmgr32";
  const char* advapi32 = "Advapi32";
  const char* setupapi = "Setupapi";
  const char* newdev = "newdev";
};

// Loads and unloads the table. Load returns false at the first library or function that is missing; what was
// filled before stays filled until Unload.
class IOs_SetupApi {
 public:
  virtual bool Load() = 0;
  virtual void Unload() = 0;
  virtual ~IOs_SetupApi() = default;
};

// The configuration-manager part of the table.
class Os98_SetupApi : public IOs_SetupApi {
 public:
  explicit Os98_SetupApi(const SystemLibraryNames& names = {}) : m_names(names) {}
  ~Os98_SetupApi() override = default;
  bool Load() override;
  void Unload() override;

 protected:
  SystemLibraryNames m_names;
  HMODULE m_hCfgmgr32 = nullptr;
};

// The whole table: "Advapi32", "Setupapi" and "newdev" are required; the configuration-manager part is loaded
// after them and its result ignored (a missing function leaves its entry null).
class Os2K_SetupApi : public Os98_SetupApi {
 public:
  explicit Os2K_SetupApi(const SystemLibraryNames& names = {}) : Os98_SetupApi(names) {}
  ~Os2K_SetupApi() override = default;
  bool Load() override;
  void Unload() override;

 private:
  HMODULE m_hAdvapi32 = nullptr;
  HMODULE m_hSetupapi = nullptr;
  HMODULE m_hNewdev = nullptr;
};
