// An uninstall removes only what it should: the machine is snapshot (registry and files), the product's INF is
// installed for its card, the engine calls of an uninstall run, and the machine is compared with the snapshot.
// A second card of another vendor, whose hardware ID holds the encoder's numbers in its subsystem part and
// which has its own driver, service and interface, must survive with all its keys.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "installTools/engine/deviceFixture.h"
#include "installTools/engine/tvSetupEngine.h"

namespace {

// Every key and value of the registry and every file of drive C:, one line each.
std::set<std::string> snapshot(const sim::Machine& machine) {
  std::set<std::string> lines;
  std::function<void(const std::string&)> key = [&](const std::string& path) {
    lines.insert(path);
    for (const auto& name : machine.registry.valueNames(path)) {
      DWORD type = 0;
      std::vector<uint8_t> data;
      machine.registry.getValue(path, name, type, data);
      lines.insert(path + " [" + name + "] " + std::to_string(type) + ":" + std::string(data.begin(), data.end()));
    }
    for (const auto& sub : machine.registry.subkeys(path)) key(path + "\\" + sub);
  };
  for (const char* root : {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS"}) key(root);
  std::function<void(const std::string&)> folder = [&](const std::string& path) {
    for (const auto& name : machine.files.list(path)) {
      std::string full = path + "\\" + name;
      if (machine.files.isDirectory(full)) {
        folder(full);
      } else {
        lines.insert(full + " = " + machine.files.readFile(full).value_or(""));
      }
    }
  };
  folder("C:");
  return lines;
}

std::set<std::string> minus(const std::set<std::string>& a, const std::set<std::string>& b) {
  std::set<std::string> out;
  for (const auto& line : a) {
    if (!b.count(line)) out.insert(line);
  }
  return out;
}

// The other vendor's capture card with its own package.
const char* otherInf() {
  return "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=MEDIA\r\n"
         "ClassGUID={4d36e96c-e325-11ce-bfc1-08002be10318}\r\nProvider=Other\r\nDriverVer=01/02/2005,2.0.0.0\r\n"
         "[Manufacturer]\r\nOther=Other.Models\r\n"
         "[Other.Models]\r\nOther Capture=Other.Install, PCI\\VEN_8086&DEV_24C5&SUBSYS_54011C5D\r\n"
         "[DestinationDirs]\r\nDefaultDestDir=12\r\n"
         "[Other.Install]\r\nCopyFiles=@othercap.sys\r\nAddReg=Other.AddReg\r\n"
         "[Other.AddReg]\r\nHKR,,NTMPDriver,,othercap.sys\r\nHKR,\"DriverData\",\"Mode\",0x00010001,2\r\n"
         "[Other.Install.Services]\r\nAddService=othercap,2,Other.Service\r\n"
         "[Other.Service]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\nServiceBinary=%12%\\othercap.sys\r\n"
         "[Other.Install.Interfaces]\r\nAddInterface={65e8773d-8f56-11d0-a3b9-00a0c9223196},GLOBAL\r\n";
}

TEST(UninstallSnapshot, RemovesTheCardsTracesAndNothingElse) {
  sim::Machine machine;
  sim::MachineScope scope(machine);
  fixture::writePackage(machine);
  machine.files.writeFile("C:\\other\\other.inf", otherInf());
  machine.files.writeFile("C:\\other\\othercap.sys", "other driver");
  machine.addDevice(fixture::unrelatedCard());
  machine.addDevice(fixture::encoderCard());
  ASSERT_TRUE(_LoadDrvMgr());
  tag_HardwareID other = fixture::record("PCI\\VEN_8086&DEV_24C5&SUBSYS_54011C5D");
  DWORD reboot = 0;
  ASSERT_TRUE(_InstallDevice(nullptr, &other, "C:\\other\\other.inf", &reboot));
  const std::set<std::string> before = snapshot(machine);

  // Install the product for its card.
  tag_HardwareID ids[2] = {fixture::record("PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D"),
                           fixture::record("PCI\\VEN_1C5D&DEV_5401")};
  ASSERT_TRUE(_InstallDevice(nullptr, &ids[0], fixture::kPackage, &reboot));
  ASSERT_TRUE(machine.registry.keyExists(
      "HKLM\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" + std::string(fixture::kCaptureInterface) +
      "\\##?#PCI#VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01#4&2D5A3B1&0&20F0#" + fixture::kCaptureInterface));

  // The uninstall's engine calls.
  for (auto& id : ids) {
    EXPECT_TRUE(_UninstallByID(&id));
    EXPECT_TRUE(_DelInfFile(&id, 1));
  }
  EXPECT_TRUE(_removeRegClassGuidDataBase(fixture::kMediaClass, 0x1C5D, 0x5401));
  EXPECT_TRUE(_removeRegDeviceClass(fixture::kCaptureInterface, 0x1C5D, 0x5401));
  EXPECT_TRUE(_UnloadDrvMgr());

  const std::set<std::string> after = snapshot(machine);
  // Gone: the card itself (it was plugged in before the install) with its enumeration keys.
  const std::string cardKey =
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\PCI\\"
      "VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01";
  for (const auto& line : minus(before, after)) {
    EXPECT_EQ(line.rfind(cardKey, 0), 0u) << "lost: " << line;
  }
  EXPECT_FALSE(minus(before, after).empty());
  // Left by design: the service and the driver files (these calls do not remove them).
  const std::set<std::string> remainder = {
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\nvpelgar",
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\nvpelgar [DisplayName] 1:VL540 MPEG Encoder Card" +
          std::string(1, '\0'),
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\nvpelgar [ErrorControl] 4:" +
          std::string("\x01\0\0\0", 4),
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\nvpelgar [ImagePath] "
      "2:system32\\DRIVERS\\nvpelgar.sys" +
          std::string(1, '\0'),
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\nvpelgar [Start] 4:" + std::string("\x03\0\0\0", 4),
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\nvpelgar [Type] 4:" + std::string("\x01\0\0\0", 4),
      "C:\\windows\\system32\\drivers\\nvpelgar.sys = MZ driver image",
      "C:\\windows\\system32\\drivers\\nvpelgar.rom = encoder firmware",
  };
  EXPECT_EQ(minus(after, before), remainder);
  ASSERT_EQ(machine.devices.size(), 1u);
  EXPECT_EQ(machine.devices[0].instanceId, fixture::unrelatedCard().instanceId);
  EXPECT_EQ(machine.devices[0].service, "othercap");
}

}  // namespace
