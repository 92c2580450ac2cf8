// tvSetupCtl's commands and exit codes. The fixture-device case runs on both sides: on the host against the
// simulated machine, and under Wine (a prefix set to Windows XP) against the system's setup functions, with
// Wine's known deviations marked. The installed-device check and refresh go through the configuration
// manager's device tree, which Wine only stubs (CM_Locate_DevNodeA fails; removal functions abort the
// process), so those commands are checked on the host only.
#include "installTools/tvSetupCtl/setupCtl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "installTools/engine/systemFunctions.h"
#include "installTools/engine/tvSetupEngine.h"
#include "platform/seam/contract_fixture.h"

#ifndef _WIN32
#include <filesystem>

#include "installTools/engine/deviceFixture.h"
#endif

namespace {

const char kMediaClass[] = "{4D36E96C-E325-11CE-BFC1-08002BE10318}";
const char kFixtureId[] = "ROOT\\TVSETUPCTLTEST\\0000";
const char kCardId[] = "PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D";

struct Result {
  int code;
  std::string out, err;
};

Result ctl(const std::vector<std::string>& args) {
  Result r{};
  r.code = SetupCtlMain(args, r.out, r.err);
  return r;
}

// The sample package's INF for Windows XP, as the source tree holds it.
std::string sampleInf() {
#ifdef _WIN32
  std::ifstream file("Z:" TV_SOURCE_DIR "/sample/package/Driver/XP/nvpelgar.inf", std::ios::binary);
#else
  std::ifstream file(TV_SOURCE_DIR "/sample/package/Driver/XP/nvpelgar.inf", std::ios::binary);
#endif
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A present root-enumerated device with the card's hardware IDs, made the way device installers make one.
class FixtureDevice : public ContractTest {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    removeFixture();
    HDEVINFO set = win::SetupDiCreateDeviceInfoList(nullptr, nullptr);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    GUID media{0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    ASSERT_TRUE(win::SetupDiCreateDeviceInfoA(set, kFixtureId, &media, "tvSetupCtl test card", nullptr, 0, &device))
        << win::GetLastError();
    const char ids[] = "PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D\0PCI\\VEN_1C5D&DEV_5401\0";
    ASSERT_TRUE(win::SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                                       reinterpret_cast<const BYTE*>(ids), sizeof ids));
    ASSERT_TRUE(win::SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) << win::GetLastError();
    win::SetupDiDestroyDeviceInfoList(set);
    std::string inf = sampleInf();
    ASSERT_FALSE(inf.empty());
    infPath_ = writeFile("nvpelgar.inf", inf);
    writeFile("nvpelgar.sys", "driver image");
    writeFile("nvpelgar.rom", "encoder firmware");
  }
  void TearDown() override {
    removeFixture();
    deleteTree(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\nvpelgar");
    ContractTest::TearDown();
  }

  // Runs `act` on the fixture device while it is present; false when it is not.
  template <typename Act>
  static bool withFixture(Act act) {
    HDEVINFO set = win::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; !found && win::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
      char id[256];
      if (win::SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr) && _stricmp(id, kFixtureId) == 0) {
        found = true;
        act(set, device);
      }
    }
    win::SetupDiDestroyDeviceInfoList(set);
    return found;
  }
  static void removeFixture() {
    withFixture([](HDEVINFO set, SP_DEVINFO_DATA& device) { win::SetupDiRemoveDevice(set, &device); });
  }
  static std::string driverOfFixture() {
    std::string driver;
    withFixture([&](HDEVINFO set, SP_DEVINFO_DATA& device) {
      char text[256] = {};
      if (win::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_DRIVER, nullptr, reinterpret_cast<BYTE*>(text),
                                                 sizeof text, nullptr)) {
        driver = text;
      }
    });
    return driver;
  }
  static std::string readText(const std::string& key, const char* value) {
    HKEY handle;
    if (win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return "-";
    char data[512] = {};
    DWORD size = sizeof data - 1;
    LONG status = win::RegQueryValueExA(handle, value, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    win::RegCloseKey(handle);
    return status == ERROR_SUCCESS ? std::string(data) : "-";
  }

  static DWORD readNumber(const std::string& key, const char* value) {
    HKEY handle;
    if (win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return 0;
    DWORD data = 0, type = 0, size = sizeof data;
    LONG status = win::RegQueryValueExA(handle, value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    win::RegCloseKey(handle);
    return status == ERROR_SUCCESS && type == REG_DWORD ? data : 0;
  }

  std::string infPath_;

#ifdef _WIN32
  static int _stricmp(const char* a, const char* b) { return ::_stricmp(a, b); }
#else
  static int _stricmp(const char* a, const char* b) { return strcasecmp(a, b); }
#endif
};

TEST_F(FixtureDevice, InstallsTheSampleInfForThePresentCardAndRemovesIt) {
  Result present = ctl({"present"});
  EXPECT_EQ(present.code, kCtlDone);
  EXPECT_NE(present.out.find(std::string(kCardId) + "\n"), std::string::npos) << present.out;

  Result install = ctl({"install", kCardId, infPath_});
  ASSERT_EQ(install.code, kCtlDone) << install.err;
  std::string driver = driverOfFixture();
  ASSERT_EQ(driver.rfind(std::string(kMediaClass) + "\\", 0), 0u) << driver;
  const std::string driverKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\" + driver;
  EXPECT_EQ(readText(driverKey, "InfSection"), "VL540.Install");
  EXPECT_EQ(readNumber(driverKey + "\\DriverData", "BitRate"), 6000000u);
  std::string stored = readText(driverKey, "InfPath");
  char windows[MAX_PATH] = {};
  win::GetWindowsDirectoryA(windows, sizeof windows);
  EXPECT_NE(win::GetFileAttributesA((std::string(windows) + "\\inf\\" + stored).c_str()), INVALID_FILE_ATTRIBUTES)
      << stored;
  if (onWine()) {
    // Known Wine deviations: the INF keeps its own name in the store, and no "MatchingDeviceId" is written.
    EXPECT_EQ(stored, "nvpelgar.inf");
    EXPECT_EQ(readText(driverKey, "MatchingDeviceId"), "-");
  } else {
    EXPECT_EQ(stored, "oem0.inf");
    EXPECT_EQ(readText(driverKey, "MatchingDeviceId"), "pci\\ven_1c5d&dev_5401&subsys_54011c5d");
  }

  Result remove = ctl({"remove", kCardId});
  EXPECT_EQ(remove.code, kCtlDone) << remove.err;
  EXPECT_FALSE(withFixture([](HDEVINFO, SP_DEVINFO_DATA&) {}));
  if (onWine()) {
    // Known Wine deviation (Wine 8.0): the removal leaves the device's driver key behind.
    deleteTree(HKEY_LOCAL_MACHINE, driverKey);
  }
  EXPECT_EQ(readText(driverKey, "InfSection"), "-");
  EXPECT_EQ(ctl({"remove", kCardId}).code, kCtlNoDevice);
}

TEST_F(FixtureDevice, ServiceOfTheInstalledDriverIsDeleted) {
  ASSERT_EQ(ctl({"install", kCardId, infPath_}).code, kCtlDone);
  EXPECT_NE(readText("SYSTEM\\CurrentControlSet\\Services\\nvpelgar", "ImagePath"), "-");
  ASSERT_TRUE(_LoadDrvMgr());
  EXPECT_TRUE(_DelServiceRegKey("nvpelgar"));
  EXPECT_FALSE(_DelServiceRegKey("nvpelgar"));
  _UnloadDrvMgr();
}

TEST_F(FixtureDevice, InstallWithoutAMatchingDevicePlacesTheInfOnly) {
  Result r = ctl({"install", "PCI\\VEN_1C5D&DEV_6700", infPath_});
  EXPECT_EQ(r.code, kCtlNoDevice);
  EXPECT_NE(r.err.find("placed in the store"), std::string::npos) << r.err;
  EXPECT_TRUE(driverOfFixture().empty());

  // The driver update itself, for an ID no device has.
  ASSERT_TRUE(_LoadDrvMgr());
  BOOL reboot = FALSE;
  win::SetLastError(0xDEADBEEF);
  BOOL updated = g_fnUpdateDriverForPlugAndPlayDevices(nullptr, "PCI\\VEN_1C5D&DEV_6700", infPath_.c_str(),
                                                       INSTALLFLAG_FORCE, &reboot);
  DWORD error = win::GetLastError();
  _UnloadDrvMgr();
  if (onWine()) {
    EXPECT_TRUE(updated) << "known Wine deviation: TRUE although no device matches";
  } else {
    EXPECT_FALSE(updated);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  }
  EXPECT_FALSE(reboot);
}

TEST(SetupCtl, RefusesBadArguments) {
  struct Case {
    std::vector<std::string> args;
    const char* reason;
  } const cases[] = {
      {{}, "usage"},
      {{"frobnicate"}, "unknown command"},
      {{"installed"}, "wrong number"},
      {{"remove", "ISA\\PNP0501"}, "not a PCI, USB or STREAM"},
      {{"remove", std::string(130, 'P')}, "1 to 127"},
      {{"delinf"}, "at least one"},
      {{"--machine"}, "needs a folder"},
  };
  for (const Case& c : cases) {
    Result r = ctl(c.args);
    EXPECT_EQ(r.code, kCtlFailed);
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
  }
}

#ifndef _WIN32
// Host only: the device tree (installed, refresh) and machine folders.

TEST(SetupCtlOnTheHost, MachineFolderIsLoadedActedOnAndSaved) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / "tvSetupCtlTest";
  fs::remove_all(dir);
  {
    sim::Machine machine;
    machine.addDevice(fixture::encoderCard());
    fixture::writePackage(machine);
    machine.findDevice(fixture::encoderCard().instanceId)->restartOnInstall = true;
    std::string error;
    ASSERT_TRUE(machine.save(dir.string(), error)) << error;
  }
  EXPECT_EQ(ctl({"--machine", dir.string(), "installed", "PCI\\VEN_1C5D&DEV_5401"}).code, kCtlDone);
  EXPECT_EQ(ctl({"--machine", dir.string(), "install", "PCI\\VEN_1C5D&DEV_5401", fixture::kPackage}).code,
            kCtlRestartNeeded);
  {
    sim::Machine saved;
    std::string error;
    ASSERT_TRUE(sim::Machine::load(dir.string(), saved, error)) << error;
    ASSERT_EQ(saved.devices.size(), 1u);
    EXPECT_EQ(saved.devices[0].service, "nvpelgar");
    EXPECT_EQ(saved.registry.getString(saved.driverKeyPath(saved.devices[0]), "InfPath"), "oem0.inf");
  }
  EXPECT_EQ(ctl({"--machine", dir.string(), "refresh"}).code, kCtlDone);
  EXPECT_EQ(ctl({"--machine", dir.string(), "uninstall", "PCI\\VEN_1C5D&DEV_5401"}).code, kCtlDone);
  EXPECT_EQ(ctl({"--machine", dir.string(), "delinf", "PCI\\VEN_1C5D&DEV_5401"}).code, kCtlDone);
  EXPECT_EQ(ctl({"--machine", dir.string(), "installed", "PCI\\VEN_1C5D&DEV_5401"}).code, kCtlNoDevice);
  EXPECT_EQ(ctl({"--machine", dir.string(), "present"}).out, "");
  EXPECT_FALSE(fs::exists(dir / "drive_c" / "windows" / "inf" / "oem0.inf"));
  EXPECT_EQ(ctl({"--machine", (dir / "missing").string(), "present"}).code, kCtlFailed);
  fs::remove_all(dir);
}

TEST(SetupCtlOnTheHost, EngineThatCannotLoadAndAStandardUserFail) {
  sim::Machine machine;
  sim::MachineScope scope(machine);
  machine.security.runAsStandardUser();
  Result admin = ctl({"isadmin"});
  EXPECT_EQ(admin.code, kCtlFailed);
  EXPECT_NE(admin.err.find("Administrators"), std::string::npos);
  machine.libraries.remove("newdev");
  Result r = ctl({"present"});
  EXPECT_EQ(r.code, kCtlFailed);
  EXPECT_NE(r.err.find("could not load"), std::string::npos);
}
#endif

}  // namespace
