#include "installTools/installer/sequences/utilities.h"

#include <cctype>
#include <cstring>

#include "installTools/engine/hardwareId.h"
#include "installTools/installer/config/iniText.h"
#include "platform/desktop/desktop.h"
#include "platform/ui/ui.h"

int32_t osVersionCode() { return GetOsVersionCode(); }

namespace {

// A decimal number, 0 when the text is not one.
int32_t numberOr0(const std::string& text) { return parseInteger(text).value_or(0); }

}  // namespace

int32_t mediaPlayerVersion(int32_t& major, int32_t& minor) {
  major = 0;
  minor = 0;
  HKEY key;
  if (win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\MediaPlayer\\PlayerUpgrade", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return 0;
  char buffer[256] = "";
  DWORD size = sizeof buffer - 1;
  DWORD type = 0;
  LONG result = win::RegQueryValueExA(key, "PlayerVersion", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  win::RegCloseKey(key);
  if (result != ERROR_SUCCESS || type != REG_SZ) return 0;
  buffer[std::min<DWORD>(size, sizeof buffer - 1)] = 0;
  std::string text = buffer;
  size_t comma = text.find(',');
  if (comma == std::string::npos) return 0;
  major = numberOr0(text.substr(0, comma));
  std::string rest = text.substr(comma + 1);
  size_t next = rest.find(',');
  minor = next == std::string::npos ? 0 : numberOr0(rest.substr(0, next));
  return major * 100 + minor;
}

void restartComputer() {
  int32_t code = osVersionCode();
  if (code == 2000 || code == 20005 || code == 351) {
    HMODULE advapi = win::LoadLibraryA("advapi32");
    if (advapi) {
      using OpenProcessTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
      using LookupPrivilegeValueFn = BOOL(WINAPI*)(LPCSTR, LPCSTR, PLUID);
      using AdjustTokenPrivilegesFn =
          BOOL(WINAPI*)(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD);
      auto openToken = reinterpret_cast<OpenProcessTokenFn>(
          reinterpret_cast<void (*)()>(win::GetProcAddress(advapi, "OpenProcessToken")));
      auto lookup = reinterpret_cast<LookupPrivilegeValueFn>(
          reinterpret_cast<void (*)()>(win::GetProcAddress(advapi, "LookupPrivilegeValueA")));
      auto adjust = reinterpret_cast<AdjustTokenPrivilegesFn>(
          reinterpret_cast<void (*)()>(win::GetProcAddress(advapi, "AdjustTokenPrivileges")));
      HANDLE token = nullptr;
      if (openToken && lookup && adjust &&
          openToken(win::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (lookup(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid))
          adjust(token, FALSE, &privileges, 0, nullptr, nullptr);
        win::CloseHandle(token);
      }
      win::FreeLibrary(advapi);
    }
  }
  desk::ExitWindowsEx(EWX_REBOOT | EWX_FORCEIFHUNG, 0);
}

// Waits on the process handle itself, waking for the calling thread's messages: the exit code is read only once
// the process has ended, so a program that ends with the code 259 (STILL_ACTIVE) does not look as if it ran on.
void runAndWait(const std::string& commandLine, int& running, unsigned waitBound) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::string line = commandLine;
  if (!desk::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                            &startup, &info))
    return;
  running = 1;
  uint64_t start = ui::now();
  for (;;) {
    bool pump = waitBound == 0 || ui::now() - start < waitBound;
    DWORD wait =
        desk::MsgWaitForMultipleObjects(1, &info.hProcess, FALSE, pump ? INFINITE : 100, pump ? QS_ALLINPUT : 0);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_FAILED) break;
    if (pump) {
      MSG msg;
      while (desk::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        desk::TranslateMessage(&msg);
        desk::DispatchMessageA(&msg);
      }
    }
  }
  running = 0;
  desk::CloseHandle(info.hProcess);
  desk::CloseHandle(info.hThread);
}

void startProgram(const std::string& commandLine) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_FORCEONFEEDBACK;
  PROCESS_INFORMATION info{};
  std::string line = commandLine;
  if (desk::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    desk::CloseHandle(info.hProcess);
    desk::CloseHandle(info.hThread);
    return;
  }
  DWORD error = win::GetLastError();
  char message[512] = "";
  desk::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message, sizeof message, nullptr);
  std::string text = "Trying to open \"" + commandLine + "\"\r\n" + message;
  win::MessageBoxA(win::GetActiveWindow(), text.c_str(), "Error executing command", MB_ICONWARNING | MB_OK);
}

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return c - 'A' + 10;
}

// The system's text-to-GUID conversion: braces, 8-4-4-4-12 hex digits and the hyphens in their places.
bool convertGuid(const std::string& text, GUID& guid) {
  static const char shape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (text.size() != 38) return false;
  for (size_t i = 0; i < 38; ++i) {
    if (shape[i] == 'X' ? !std::isxdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
  }
  auto field = [&](size_t at, size_t digits) {
    uint32_t value = 0;
    for (size_t i = 0; i < digits; ++i) value = value * 16 + hexValue(text[at + i]);
    return value;
  };
  GUID parsed{};
  parsed.Data1 = field(1, 8);
  parsed.Data2 = static_cast<uint16_t>(field(10, 4));
  parsed.Data3 = static_cast<uint16_t>(field(15, 4));
  parsed.Data4[0] = static_cast<uint8_t>(field(20, 2));
  parsed.Data4[1] = static_cast<uint8_t>(field(22, 2));
  for (int i = 0; i < 6; ++i) parsed.Data4[2 + i] = static_cast<uint8_t>(field(25 + 2 * i, 2));
  guid = parsed;
  return true;
}

}  // namespace

bool parseGuid(const std::string& text, GUID& guid) {
  std::string kept;
  for (char c : text) {
    char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if ((u >= '0' && u <= '9') || (u >= 'A' && u <= 'F') || u == '{' || u == '}' || u == '-') kept += u;
  }
  if (kept.size() != 38) return false;
  return convertGuid(kept, guid);
}

std::string quotedPath(const std::string& path) { return "\"" + path + "\""; }
