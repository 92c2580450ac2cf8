// The device operations of both families on the simulated machine: the device-tree walk and the Windows 98/Me
// path, and the Windows 2000/XP path through the setup functions. Host only: Wine's configuration-manager
// functions are stubs (some abort the process), so the walk cannot run there; the setup-function path is also
// run under Wine by the device contract test and tvSetupCtl's Wine test.
#include "installTools/engine/osInstall.h"

#include <gtest/gtest.h>

#include <memory>

#include "installTools/engine/deviceFixture.h"
#include "installTools/engine/installManager.h"
#include "installTools/file_Tools/fileTools.h"

namespace {

const std::string kEnumNT = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\";
const std::string kEnum9x = "HKLM\\Enum\\";

// A machine of one family with the engine loaded.
class EngineOn : public ::testing::Test {
 protected:
  void start(bool windows98) {
    if (windows98) machine.setWindows98SE();
    manager = std::make_unique<InstallManager>();
    ASSERT_TRUE(manager->LoadDrvMgr());
    machine.deviceLog.clear();
  }
  IOs_Install& install() { return *manager->install(); }

  sim::Machine machine;
  sim::MachineScope scope{machine};
  std::unique_ptr<InstallManager> manager;
};

// The Windows 98/Me path ------------------------------------------------------------------------------------

class Windows98 : public EngineOn {
 protected:
  void SetUp() override {
    // Root -> bridge (with the encoder card below it) -> USB tuner; a stream device last.
    sim::Device bridge("PCI\\VEN_8086&DEV_244E\\3&1", {"PCI\\VEN_8086&DEV_244E"});
    sim::Device card = fixture::encoderCard();
    card.parent = bridge.instanceId;
    sim::Device usb("USB\\VID_0E1B&PID_0A10\\5", {"usb\\vid_0e1b&pid_0a10&rev_0100", "USB\\VID_0E1B&PID_0A10"});
    sim::Device stream("STREAM\\VEXA.ENC\\1", {"STREAM\\VEXA.ENC"});
    machine.setWindows98SE();
    for (const auto& d : {bridge, card, usb, stream}) machine.addDevice(d);
    start(true);
  }
};

TEST_F(Windows98, FindsNestedNodesByTheirFirstHardwareIdOnly) {
  EXPECT_TRUE(install().IsDeviceInstalled(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
  EXPECT_TRUE(install().IsDeviceInstalled(fixture::record("USB\\VID_0E1B&PID_0A10")));
  // The bridge's ID is only the second string of no node; the tuner's second string is not looked at.
  sim::Device late("PCI\\VEN_AAAA&DEV_0001\\1", {"PCI\\VEN_AAAA&DEV_0001&REV_01", "PCI\\VEN_BBBB&DEV_0002"});
  machine.addDevice(late);
  EXPECT_FALSE(install().IsDeviceInstalled(fixture::record("PCI\\VEN_BBBB&DEV_0002")));
  EXPECT_FALSE(install().IsDeviceInstalled(fixture::record("PCI\\VEN_0000&DEV_0000")));
}

TEST_F(Windows98, NodeWhosePropertyCannotBeReadIsSkipped) {
  machine.findDevice("PCI\\VEN_8086&DEV_244E\\3&1")->propertyError = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(install().IsDeviceInstalled(fixture::record("PCI\\VEN_8086&DEV_244E")));
  EXPECT_TRUE(install().IsDeviceInstalled(fixture::record("PCI\\VEN_1C5D&DEV_5401")));  // its child is still seen
}

TEST_F(Windows98, PresentListTakesPciAndUsbIdsUpperCased) {
  tag_HardwareID table[8] = {};
  ASSERT_EQ(install().getAllDevicePresent(table, 8), 3);
  EXPECT_STREQ(table[0].szHardwareID, "PCI\\VEN_8086&DEV_244E");
  EXPECT_STREQ(table[1].szHardwareID, "PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01");
  // The tuner reports its ID in lower case: it is upper-cased before parsing, so its numbers are read.
  EXPECT_EQ(table[2].nBusType, HWID_USB);
  EXPECT_EQ(table[2].nVendorID, 0x0E1Bu);
  EXPECT_EQ(table[2].nDeviceID, 0x0A10u);
  EXPECT_EQ(install().getAllDevicePresent(table, 1), 1);  // the stream node never contributes on this path
}

TEST_F(Windows98, RemovesEveryMatchingNodeCollectedBeforeRemoval) {
  sim::Device second = fixture::encoderCard("4&2D5A3B1&0&28F0");
  machine.addDevice(second);
  ASSERT_TRUE(install().RemoveDevice(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
  const std::string first = fixture::encoderCard().instanceId;
  EXPECT_EQ(machine.deviceLog,
            (std::vector<std::string>{"reenumerate " + first, "remove " + first, "delete key " + first,
                                      "reenumerate " + second.instanceId, "remove " + second.instanceId,
                                      "delete key " + second.instanceId}));
  EXPECT_EQ(machine.findDevice(first), nullptr);
  EXPECT_EQ(machine.findDevice(second.instanceId), nullptr);
  EXPECT_FALSE(machine.registry.keyExists(kEnum9x + first));
  EXPECT_TRUE(machine.registry.keyExists(kEnum9x + "PCI\\VEN_8086&DEV_244E\\3&1"));
  EXPECT_FALSE(install().IsDeviceInstalled(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
  EXPECT_FALSE(install().RemoveDevice(fixture::record("PCI\\VEN_1C5D&DEV_5401"))) << "nothing left to remove";
}

TEST_F(Windows98, RemovalIsTrueOnlyWhenAKeyWasDeleted) {
  machine.registry.deleteTree(kEnum9x + fixture::encoderCard().instanceId);
  EXPECT_FALSE(install().RemoveDevice(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
}

TEST_F(Windows98, HandInstallDeletesTheDriverDatabase) {
  fixture::writePackage(machine);
  machine.files.writeFile("C:\\windows\\INF\\Drvdata.bin", "database");
  machine.files.writeFile("C:\\windows\\INF\\Drvidx.bin", "index");
  win::SetFileAttributesA("C:\\windows\\INF\\Drvidx.bin", FILE_ATTRIBUTE_READONLY);
  DWORD reboot = 0xDEAD;
  EXPECT_TRUE(
      install().InstallDevice(nullptr, fixture::record("PCI\\VEN_1C5D&DEV_5401"), fixture::kPackage, &reboot));
  EXPECT_EQ(reboot, 0xDEADu) << "this path never touches the flag";
  EXPECT_FALSE(machine.files.exists("C:\\windows\\INF\\Drvdata.bin"));
  EXPECT_FALSE(machine.files.exists("C:\\windows\\INF\\Drvidx.bin"));
  EXPECT_TRUE(machine.files.exists("C:\\windows\\INF\\nvpelgar.inf"));
  EXPECT_EQ(machine.files.readFile("C:\\windows\\system32\\drivers\\nvpelgar.sys"), "MZ driver image");
  // Neither file there: still true; no device present either.
  machine.forgetDevice(fixture::encoderCard().instanceId);
  EXPECT_TRUE(install().InstallINF(fixture::record("PCI\\VEN_1C5D&DEV_5401"), fixture::kPackage));
  EXPECT_TRUE(
      install().InstallDevice(nullptr, fixture::record("PCI\\VEN_1C5D&DEV_5401"), fixture::kPackage, &reboot));
}

TEST_F(Windows98, RefreshReenumeratesTheRoot) {
  EXPECT_TRUE(install().RefreshDevice());
  EXPECT_EQ(machine.deviceLog, std::vector<std::string>{"reenumerate HTREE\\ROOT\\0"});
}

TEST(DeviceTreeEntries, MissingEntriesOnTheNtPathFailTheWalkAndRefresh) {
  sim::Machine machine;
  machine.addDevice(fixture::encoderCard());
  machine.libraries.removeFunction("cfgmgr32", "CM_Locate_DevNodeA");
  sim::MachineScope scope(machine);
  InstallManager manager;
  ASSERT_TRUE(manager.LoadDrvMgr());
  tag_HardwareID card = fixture::record("PCI\\VEN_1C5D&DEV_5401");
  EXPECT_FALSE(manager.IsDeviceInstalled(&card));
  EXPECT_FALSE(manager.RefreshDevice());
  tag_HardwareID table[4];
  EXPECT_EQ(manager.getAllDevicePresent(table, 4), 4) << "the NT list does not need the configuration manager";
}

// The Windows 2000/XP path ------------------------------------------------------------------------------------

class WindowsXP : public EngineOn {
 protected:
  void SetUp() override {
    fixture::writePackage(machine);
    machine.addDevice(fixture::encoderCard());
    machine.addDevice(fixture::unrelatedCard());
    start(false);
  }
};

TEST_F(WindowsXP, PresentListHasOneEntryPerRecognisedString) {
  machine.addDevice(sim::Device("PCI\\CC_0300\\1", {"PCI\\CC_0300"}));  // no vendor or device: no entry
  machine.addDevice(sim::Device("STREAM\\VEXA\\1", {"STREAM\\VEXA&PCI\\VEN_1C5D&DEV_5402", "STREAM\\VEXA"}));
  machine.addDevice(sim::Device("ROOT\\LEGACY\\0000", {}));  // no hardware IDs: skipped
  tag_HardwareID table[16] = {};
  ASSERT_EQ(install().getAllDevicePresent(table, 16), 7);
  EXPECT_STREQ(table[0].szHardwareID, "PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01");
  EXPECT_EQ(table[0].nBusType, HWID_PCI);
  EXPECT_EQ(table[0].nSubSysID, 0u);
  EXPECT_EQ(table[6].nBusType, HWID_STREAM);
  EXPECT_EQ(table[6].nDeviceID, 0x5402u);
  EXPECT_EQ(install().getAllDevicePresent(table, 1), 1);
}

TEST_F(WindowsXP, DeviceWhosePropertyCannotBeReadIsSkippedAndTheListGoesOn) {
  machine.findDevice(fixture::encoderCard().instanceId)->propertyError = ERROR_ACCESS_DENIED;
  tag_HardwareID table[16] = {};
  ASSERT_EQ(install().getAllDevicePresent(table, 16), 2);
  EXPECT_EQ(table[0].nVendorID, 0x8086u);
}

TEST_F(WindowsXP, InstallsTheDriverForAPresentDevice) {
  DWORD reboot = 0xDEAD;
  // The record's text is only the fourth string of the card's list: found, and handed on as it is.
  ASSERT_TRUE(
      install().InstallDevice(nullptr, fixture::record("PCI\\VEN_1C5D&DEV_5401"), fixture::kPackage, &reboot));
  EXPECT_EQ(reboot, 0u);
  const sim::Device& card = *machine.findDevice(fixture::encoderCard().instanceId);
  EXPECT_EQ(card.driver, std::string(fixture::kMediaClass) + "\\0000");
  EXPECT_EQ(card.service, "nvpelgar");
  std::string driverKey = machine.driverKeyPath(card);
  EXPECT_EQ(machine.registry.getString(driverKey, "MatchingDeviceId"), "pci\\ven_1c5d&dev_5401&subsys_54011c5d");
  EXPECT_EQ(machine.registry.getString(driverKey, "InfPath"), "oem0.inf");
  EXPECT_EQ(machine.registry.getString(driverKey, "NTMPDriver"), "nvpelgar.sys");
  EXPECT_EQ(machine.registry.getDword(driverKey + "\\DriverData", "BitRate"), 6000000u);
  EXPECT_EQ(machine.registry.getString(kEnumNT + card.instanceId, "Driver"), card.driver);
  EXPECT_EQ(machine.registry.getDword("HKLM\\SYSTEM\\CurrentControlSet\\Services\\nvpelgar", "Start"), 3u);
  EXPECT_TRUE(machine.files.exists("C:\\windows\\inf\\oem0.pnf"));
  EXPECT_EQ(machine.files.readFile("C:\\windows\\system32\\drivers\\nvpelgar.rom"), "encoder firmware");
}

TEST_F(WindowsXP, WindowsTwoThousandHandsOnTheDevicesOwnString) {
  // A card that reports no bare vendor-and-device string: XP's call with the record's text finds no device,
  // Windows 2000's call with the card's own string does.
  machine.forgetDevice(fixture::encoderCard().instanceId);
  sim::Device card = fixture::encoderCard();
  card.hardwareIds.resize(2);
  machine.addDevice(card);
  tag_HardwareID wanted = fixture::record("PCI\\VEN_1C5D&DEV_5401");
  DWORD reboot = 0;
  EXPECT_FALSE(install().InstallDevice(nullptr, wanted, fixture::kPackage, &reboot));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  Os2K_Install windows2000(manager->fileTools(), 2000);
  EXPECT_TRUE(windows2000.InstallDevice(nullptr, wanted, fixture::kPackage, &reboot));
  EXPECT_EQ(machine.findDevice(card.instanceId)->service, "nvpelgar");
}

TEST_F(WindowsXP, DriverThatNeedsARestartSetsTheFlag) {
  machine.findDevice(fixture::encoderCard().instanceId)->restartOnInstall = true;
  DWORD reboot = 0;
  ASSERT_TRUE(
      install().InstallDevice(nullptr, fixture::record("PCI\\VEN_1C5D&DEV_5401"), fixture::kPackage, &reboot));
  EXPECT_EQ(reboot, 1u);
}

TEST_F(WindowsXP, WithoutAPresentDeviceTheInfGoesIntoTheStoreOnly) {
  DWORD reboot = 0xDEAD;
  EXPECT_TRUE(
      install().InstallDevice(nullptr, fixture::record("PCI\\VEN_1C5D&DEV_6700"), fixture::kPackage, &reboot));
  EXPECT_EQ(reboot, 0xDEADu);
  EXPECT_EQ(machine.files.readFile("C:\\windows\\inf\\oem0.inf"), std::string(fixture::packageInf()));
  EXPECT_TRUE(machine.files.exists("C:\\windows\\inf\\oem0.pnf"));
  EXPECT_TRUE(machine.findDevice(fixture::encoderCard().instanceId)->driver.empty());
  // The same INF again keeps its store name; a missing INF fails.
  EXPECT_TRUE(install().InstallINF(fixture::record("PCI\\VEN_1C5D&DEV_6700"), fixture::kPackage));
  EXPECT_FALSE(machine.files.exists("C:\\windows\\inf\\oem1.inf"));
  EXPECT_FALSE(install().InstallINF(fixture::record("PCI\\VEN_1C5D&DEV_6700"), "C:\\pkg\\missing.inf"));
}

TEST_F(WindowsXP, RemovesEveryMatchingPresentDevice) {
  DWORD reboot = 0;
  ASSERT_TRUE(
      install().InstallDevice(nullptr, fixture::record("PCI\\VEN_1C5D&DEV_5401"), fixture::kPackage, &reboot));
  machine.addDevice(fixture::encoderCard("4&2D5A3B1&0&28F0"));
  const std::string driverKey = machine.driverKeyPath(*machine.findDevice(fixture::encoderCard().instanceId));
  // The match is the card's fourth string: this path sees it.
  ASSERT_TRUE(install().RemoveDevice(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
  EXPECT_EQ(machine.devices.size(), 1u);
  EXPECT_EQ(machine.devices[0].instanceId, fixture::unrelatedCard().instanceId);
  EXPECT_FALSE(machine.registry.keyExists(driverKey));
  EXPECT_FALSE(machine.registry.keyExists(kEnumNT + fixture::encoderCard().instanceId));
  EXPECT_FALSE(install().RemoveDevice(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
}

TEST_F(WindowsXP, RemovalIsTrueOnlyWhenOneSucceeded) {
  machine.findDevice(fixture::encoderCard().instanceId)->removalFails = true;
  EXPECT_FALSE(install().RemoveDevice(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
  EXPECT_NE(machine.findDevice(fixture::encoderCard().instanceId), nullptr);
  // One of two refuses: the other is removed and the result is true.
  machine.addDevice(fixture::encoderCard("4&2D5A3B1&0&28F0"));
  EXPECT_TRUE(install().RemoveDevice(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
  EXPECT_EQ(machine.findDevice(fixture::encoderCard("4&2D5A3B1&0&28F0").instanceId), nullptr);
}

TEST_F(WindowsXP, UnreadableDeviceIsSkippedByRemoval) {
  machine.addDevice(fixture::encoderCard("4&2D5A3B1&0&28F0"));
  machine.findDevice(fixture::encoderCard().instanceId)->propertyError = ERROR_ACCESS_DENIED;
  EXPECT_TRUE(install().RemoveDevice(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
  EXPECT_NE(machine.findDevice(fixture::encoderCard().instanceId), nullptr);
  EXPECT_EQ(machine.findDevice(fixture::encoderCard("4&2D5A3B1&0&28F0").instanceId), nullptr);
}

TEST_F(WindowsXP, InstalledCheckIsTheWalkAndSeesOnlyFirstStrings) {
  // Inherited from the 98 path: a second string is not looked at, though this path's removal sees it.
  machine.addDevice(sim::Device("PCI\\VEN_AAAA&DEV_0001\\1", {"PCI\\VEN_AAAA&DEV_0001", "PCI\\VEN_BBBB&DEV_0002"}));
  EXPECT_FALSE(install().IsDeviceInstalled(fixture::record("PCI\\VEN_BBBB&DEV_0002")));
  EXPECT_TRUE(install().RemoveDevice(fixture::record("PCI\\VEN_BBBB&DEV_0002")));
  EXPECT_TRUE(install().IsDeviceInstalled(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
  EXPECT_TRUE(install().RefreshDevice());
}

}  // namespace
