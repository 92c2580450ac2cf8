// The host's system-information, last-error, message-box and process functions, over the simulated machine.
#include <cstring>

#include "platform/seam/winapi.h"
#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace {

thread_local DWORD lastError = 0;

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

}  // namespace win
