// The OS version code: the number by which the installer and the install engine name the running Windows.
#include "installTools/engine/hardwareId.h"
#include "platform/seam/winapi.h"

namespace {

constexpr int32_t kUnknownWindows = 1000;

// The code of a version record; both record forms begin with the same fields.
template <typename Record>
int32_t codeFor(const Record& info) {
  if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
    if (info.dwMajorVersion == 4 && info.dwMinorVersion == 0) return 95;
    // Windows 98 Second Edition reports " A " as its service-pack text.
    if (info.dwMajorVersion == 4 && info.dwMinorVersion == 10) return info.szCSDVersion[1] == 'A' ? 982 : 98;
    if (info.dwMajorVersion == 4 && info.dwMinorVersion == 90) return 982000;
    return kUnknownWindows;
  }
  if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    if (info.dwMajorVersion <= 4) return 351;
    if (info.dwMajorVersion == 5 && info.dwMinorVersion == 0) return 2000;
    if (info.dwMajorVersion == 5 && info.dwMinorVersion == 1) return 20005;
  }
  return kUnknownWindows;
}

}  // namespace

int32_t ComputeOsVersionCode() {
  // The extended record first; Windows 95 and NT 4 before Service Pack 6 know only the plain one.
  OSVERSIONINFOEXA extended{};
  extended.dwOSVersionInfoSize = sizeof extended;
  if (win::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended))) {
    return codeFor(extended);
  }
  OSVERSIONINFOA plain{};
  plain.dwOSVersionInfoSize = sizeof plain;
  if (win::GetVersionExA(&plain)) return codeFor(plain);
  return kUnknownWindows;
}

int32_t GetOsVersionCode() {
  static const int32_t code = ComputeOsVersionCode();
  return code;
}
