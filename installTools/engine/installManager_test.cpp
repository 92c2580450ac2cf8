// InstallManager and the engine's exports: the family choice, the function table's load and unload, the states
// of the engine, and the assertion. The cases without a machine knob also run under Wine (a prefix set to
// Windows XP), where the table comes from the system's own libraries.
#include "installTools/engine/installManager.h"

#include <gtest/gtest.h>

#include <string>

#include "installTools/engine/tvSetupEngine.h"
#include "installTools/file_Tools/fileTools.h"
#include "installTools/securityTools/engineAssert.h"
#include "installTools/securityTools/securityTools.h"
#include "platform/seam/contract_fixture.h"

namespace {

using InstallManagerTest = ContractTest;

tag_HardwareID pciRecord(uint32_t vendor, uint32_t device) {
  tag_HardwareID record{};
  record.nBusType = HWID_PCI;
  std::snprintf(record.szHardwareID, sizeof record.szHardwareID, "PCI\\VEN_%04X&DEV_%04X", vendor, device);
  record.nVendorID = vendor;
  record.nDeviceID = device;
  return record;
}

TEST_F(InstallManagerTest, LoadFillsTheTableAndUnloadEmptiesIt) {
  InstallManager manager;
  ASSERT_EQ(manager.nt5(), 1);
  ASSERT_TRUE(manager.LoadDrvMgr());
  EXPECT_NE(manager.securityTools(), nullptr);
  EXPECT_NE(manager.fileTools(), nullptr);
  EXPECT_NE(manager.regKeyTools(), nullptr);
  EXPECT_NE(dynamic_cast<Os2K_Install*>(manager.install()), nullptr);
  EXPECT_NE(dynamic_cast<Os2K_SetupApi*>(manager.setupApi()), nullptr);
  EXPECT_NE(g_fnLookupPrivilegeValue, nullptr);
  EXPECT_NE(g_fnSetNamedSecurityInfo, nullptr);
  EXPECT_NE(g_fnSetupDiDeleteDevRegKey, nullptr);
  EXPECT_NE(g_fnUpdateDriverForPlugAndPlayDevices, nullptr);
  EXPECT_TRUE(manager.IsAdministrator());

  EXPECT_TRUE(manager.UnloadDrvMgr());
  EXPECT_EQ(manager.install(), nullptr);
  EXPECT_EQ(manager.securityTools(), nullptr);
  EXPECT_EQ(manager.setupApi(), nullptr);
#define SYSFN(library, entry, function) EXPECT_EQ(g_fn##entry, nullptr) << #entry;
#include "installTools/engine/systemFunctionTable.inc"
#undef SYSFN
#ifndef _WIN32
  EXPECT_TRUE(sim::current().libraries.loaded().empty());
#endif
}

TEST_F(InstallManagerTest, MissingNewdevFailsTheLoadAndUnloadStillFreesTheOthers) {
  SystemLibraryNames names;
#ifdef _WIN32
  names.newdev = "tvNoSuchNewdev";  // a system without the library
#else
  sim::current().libraries.remove("newdev");
#endif
  InstallManager manager(names);
  EXPECT_FALSE(manager.LoadDrvMgr());
  EXPECT_NE(manager.setupApi(), nullptr);  // partly loaded: the loader exists, nothing else
  EXPECT_EQ(manager.securityTools(), nullptr);
  EXPECT_EQ(manager.install(), nullptr);
  EXPECT_EQ(g_fnLookupPrivilegeValue, nullptr);  // "Advapi32" is looked up only when all three libraries load
#ifndef _WIN32
  EXPECT_EQ(sim::current().libraries.loaded().count("advapi32"), 1u);
  EXPECT_EQ(sim::current().libraries.loaded().count("setupapi"), 1u);
#endif

  tag_HardwareID record = pciRecord(0x5A5A, 0xA5A5);
  tag_HardwareID table[4];
  EXPECT_FALSE(manager.UninstallByID(&record));
  EXPECT_FALSE(manager.DelInfFile(&record, 1));
  EXPECT_EQ(manager.getAllDevicePresent(table, 4), 0);
  EXPECT_TRUE(manager.IsAdministrator());  // no security tools: nothing to check

  EXPECT_TRUE(manager.UnloadDrvMgr());
  EXPECT_EQ(manager.setupApi(), nullptr);
#ifndef _WIN32
  EXPECT_TRUE(sim::current().libraries.loaded().empty());
#endif
}

TEST_F(InstallManagerTest, UnloadWithoutLoadChangesNothing) {
  InstallManager manager;
  EXPECT_TRUE(manager.UnloadDrvMgr());
  EXPECT_EQ(manager.setupApi(), nullptr);
  EXPECT_TRUE(manager.IsAdministrator());
  tag_HardwareID record = pciRecord(0x5A5A, 0xA5A5);
  EXPECT_FALSE(manager.IsDeviceInstalled(&record));
  EXPECT_FALSE(manager.disableInfFileCopyFilesSectionByString("tvNothing"));
}

TEST_F(InstallManagerTest, ExportsForwardToTheEngineObject) {
  EXPECT_TRUE(_IsWindows2k());
  EXPECT_TRUE(_UnloadDrvMgr());  // constructed state: nothing to do
  tag_HardwareID table[2] = {pciRecord(0x5A5A, 0xA5A5), pciRecord(0x5A5A, 0xA5A6)};
  EXPECT_FALSE(_DelInfFile(table, 2));
  EXPECT_EQ(_getAllDevicePresent(table, 2), 0);
  EXPECT_TRUE(_IsAdministrator());

  ASSERT_TRUE(_LoadDrvMgr());
  EXPECT_TRUE(_IsAdministrator());
  EXPECT_TRUE(_DelInfFile(table, 2));  // nothing matches: still true
  EXPECT_TRUE(_deleteInfFile__ByString("tvNoInfMentionsThis"));
  EXPECT_TRUE(_UnloadDrvMgr());
  EXPECT_TRUE(_IsWindows2k());
  EXPECT_FALSE(_DelInfFile(table, 2));
}

#ifndef _WIN32
// The machine's own knobs: other systems, missing functions, message boxes and the debugger.

struct FamilyCase {
  const char* name;
  void (*set)(sim::Machine&);
  bool windows2k;
  int32_t code;
};

TEST(InstallManager, FamilyFollowsTheMajorVersionFive) {
  const FamilyCase cases[] = {
      {"Windows 98 SE", [](sim::Machine& m) { m.setWindows98SE(); }, false, 982},
      {"Windows Me", [](sim::Machine& m) { m.setWindowsMe(); }, false, 982000},
      {"Windows 2000 SP4", [](sim::Machine& m) { m.setWindows2000(4); }, true, 2000},
      {"Windows XP SP2", [](sim::Machine& m) { m.setWindowsXP(2); }, true, 20005},
      {"NT 4",
       [](sim::Machine& m) {
         m.version.major = 4;
         m.version.minor = 0;
       },
       false, 351},
      {"Server 2003 (5.2)", [](sim::Machine& m) { m.version.minor = 2; }, true, 1000},
      {"Vista (6.0)",
       [](sim::Machine& m) {
         m.version.major = 6;
         m.version.minor = 0;
       },
       false, 1000},
  };
  for (const FamilyCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Machine machine;
    c.set(machine);
    sim::MachineScope scope(machine);
    EXPECT_EQ(IsWindows2k(), c.windows2k);
    EXPECT_EQ(ComputeOsVersionCode(), c.code);
    InstallManager manager;
    EXPECT_EQ(manager.nt5(), c.windows2k ? 1 : 0);
    ASSERT_TRUE(manager.LoadDrvMgr());
    EXPECT_EQ(manager.securityTools() != nullptr, c.windows2k);
    EXPECT_EQ(dynamic_cast<Os2K_Install*>(manager.install()) != nullptr, c.windows2k);
    EXPECT_NE(dynamic_cast<Os98_Install*>(manager.install()), nullptr);
    EXPECT_EQ(dynamic_cast<Os2K_SetupApi*>(manager.setupApi()) != nullptr, c.windows2k);
    if (auto nt = dynamic_cast<Os2K_Install*>(manager.install())) {
      EXPECT_EQ(nt->osVersionCode(), GetOsVersionCode());  // the process's cached code
    }
    // On the 9x path only "cfgmgr32" is loaded and the administrator check always passes.
    EXPECT_EQ(machine.libraries.loaded().count("advapi32"), c.windows2k ? 1u : 0u);
    machine.security.runAsStandardUser();
    EXPECT_EQ(manager.IsAdministrator(), !c.windows2k);
    manager.UnloadDrvMgr();
    EXPECT_TRUE(machine.libraries.loaded().empty());
  }
}

TEST(InstallManager, MissingDeviceTreeFunctionFailsOnlyTheNinetyEightLoad) {
  for (bool nt5 : {true, false}) {
    SCOPED_TRACE(nt5 ? "NT5" : "9x");
    sim::Machine machine;
    if (!nt5) machine.setWindowsMe();
    machine.libraries.removeFunction("cfgmgr32", "CM_Get_Sibling");
    sim::MachineScope scope(machine);
    InstallManager manager;
    EXPECT_EQ(manager.LoadDrvMgr(), nt5);
    EXPECT_NE(g_fnCM_Locate_DevNode, nullptr);  // filled before the missing one
    EXPECT_EQ(g_fnCM_Get_Sibling, nullptr);
    EXPECT_EQ(g_fnCM_Get_Child, nullptr);  // the lookup stops at the first missing function
    EXPECT_EQ(manager.install() != nullptr, nt5);
    manager.UnloadDrvMgr();
    EXPECT_EQ(g_fnCM_Locate_DevNode, nullptr);
    EXPECT_TRUE(machine.libraries.loaded().empty());
  }
}

TEST(InstallManager, MissingAdvapiFunctionFailsTheLoad) {
  sim::Machine machine;
  machine.libraries.removeFunction("advapi32", "SetNamedSecurityInfoA");
  sim::MachineScope scope(machine);
  InstallManager manager;
  EXPECT_FALSE(manager.LoadDrvMgr());
  EXPECT_NE(g_fnCloseServiceHandle, nullptr);
  EXPECT_EQ(g_fnSetupDiGetClassDevs, nullptr);
  manager.UnloadDrvMgr();
  EXPECT_EQ(g_fnCloseServiceHandle, nullptr);
}

TEST(EngineAssert, ShowsTheMessageAndBreaksOnlyUnderADebugger) {
  sim::Machine machine;
  sim::MachineScope scope(machine);
  EngineAssertFailed("/work/tree/installTools/securityTools/securityTools.cpp", 42, "g_fnGetFileSecurity");
  ASSERT_EQ(machine.boxes.calls().size(), 1u);
  EXPECT_EQ(machine.boxes.calls()[0].text,
            "File installTools/securityTools/securityTools.cpp, line 42 : g_fnGetFileSecurity");
  EXPECT_EQ(machine.boxes.calls()[0].caption, machine.modulePath);
  EXPECT_EQ(machine.boxes.calls()[0].type, static_cast<UINT>(MB_OK));
  EXPECT_EQ(machine.debugBreaks, 0);

  machine.debuggerPresent = true;
  std::string longName(300, 'x');
  EngineAssertFailed("installTools/file_Tools/fileTools.cpp", 7, longName.c_str());
  ASSERT_EQ(machine.boxes.calls().size(), 2u);
  EXPECT_EQ(machine.boxes.calls()[1].text.size(), 127u);
  EXPECT_EQ(machine.boxes.calls()[1].text.rfind("File installTools/file_Tools/fileTools.cpp, line 7 : xxx", 0), 0u);
  EXPECT_EQ(machine.debugBreaks, 1);
}

TEST(EngineAssert, MissingEntryFailsTheOperation) {
  sim::Machine machine;
  sim::MachineScope scope(machine);
  Os2K_SetupApi loader;
  ASSERT_TRUE(loader.Load());
  SecurityTools tools(1);
  auto saved = g_fnGetAce;
  g_fnGetAce = nullptr;
  SECURITY_DESCRIPTOR old;
  ASSERT_TRUE(g_fnInitializeSecurityDescriptor(&old, SECURITY_DESCRIPTOR_REVISION));
  SECURITY_DESCRIPTOR fresh;
  PACL acl = nullptr;
  EXPECT_FALSE(tools.GrantFullAccess(&fresh, &old, GENERIC_ALL, &acl));
  g_fnGetAce = saved;
  ASSERT_EQ(machine.boxes.calls().size(), 1u);
  EXPECT_NE(machine.boxes.calls()[0].text.find("installTools/securityTools/securityTools.cpp"), std::string::npos);
  EXPECT_NE(machine.boxes.calls()[0].text.find(" : g_fnGetAce"), std::string::npos);

  FileTools files(&tools, true);
  tag_HardwareID record{};
  EXPECT_FALSE(files.InstallInfFiles(record, nullptr));
  EXPECT_FALSE(files.CopyToDrivers(nullptr));
  ASSERT_EQ(machine.boxes.calls().size(), 3u);
  EXPECT_NE(machine.boxes.calls()[1].text.find(" : szInfFile"), std::string::npos);
  EXPECT_NE(machine.boxes.calls()[2].text.find(" : szCopyFileName"), std::string::npos);
  loader.Unload();
}
// _UninstallByID: the removal of an installed device, then its enumeration and driver keys; a removal that fails
// leaves every key in place.
class UninstallByID : public ::testing::Test {
 protected:
  void SetUp() override {
    card.driver = std::string(kMedia) + "\\0003";
    machine.registry.setString(kClassKey + "\\0003", "MatchingDeviceId", "pci\\ven_1c5d&dev_5401&subsys_54011c5d");
    machine.addDevice(card);
    ASSERT_TRUE(manager.LoadDrvMgr());
  }
  bool has(const std::string& key) { return machine.registry.keyExists(key); }

  static constexpr const char* kMedia = "{4d36e96c-e325-11ce-bfc1-08002be10318}";
  const std::string kEnumKey = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01";
  const std::string kClassKey = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + std::string(kMedia);
  sim::Machine machine;
  sim::MachineScope scope{machine};
  sim::Device card{"PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01\\4&1",
                   {"PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01", "PCI\\VEN_1C5D&DEV_5401"}};
  InstallManager manager;
  tag_HardwareID record = pciRecord(0x1C5D, 0x5401);
};

TEST_F(UninstallByID, RemovesThePresentDeviceThenItsKeys) {
  EXPECT_TRUE(manager.UninstallByID(&record));
  EXPECT_TRUE(machine.devices.empty());
  EXPECT_FALSE(has(kEnumKey));
  EXPECT_FALSE(has(kClassKey + "\\0003"));
}

TEST_F(UninstallByID, AbsentDeviceStillLosesItsKeys) {
  machine.devices[0].present = false;
  machine.registry.setString(kClassKey + "\\0004", "MatchingDeviceId", "PCI\\VEN_1C5D&DEV_5401");
  EXPECT_TRUE(manager.UninstallByID(&record));
  EXPECT_FALSE(has(kEnumKey));
  EXPECT_FALSE(has(kClassKey + "\\0003"));
  EXPECT_FALSE(has(kClassKey + "\\0004"));
}

TEST_F(UninstallByID, FailedRemovalTouchesNoKey) {
  machine.devices[0].removalFails = true;
  EXPECT_FALSE(manager.UninstallByID(&record));
  EXPECT_EQ(machine.devices.size(), 1u);
  EXPECT_TRUE(has(kEnumKey + "\\4&1"));
  EXPECT_TRUE(has(kClassKey + "\\0003"));
}

TEST_F(UninstallByID, ByExportsOnTheNinetyEightPath) {
  sim::Machine old;
  old.setWindows98SE();
  sim::MachineScope inner(old);
  old.addDevice(card);
  old.registry.setString("HKLM\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0000", "MatchingDeviceId",
                         "PCI\\VEN_1C5D&DEV_5401");
  InstallManager ninetyEight;
  ASSERT_TRUE(ninetyEight.LoadDrvMgr());
  EXPECT_TRUE(ninetyEight.UninstallByID(&record));
  EXPECT_TRUE(old.devices.empty());
  EXPECT_FALSE(old.registry.keyExists("HKLM\\Enum\\PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01"));
  EXPECT_FALSE(old.registry.keyExists("HKLM\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0000"));
}
#endif

}  // namespace
