// tvWindowProbe: the Windows-side hand of the installer's Wine test. It looks at the installer's window through
// the window functions, presses its buttons, and prepares and reads a present fixture device.
//   tvWindowProbe window SECONDS       waits for the visible main window; prints its caption and its controls
//   tvWindowProbe click TEXT           presses the main window's button captioned TEXT
//   tvWindowProbe gone SECONDS         waits until the main window has closed
//   tvWindowProbe add-device ID HWID...  registers a present root device ROOT\ID\0000 with the hardware IDs
//   tvWindowProbe driver HWID          prints the driver key ("Driver" value) of the device whose list holds HWID
#include <windows.h>
// After windows.h, which it builds on.
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kFormClass = "TvSetupForm";

HWND mainWindow() {
  HWND found = nullptr;
  EnumWindows(
      [](HWND hwnd, LPARAM out) -> BOOL {
        char cls[64] = "";
        GetClassNameA(hwnd, cls, sizeof cls);
        if (std::strcmp(cls, kFormClass) == 0 && IsWindowVisible(hwnd) && !GetWindow(hwnd, GW_OWNER)) {
          *reinterpret_cast<HWND*>(out) = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND waitForWindow(int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (HWND w = mainWindow()) return w;
    Sleep(100);
  }
  return nullptr;
}

int window(int seconds) {
  HWND w = waitForWindow(seconds);
  if (!w) {
    std::printf("no main window\n");
    return 1;
  }
  char text[512] = "";
  GetWindowTextA(w, text, sizeof text);
  std::printf("caption: %s\n", text);
  EnumChildWindows(
      w,
      [](HWND child, LPARAM) -> BOOL {
        if (!IsWindowVisible(child)) return TRUE;
        char cls[64] = "", caption[512] = "";
        GetClassNameA(child, cls, sizeof cls);
        GetWindowTextA(child, caption, sizeof caption);
        LONG style = GetWindowLongA(child, GWL_STYLE);
        const char* kind = cls;
        if (_stricmp(cls, "Button") == 0) {
          LONG type = style & BS_TYPEMASK;
          kind = type == BS_GROUPBOX                                    ? "group"
                 : type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON ? "radio"
                                                                        : "button";
        }
        if (*caption) std::printf("%s: %s\n", kind, caption);
        return TRUE;
      },
      0);
  return 0;
}

int click(const char* caption) {
  HWND w = waitForWindow(10);
  if (!w) return 1;
  HWND button = FindWindowExA(w, nullptr, "Button", caption);
  if (!button) {
    std::printf("no button %s\n", caption);
    return 1;
  }
  PostMessageA(w, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED), reinterpret_cast<LPARAM>(button));
  return 0;
}

int gone(int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    if (!mainWindow()) return 0;
    Sleep(100);
  }
  std::printf("the main window is still there\n");
  return 1;
}

// {4D36E96C-E325-11CE-BFC1-08002BE10318}: the MEDIA class.
const GUID kMediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

int addDevice(const char* id, const std::vector<std::string>& hardwareIds) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kMediaClass, nullptr);
  if (set == INVALID_HANDLE_VALUE) return 1;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  std::string instance = std::string("ROOT\\") + id + "\\0000";
  if (!SetupDiCreateDeviceInfoA(set, instance.c_str(), &kMediaClass, nullptr, nullptr, 0, &data)) {
    if (GetLastError() == ERROR_DEVINST_ALREADY_EXISTS) return 0;  // from an earlier run in the same prefix
    std::printf("SetupDiCreateDeviceInfoA failed: %lu\n", GetLastError());
    return 1;
  }
  std::string multi;
  for (const std::string& h : hardwareIds) multi += h + '\0';
  multi += '\0';
  if (!SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(multi.data()),
                                         static_cast<DWORD>(multi.size())) ||
      !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data)) {
    std::printf("registering the device failed: %lu\n", GetLastError());
    return 1;
  }
  SetupDiDestroyDeviceInfoList(set);
  return 0;
}

int driver(const char* hardwareId) {
  HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return 1;
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    char ids[2048] = "";
    if (!SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                           sizeof ids - 2, nullptr))
      continue;
    for (const char* p = ids; *p; p += std::strlen(p) + 1) {
      if (_stricmp(p, hardwareId) != 0) continue;
      char key[256] = "";
      bool has = SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DRIVER, nullptr, reinterpret_cast<BYTE*>(key),
                                                   sizeof key, nullptr);
      std::printf("driver: %s\n", has ? key : "(none)");
      SetupDiDestroyDeviceInfoList(set);
      return has ? 0 : 1;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  std::printf("no device %s\n", hardwareId);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "window" && argc > 2) return window(std::atoi(argv[2]));
  if (command == "click" && argc > 2) return click(argv[2]);
  if (command == "gone" && argc > 2) return gone(std::atoi(argv[2]));
  if (command == "add-device" && argc > 3) return addDevice(argv[2], std::vector<std::string>(argv + 3, argv + argc));
  if (command == "driver" && argc > 2) return driver(argv[2]);
  std::fprintf(stderr, "usage: tvWindowProbe window|click|gone|add-device|driver ...\n");
  return 2;
}
