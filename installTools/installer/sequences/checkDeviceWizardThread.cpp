#include "installTools/installer/sequences/checkDeviceWizardThread.h"

#include <string>

#include "installTools/installer/sequences/utilities.h"
#include "platform/desktop/desktop.h"

CheckDeviceWizardThread::CheckDeviceWizardThread(ui::Form& mainWindow)
    : osVersionCode_(osVersionCode()), mainWindow_(mainWindow), mainHandle_(mainWindow.handle()) {
  thread_.start([this] { execute(); });
}

CheckDeviceWizardThread::~CheckDeviceWizardThread() {
  terminate();
  thread_.join();
}

void CheckDeviceWizardThread::setKeepOnTop(bool on) {
  keepOnTop_ = on ? 1 : 0;
  mainWindow_.setTopmost(on);
}

void CheckDeviceWizardThread::execute() {
  while (!terminated_) {
    if (active_) {
      dismissWizard(osVersionCode_);
      if (keepOnTop_ == 1) desk::SetWindowPos(mainHandle_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    }
    ui::sleep(kCycleMs);
  }
}

void CheckDeviceWizardThread::dismissWizard(int32_t osVersionCode) {
  char windows[1024] = "";
  if (!win::GetWindowsDirectoryA(windows, sizeof windows)) return;
  std::string path = std::string(windows) + "\\System32\\newdev.dll";
  HMODULE newdev = desk::LoadLibraryA(path.c_str());
  if (!newdev) return;
  char title[260] = "";
  int length = desk::LoadStringA(newdev, kWizardTitleString, title, sizeof title);
  desk::FreeLibrary(newdev);
  if (length <= 0) return;
  if (HWND wizard = desk::FindWindowA(nullptr, title)) {
    if (osVersionCode == 20005) {
      desk::PostMessageA(wizard, WM_CLOSE, 0, 0);
    } else {
      desk::SendMessageA(wizard, WM_COMMAND, IDCANCEL, 0);
      if (desk::IsWindow(wizard))
        desk::SetWindowPos(wizard, HWND_BOTTOM, 0, 0, 0, 0, SWP_HIDEWINDOW | SWP_NOMOVE | SWP_NOSIZE);
    }
  }
  if (HWND balloon = desk::FindWindowA("tooltips_class32", "")) desk::PostMessageA(balloon, WM_CLOSE, 0, 0);
}
