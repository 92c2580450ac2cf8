// The host's system-information, last-error, message-box, process and device-list functions, over the
// simulated machine.
#include <cstring>
#include <map>
#include <memory>

#include "platform/seam/winapi.h"
#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace {

thread_local DWORD lastError = 0;

// A device-information set: the devices that were present when the set was made, by their index in the
// machine's list.
struct DeviceInfoSet {
  std::vector<size_t> members;
};

std::mutex setsMutex;
std::map<HDEVINFO, std::unique_ptr<DeviceInfoSet>>& sets() {
  static std::map<HDEVINFO, std::unique_ptr<DeviceInfoSet>> all;
  return all;
}

DeviceInfoSet* findSet(HDEVINFO handle) {
  std::lock_guard guard(setsMutex);
  auto it = sets().find(handle);
  return it == sets().end() ? nullptr : it->second.get();
}

constexpr DWORD ERROR_INVALID_USER_BUFFER_ = 1784;
constexpr DWORD ERROR_INVALID_FLAGS_ = 1004;

}  // namespace

namespace win {

DWORD GetLastError(void) { return lastError; }
void SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  const sim::VersionRecord& v = m.version;
  if (!info) {
    lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  const bool extended = info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXA);
  if ((info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) && !extended) || (extended && v.refusesExtended) ||
      (!extended && v.refusesPlain)) {
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  info->dwMajorVersion = v.major;
  info->dwMinorVersion = v.minor;
  info->dwBuildNumber = v.build;
  info->dwPlatformId = v.platform;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  sim::copyCut(v.csd, info->szCSDVersion, sizeof info->szCSDVersion);
  if (extended) {
    auto* ex = reinterpret_cast<OSVERSIONINFOEXA*>(info);
    ex->wServicePackMajor = v.servicePackMajor;
    ex->wServicePackMinor = v.servicePackMinor;
    ex->wSuiteMask = 0x0100;  // single user
    ex->wProductType = 1;     // workstation
    ex->wReserved = 0;
  }
  return TRUE;
}

LCID GetUserDefaultLCID(void) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  return m.userLcid;
}

LANGID GetSystemDefaultLangID(void) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  return m.systemLanguage;
}

namespace {
// The platform's contract for the path getters: with room, the length without the terminator; without room,
// the length the caller needs including the terminator.
UINT pathResult(const std::string& path, LPSTR buffer, UINT size) {
  if (path.size() + 1 > size) return static_cast<UINT>(path.size() + 1);
  sim::copyCut(path, buffer, size);
  return static_cast<UINT>(path.size());
}
}  // namespace

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (module != nullptr) {
    lastError = ERROR_INVALID_HANDLE;
    return 0;
  }
  if (size == 0) {
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  // As on Windows XP: a path that does not fit is cut to the buffer's size and left without its terminator; the
  // result is then the buffer's size.
  if (m.modulePath.size() >= size) {
    std::memcpy(buffer, m.modulePath.data(), size);
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  size_t n = sim::copyCut(m.modulePath, buffer, size);
  return static_cast<DWORD>(n);
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  return pathResult(m.windowsFolder, buffer, size);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  return pathResult(m.systemFolder(), buffer, size);
}

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  return pathResult(m.windowsFolder + "\\Temp\\", buffer, size);
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  return m.boxes.show(owner, text ? text : "", caption ? caption : "Error", type);
}

void ExitProcess(UINT exitCode) { throw sim::ProcessExit{exitCode}; }

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND, DWORD flags) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  // The package lists all classes' devices; a class filter or an enumerator is not modelled.
  if (classGuid != nullptr || enumerator != nullptr || !(flags & DIGCF_ALLCLASSES)) {
    lastError = ERROR_INVALID_FLAGS_;
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_unique<DeviceInfoSet>();
  for (size_t i = 0; i < m.devices.size(); ++i) {
    if (!(flags & DIGCF_PRESENT) || m.devices[i].present) set->members.push_back(i);
  }
  HDEVINFO handle = set.get();
  std::lock_guard setsGuard(setsMutex);
  sets()[handle] = std::move(set);
  return handle;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
  DeviceInfoSet* set = findSet(handle);
  if (!set) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    lastError = ERROR_INVALID_USER_BUFFER_;
    return FALSE;
  }
  if (index >= set->members.size()) {
    lastError = ERROR_NO_MORE_ITEMS;
    return FALSE;
  }
  std::memset(&data->ClassGuid, 0, sizeof data->ClassGuid);
  data->DevInst = static_cast<DWORD>(set->members[index] + 1);
  data->Reserved = 0;
  return TRUE;
}

namespace {
const sim::Device* deviceOf(HDEVINFO handle, PSP_DEVINFO_DATA data, sim::Machine& m) {
  DeviceInfoSet* set = findSet(handle);
  if (!set) {
    lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->DevInst == 0 ||
      data->DevInst > m.devices.size()) {
    lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  return &m.devices[data->DevInst - 1];
}
}  // namespace

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                       PBYTE buffer, DWORD size, PDWORD required) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  const sim::Device* device = deviceOf(handle, data, m);
  if (!device) return FALSE;
  if (property != SPDRP_HARDWAREID) {
    lastError = ERROR_INVALID_DATA;
    return FALSE;
  }
  if (device->hardwareIds.empty()) {
    lastError = ERROR_INVALID_DATA;
    return FALSE;
  }
  std::string multi;
  for (const auto& id : device->hardwareIds) multi += id + '\0';
  multi += '\0';
  if (type) *type = REG_MULTI_SZ;
  if (required) *required = static_cast<DWORD>(multi.size());
  if (!buffer || size < multi.size()) {
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  std::memcpy(buffer, multi.data(), multi.size());
  return TRUE;
}

BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO handle, PSP_DEVINFO_DATA data, PSTR id, DWORD size, PDWORD required) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  const sim::Device* device = deviceOf(handle, data, m);
  if (!device) return FALSE;
  if (required) *required = static_cast<DWORD>(device->instanceId.size() + 1);
  if (!id || size < device->instanceId.size() + 1) {
    lastError = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  sim::copyCut(device->instanceId, id, size);
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
  std::lock_guard guard(setsMutex);
  if (sets().erase(handle) == 0) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  return TRUE;
}

}  // namespace win
