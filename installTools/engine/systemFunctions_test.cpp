// The loaders of the engine's function table and the seam's library functions beneath them, on the simulated
// machine (host) and under Wine.
#include "installTools/engine/systemFunctions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/seam/contract_fixture.h"

namespace {

using SystemFunctionsTest = ContractTest;

TEST_F(SystemFunctionsTest, LibrariesAndFunctionsMissingFailAsTheSystemSays) {
  struct Case {
    const char* library;
    const char* function;  // null: only the library
    bool found;
    DWORD error;
  };
  const Case cases[] = {
      // library              function                 found  error
      {"advapi32", "GetFileSecurityA", true, 0},
      {"ADVAPI32.DLL", "SetNamedSecurityInfoA", true, 0},
      {"Setupapi", "SetupDiGetClassDevsA", true, 0},
      {"newdev", "UpdateDriverForPlugAndPlayDevicesA", true, 0},
      {"cfgmgr32", "CM_Locate_DevNodeA", true, 0},
      {"advapi32", "GetFileSecurity", false, ERROR_PROC_NOT_FOUND},  // the name has its A
      {"advapi32", "tvNoSuchFunction", false, ERROR_PROC_NOT_FOUND},
      {"tvNoSuchLibrary", nullptr, false, ERROR_MOD_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.library) + "!" + (c.function ? c.function : ""));
    win::SetLastError(0xDEADBEEF);
    HMODULE module = win::LoadLibraryA(c.library);
    if (!c.function) {
      EXPECT_EQ(module, nullptr);
      EXPECT_EQ(win::GetLastError(), c.error);
      continue;
    }
    ASSERT_NE(module, nullptr);
    win::SetLastError(0xDEADBEEF);
    FARPROC proc = win::GetProcAddress(module, c.function);
    EXPECT_EQ(proc != nullptr, c.found);
    if (!c.found) {
      EXPECT_EQ(win::GetLastError(), c.error);
    }
    EXPECT_TRUE(win::FreeLibrary(module));
  }
}

TEST_F(SystemFunctionsTest, LoaderFillsAndClearsItsPartOfTheTable) {
  Os2K_SetupApi loader;
  ASSERT_TRUE(loader.Load());
#define SYSFN(library, entry, function) EXPECT_NE(g_fn##entry, nullptr) << #entry;
#include "installTools/engine/systemFunctionTable.inc"
#undef SYSFN
  EXPECT_EQ(g_fnCM_Reenumerate_DevNode, g_fnCM_Reenumerate_DevNode2);
  loader.Unload();
#define SYSFN(library, entry, function) EXPECT_EQ(g_fn##entry, nullptr) << #entry;
#include "installTools/engine/systemFunctionTable.inc"
#undef SYSFN
}

TEST_F(SystemFunctionsTest, MissingLibraryFailsTheLoadAfterTryingAllThree) {
  SystemLibraryNames names;
  names.setupapi = "tvNoSuchSetupapi";
  Os2K_SetupApi loader(names);
  EXPECT_FALSE(loader.Load());
  EXPECT_EQ(g_fnOpenProcessToken, nullptr);
  EXPECT_EQ(g_fnUpdateDriverForPlugAndPlayDevices, nullptr);
  loader.Unload();

  SystemLibraryNames noCfgmgr;
  noCfgmgr.cfgmgr32 = "tvNoSuchCfgmgr";
  Os98_SetupApi old(noCfgmgr);
  EXPECT_FALSE(old.Load());
  Os2K_SetupApi nt(noCfgmgr);
  EXPECT_TRUE(nt.Load()) << "the device-tree part does not decide the NT load";
  EXPECT_EQ(g_fnCM_Get_Parent, nullptr);
  EXPECT_NE(g_fnGetAce, nullptr);
  nt.Unload();
  old.Unload();
}

TEST_F(SystemFunctionsTest, FullPathsAndUpperCase) {
  char full[MAX_PATH];
  char* part = nullptr;
  DWORD n = win::GetFullPathNameA("C:\\windows\\inf\\..\\inf\\x.inf", sizeof full, full, &part);
  EXPECT_EQ(std::string(full, n), "C:\\windows\\inf\\x.inf");
  ASSERT_NE(part, nullptr);
  EXPECT_STREQ(part, "x.inf");
  EXPECT_EQ(win::GetFullPathNameA("C:\\windows\\inf\\x.inf", 5, full, nullptr), 21u) << "size with the terminator";

  char text[] = "Pci\\ven_14f1&dev_8800 ; abc";
  EXPECT_EQ(win::CharUpperBuffA(text, 12), 12u);
  EXPECT_STREQ(text, "PCI\\VEN_14F1&dev_8800 ; abc");
}

}  // namespace
