// RegKeyTools on the simulated machine: tree deletion, the enumeration, driver, class-instance and interface
// cleanups, services. The Wine side (key security, the service manager) is in regKeyTools_wine_test.cpp.
#include "installTools/regKey_Tools/regKeyTools.h"

#include <gtest/gtest.h>

#include <memory>

#include "installTools/engine/deviceFixture.h"
#include "installTools/engine/installManager.h"

namespace {

const std::string kHklm = "HKEY_LOCAL_MACHINE\\";
const std::string kEnum = kHklm + "SYSTEM\\CurrentControlSet\\Enum\\";
const std::string kClass = kHklm + "SYSTEM\\CurrentControlSet\\Control\\Class\\";
const std::string kInterfaces = kHklm + "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\";

class Cleanup : public ::testing::Test {
 protected:
  void start(bool nt5 = true) {
    if (!nt5) machine.setWindowsMe();
    manager = std::make_unique<InstallManager>();
    ASSERT_TRUE(manager->LoadDrvMgr());
  }
  RegKeyTools& tools() { return *manager->regKeyTools(); }
  bool has(const std::string& key) { return machine.registry.keyExists(key); }
  void driverInstance(const std::string& classGuid, const std::string& instance, const std::string& matching) {
    machine.registry.setString(kClass + classGuid + "\\" + instance, "MatchingDeviceId", matching);
  }

  sim::Machine machine;
  sim::MachineScope scope{machine};
  std::unique_ptr<InstallManager> manager;
};

TEST_F(Cleanup, DeleteKeyTreeRemovesTheWholeTree) {
  start();
  machine.registry.setString(kHklm + "Software\\tvTree\\a\\b\\c", "v", "1");
  machine.registry.createKey(kHklm + "Software\\tvTree\\d");
  EXPECT_TRUE(tools().DeleteKeyTree("Software\\tvTree"));
  EXPECT_FALSE(has(kHklm + "Software\\tvTree"));
  EXPECT_TRUE(has(kHklm + "Software"));
  EXPECT_FALSE(tools().DeleteKeyTree("Software\\tvTree"));
  EXPECT_FALSE(tools().DeleteKeyTree(""));
}

TEST_F(Cleanup, PciRecordWithoutSubsystemRemovesEveryVariantOfTheDevice) {
  start();
  for (const char* name : {"VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01", "VEN_1C5D&DEV_5401&SUBSYS_00000000&REV_01",
                           "VEN_1C5D&DEV_5402&SUBSYS_54011C5D&REV_01", "VEN_8086&DEV_24C5&SUBSYS_54011C5D&REV_01"}) {
    machine.registry.setString(kEnum + "PCI\\" + name + "\\4&1", "Driver", "x");
  }
  EXPECT_TRUE(tools().DelEnumRegKey(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
  EXPECT_FALSE(has(kEnum + "PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01"));
  EXPECT_FALSE(has(kEnum + "PCI\\VEN_1C5D&DEV_5401&SUBSYS_00000000&REV_01"));
  EXPECT_TRUE(has(kEnum + "PCI\\VEN_1C5D&DEV_5402&SUBSYS_54011C5D&REV_01"));
  EXPECT_TRUE(has(kEnum + "PCI\\VEN_8086&DEV_24C5&SUBSYS_54011C5D&REV_01\\4&1"));
  EXPECT_FALSE(tools().DelEnumRegKey(fixture::record("PCI\\VEN_1C5D&DEV_5401"))) << "none left";
}

TEST_F(Cleanup, UsbRecordRemovesOnlyItsInterface) {
  start();
  for (const char* name : {"VID_0E1B&PID_0A10", "VID_0E1B&PID_0A10&MI_00", "VID_0E1B&PID_0A10&MI_01"}) {
    machine.registry.createKey(kEnum + "USB\\" + name + "\\5");
  }
  EXPECT_TRUE(tools().DelEnumRegKey(fixture::record("USB\\VID_0E1B&PID_0A10&MI_01")));
  EXPECT_FALSE(has(kEnum + "USB\\VID_0E1B&PID_0A10&MI_01"));
  EXPECT_TRUE(has(kEnum + "USB\\VID_0E1B&PID_0A10&MI_00"));
  EXPECT_TRUE(tools().DelEnumRegKey(fixture::record("USB\\VID_0E1B&PID_0A10")));
  EXPECT_FALSE(has(kEnum + "USB\\VID_0E1B&PID_0A10"));
  EXPECT_TRUE(has(kEnum + "USB\\VID_0E1B&PID_0A10&MI_00"));
}

TEST_F(Cleanup, TextRecordDeletesOnlyADeviceKeyBelowAnEnumerator) {
  start();
  machine.registry.createKey(kEnum + "STREAM\\VEXA.ENC\\1");
  machine.registry.createKey(kEnum + "STREAM\\OTHER\\1");
  machine.registry.createKey(kEnum + "ROOT\\LEGACY\\0000");
  struct Case {
    const char* text;
    bool result;
  } const cases[] = {
      {"", false},
      {"STREAM", false},
      {"STREAM\\", false},
      {"STREAM\\..", false},
      {"STREAM\\.", false},
      {"..\\ROOT", false},
      {"STREAM\\\\VEXA.ENC", false},
      {"STREAM\\MISSING", false},
      {"STREAM\\VEXA.ENC", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    tag_HardwareID record{};
    record.nBusType = c.text[0] == 'S' ? HWID_STREAM : HWID_TEXT;
    std::snprintf(record.szHardwareID, sizeof record.szHardwareID, "%s", c.text);
    EXPECT_EQ(tools().DelEnumRegKey(record), c.result);
    EXPECT_TRUE(has(kEnum + "STREAM\\OTHER\\1"));
    EXPECT_TRUE(has(kEnum + "ROOT\\LEGACY\\0000"));
  }
  EXPECT_FALSE(has(kEnum + "STREAM\\VEXA.ENC"));
}

TEST_F(Cleanup, DriverKeysOfTheDeviceGoOnBothFamilies) {
  for (bool nt5 : {true, false}) {
    SCOPED_TRACE(nt5 ? "NT5" : "9x");
    sim::Machine fresh;
    sim::MachineScope inner(fresh);
    if (!nt5) fresh.setWindowsMe();
    InstallManager local;
    ASSERT_TRUE(local.LoadDrvMgr());
    const std::string root =
        nt5 ? kClass + fixture::kMediaClass : kHklm + "System\\CurrentControlSet\\Services\\Class\\MEDIA";
    fresh.registry.setString(root + "\\0000", "MatchingDeviceId", "pci\\ven_1c5d&dev_5401&subsys_54011c5d");
    fresh.registry.setString(root + "\\0001", "MatchingDeviceId", "PCI\\VEN_1C5D&DEV_5401");
    fresh.registry.setString(root + "\\0002", "MatchingDeviceId", "pci\\ven_8086&dev_24c5&subsys_54011c5d");
    // 128 characters: too long for the record, so it matches nothing.
    std::string tooLong = "PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01" + std::string(128 - 44, 'X');
    fresh.registry.setString(root + "\\0003", "MatchingDeviceId", tooLong);
    fresh.registry.setDword(root + "\\0004", "MatchingDeviceId", 7);  // not a text
    EXPECT_TRUE(local.regKeyTools()->DelDriverRegKey(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
    EXPECT_FALSE(fresh.registry.keyExists(root + "\\0000"));
    EXPECT_FALSE(fresh.registry.keyExists(root + "\\0001"));
    EXPECT_TRUE(fresh.registry.keyExists(root + "\\0002"));
    EXPECT_TRUE(fresh.registry.keyExists(root + "\\0003"));
    EXPECT_TRUE(fresh.registry.keyExists(root + "\\0004"));
    EXPECT_FALSE(local.regKeyTools()->DelDriverRegKey(fixture::record("PCI\\VEN_1C5D&DEV_5401")));
  }
}

TEST_F(Cleanup, ServiceIsDeletedOnNtAndLeftAloneElsewhere) {
  start();
  machine.registry.setDword(kHklm + "SYSTEM\\CurrentControlSet\\Services\\nvpelgar", "Start", 3);
  EXPECT_TRUE(tools().DelServiceRegKey("nvpelgar"));
  EXPECT_FALSE(has(kHklm + "SYSTEM\\CurrentControlSet\\Services\\nvpelgar"));
  EXPECT_FALSE(tools().DelServiceRegKey("nvpelgar"));
  EXPECT_TRUE(machine.boxes.calls().empty());
  EXPECT_FALSE(tools().DelServiceRegKey(nullptr));
  ASSERT_EQ(machine.boxes.calls().size(), 1u);
  EXPECT_NE(machine.boxes.calls()[0].text.find(" : pStrService"), std::string::npos);

  RegKeyTools ninetyEight(nullptr, false);
  EXPECT_TRUE(ninetyEight.DelServiceRegKey("nvpelgar"));
}

TEST(VendorDeviceTags, CompareTheTextsOwnTagsOnly) {
  struct Case {
    const char* text;
    int vendor, device;
    bool match;
  } const cases[] = {
      {"pci\\ven_1c5d&dev_5401&subsys_54011c5d", 0x1C5D, 0x5401, true},
      {"##?#PCI#VEN_1C5D&DEV_5401&SUBSYS_54011C5D#4&1#{65e8773d-8f56-11d0-a3b9-00a0c9223196}", 0x1C5D, 0x5401, true},
      {"usb\\vid_0e1b&pid_0a10", 0x0E1B, 0x0A10, true},
      // The device's numbers elsewhere (its subsystem part) are not its device id.
      {"PCI\\VEN_1234&DEV_9999&SUBSYS_56781234", 0x1234, 0x5678, false},
      {"PCI\\VEN_8086&DEV_24C5&SUBSYS_54011C5D", 0x1C5D, 0x5401, false},
      {"PCI\\VEN_0000&DEV_0000", 0, 0, false},
      {"PCI\\VEN_1C5D&DEV_5401", 0x1C5D, 0, false},
      {"", 0x1C5D, 0x5401, false},
      {"PCI\\VEN_1C5D&DEV_54", 0x1C5D, 0x5401, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(RegKeyTools::VendorDeviceTagsMatch(c.text, c.vendor, c.device), c.match);
  }
}

TEST_F(Cleanup, ClassInstancesGoByVendorAndDeviceOrByDriverFile) {
  start();
  const std::string media = fixture::kMediaClass;
  driverInstance(media, "0000", "pci\\ven_1c5d&dev_5401&subsys_54011c5d");
  driverInstance(media, "0001", "pci\\ven_1234&dev_9999&subsys_1c5d5401");
  machine.registry.createKey(kClass + media + "\\0002");  // no MatchingDeviceId
  machine.registry.setString(kClass + media + "\\0003", "NTMPDriver", "NVPELGAR.SYS");
  machine.registry.setString(kClass + media + "\\0004", "NTMPDriver", "other.sys");
  EXPECT_TRUE(tools().removeRegClassGuidDataBase(media.c_str(), 0x1C5D, 0x5401));
  EXPECT_FALSE(has(kClass + media + "\\0000"));
  EXPECT_TRUE(has(kClass + media + "\\0001"));
  EXPECT_TRUE(has(kClass + media + "\\0002"));
  EXPECT_TRUE(tools().removeRegClassGuidDataBase(media.c_str(), 0, 0));  // names nothing
  EXPECT_TRUE(has(kClass + media + "\\0002"));
  EXPECT_TRUE(tools().removeRegClassGuidDataBaseByDriverName(media.c_str(), "nvpelgar.sys"));
  EXPECT_FALSE(has(kClass + media + "\\0003"));
  EXPECT_TRUE(has(kClass + media + "\\0004"));
  EXPECT_TRUE(tools().removeRegClassGuidDataBase("{00000000-0000-0000-0000-000000000000}", 0x1C5D, 0x5401));
}

TEST_F(Cleanup, InterfaceKeysGoByTheVendorAndDeviceInTheirNames) {
  start();
  const std::string key = kInterfaces + fixture::kCaptureInterface + "\\";
  const std::string ours =
      "##?#PCI#VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01#4&2D5A3B1&0&20F0#{65e8773d-8f56-11d0-a3b9-"
      "00a0c9223196}";
  const std::string theirs =
      "##?#PCI#VEN_8086&DEV_24C5&SUBSYS_54011C5D&REV_01#3&61AAA01&0&FD#{65e8773d-8f56-11d0-"
      "a3b9-00a0c9223196}";
  machine.registry.setString(key + ours + "\\#GLOBAL", "FriendlyName", "card");
  machine.registry.setString(key + theirs + "\\#GLOBAL", "FriendlyName", "other");
  EXPECT_TRUE(tools().removeRegDeviceClass(fixture::kCaptureInterface, 0x1C5D, 0x5401));
  EXPECT_FALSE(has(key + ours));
  EXPECT_TRUE(has(key + theirs + "\\#GLOBAL"));
}

}  // namespace
