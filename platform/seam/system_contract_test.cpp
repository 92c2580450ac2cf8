// System information, last error and the device list: the same cases against the simulated machine and the
// system's own functions.
#include <cstring>
#include <string>
#include <vector>

#include "platform/seam/contract_fixture.h"

namespace {

using SystemContract = ContractTest;

TEST_F(SystemContract, VersionRecordComesInBothSizesAndRefusesOthers) {
  OSVERSIONINFOEXA ex;
  std::memset(&ex, 0xCC, sizeof ex);
  ex.dwOSVersionInfoSize = sizeof ex;
  ASSERT_TRUE(win::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
  EXPECT_EQ(ex.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_EQ(ex.dwMajorVersion, 5u) << "the tests run on Windows XP";
  EXPECT_EQ(ex.dwMinorVersion, 1u);
  EXPECT_LT(std::strlen(ex.szCSDVersion), sizeof ex.szCSDVersion);
  EXPECT_EQ(std::string(ex.szCSDVersion), "Service Pack " + std::to_string(ex.wServicePackMajor));

  OSVERSIONINFOA plain;
  std::memset(&plain, 0xCC, sizeof plain);
  plain.dwOSVersionInfoSize = sizeof plain;
  ASSERT_TRUE(win::GetVersionExA(&plain));
  EXPECT_EQ(plain.dwMinorVersion, 1u);

  OSVERSIONINFOA odd;
  odd.dwOSVersionInfoSize = sizeof odd - 4;
  win::SetLastError(0xDEADBEEF);
  EXPECT_FALSE(win::GetVersionExA(&odd));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(SystemContract, FolderGettersReportTheSizeTheyNeed) {
  char buffer[MAX_PATH];
  UINT length = win::GetWindowsDirectoryA(buffer, MAX_PATH);
  ASSERT_GT(length, 3u);
  EXPECT_EQ(length, std::strlen(buffer));
  EXPECT_NE(buffer[length - 1], '\\') << "no trailing backslash below the root";
  char tiny[2];
  std::memset(tiny, 0xCC, sizeof tiny);
  EXPECT_EQ(win::GetWindowsDirectoryA(tiny, sizeof tiny), length + 1) << "too small: the size with the terminator";

  char system[MAX_PATH];
  UINT systemLength = win::GetSystemDirectoryA(system, MAX_PATH);
  EXPECT_EQ(std::string(system, systemLength).rfind(std::string(buffer, length), 0), 0u)
      << "the system folder lies in the Windows folder";

  char temp[MAX_PATH];
  DWORD tempLength = win::GetTempPathA(MAX_PATH, temp);
  ASSERT_GT(tempLength, 0u);
  EXPECT_EQ(temp[tempLength - 1], '\\');

  char module[MAX_PATH];
  DWORD moduleLength = win::GetModuleFileNameA(nullptr, module, MAX_PATH);
  ASSERT_GT(moduleLength, 0u);
  char cut[5];
  std::memset(cut, 0xCC, sizeof cut);
  win::SetLastError(0xDEADBEEF);
  EXPECT_EQ(win::GetModuleFileNameA(nullptr, cut, 4), 4u) << "cut to the buffer";
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(cut, 4), std::string(module, 4)) << "as on XP, the cut path has no terminator";
  EXPECT_EQ(static_cast<unsigned char>(cut[4]), 0xCC);
}

TEST_F(SystemContract, LastErrorIsPerThreadValueAsSet) {
  win::SetLastError(1234);
  EXPECT_EQ(win::GetLastError(), 1234u);
  win::SetLastError(0);
  EXPECT_EQ(win::GetLastError(), 0u);
}

TEST_F(SystemContract, DeviceListEnumeratesUntilNoMoreItemsAndSizesTheHardwareIds) {
  HDEVINFO set = win::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA device;
  std::memset(&device, 0, sizeof device);
  device.cbSize = sizeof device - 1;
  win::SetLastError(0xDEADBEEF);
  EXPECT_FALSE(win::SetupDiEnumDeviceInfo(set, 0, &device));
  EXPECT_EQ(win::GetLastError(), 1784u) << "ERROR_INVALID_USER_BUFFER for a record of the wrong size";

  device.cbSize = sizeof device;
  DWORD index = 0;
  for (; win::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    DWORD type = 0, needed = 0;
    win::SetLastError(0xDEADBEEF);
    if (win::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, nullptr, 0, &needed)) continue;
    DWORD error = win::GetLastError();
    if (error == ERROR_INVALID_DATA) continue;  // a device without hardware IDs
    ASSERT_EQ(error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> ids(needed, 0xCC);
    ASSERT_TRUE(
        win::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, ids.data(), needed, &needed));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    // The strings end with an empty one within the size reported (what follows it, if anything, is not read).
    size_t at = 0;
    while (at < needed && ids[at] != 0) at += strnlen(reinterpret_cast<const char*>(&ids[at]), needed - at) + 1;
    EXPECT_LT(at, needed) << "the list ends with an empty string";
  }
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_TRUE(win::SetupDiDestroyDeviceInfoList(set));
}

#ifndef _WIN32
TEST_F(SystemContract, SimulatedDevicesListOnlyPresentOnes) {
  sim::current().devices = {
      {"PCI\\VEN_1C5D&DEV_5401\\1", {"PCI\\VEN_1C5D&DEV_5401&REV_01", "PCI\\VEN_1C5D&DEV_5401"}, true},
      {"PCI\\VEN_1C5D&DEV_6700\\2", {"PCI\\VEN_1C5D&DEV_6700"}, false},
      {"ROOT\\LEGACY\\0000", {}, true}};
  HDEVINFO set = win::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  ASSERT_TRUE(win::SetupDiEnumDeviceInfo(set, 0, &device));
  char id[64];
  ASSERT_TRUE(win::SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr));
  EXPECT_STREQ(id, "PCI\\VEN_1C5D&DEV_5401\\1");
  BYTE ids[128];
  DWORD needed = 0;
  ASSERT_TRUE(
      win::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, ids, sizeof ids, &needed));
  EXPECT_EQ(needed, 52u);
  ASSERT_TRUE(win::SetupDiEnumDeviceInfo(set, 1, &device));
  EXPECT_FALSE(
      win::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr, ids, sizeof ids, &needed));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_FALSE(win::SetupDiEnumDeviceInfo(set, 2, &device)) << "the absent device is not listed";
  EXPECT_TRUE(win::SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(win::SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SystemContract, SimulatedVersionRecordFollowsTheMachine) {
  sim::current().setWindows98SE();
  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_TRUE(win::GetVersionExA(&v));
  EXPECT_EQ(v.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_WINDOWS));
  EXPECT_STREQ(v.szCSDVersion, " A ");
  OSVERSIONINFOEXA ex{};
  ex.dwOSVersionInfoSize = sizeof ex;
  sim::current().version.refusesExtended = true;
  EXPECT_FALSE(win::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
}
#endif

}  // namespace
