// DeleteKeyTree on both sides: on the host against the simulated machine, under Wine (which implements key
// security) against the system's registry. A key of the tree carries an access list that lets everyone only
// read it, so the engine must make the user its owner and grant itself full access before deleting it.
#include <gtest/gtest.h>

#include "installTools/engine/installManager.h"
#include "installTools/regKey_Tools/regKeyTools.h"
#include "platform/seam/contract_fixture.h"

namespace {

using RegKeyToolsContract = ContractTest;

// Gives the key an access list of one entry: Everyone may read.
DWORD lockForReadOnly(const std::string& path) {
  SID_IDENTIFIER_AUTHORITY world = {{0, 0, 0, 0, 0, 1}};
  PSID everyone = nullptr;
  if (!g_fnAllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &everyone)) return win::GetLastError();
  alignas(4) BYTE buffer[256];
  auto acl = reinterpret_cast<PACL>(buffer);
  DWORD result = ERROR_SUCCESS;
  if (!g_fnInitializeAcl(acl, sizeof buffer, ACL_REVISION) ||
      !g_fnAddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone)) {
    result = win::GetLastError();
  } else {
    std::string name = "MACHINE\\" + path;
    result = g_fnSetNamedSecurityInfo(name.data(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl,
                                      nullptr);
  }
  g_fnFreeSid(everyone);
  return result;
}

TEST_F(RegKeyToolsContract, DeleteKeyTreeTakesOverAKeyThatOnlyGrantsReading) {
  InstallManager manager;
  ASSERT_TRUE(manager.LoadDrvMgr());
  const std::string tree = keyPath() + "\\tree";
  HKEY key;
  ASSERT_EQ(win::RegCreateKeyExA(HKEY_LOCAL_MACHINE, (tree + "\\locked\\leaf").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &key, nullptr),
            ERROR_SUCCESS);
  win::RegCloseKey(key);
  ASSERT_EQ(lockForReadOnly(tree + "\\locked"), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(lockForReadOnly(tree + "\\locked\\leaf"), static_cast<DWORD>(ERROR_SUCCESS));

  EXPECT_TRUE(manager.regKeyTools()->DeleteKeyTree(tree.c_str()));
  EXPECT_NE(win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, tree.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_FALSE(manager.regKeyTools()->DeleteKeyTree(tree.c_str())) << "already gone";
  manager.UnloadDrvMgr();
}

}  // namespace
