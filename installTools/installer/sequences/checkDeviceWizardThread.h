// Keeps the system's new-hardware wizard and its tray balloon out of the way while the installer runs, twice a
// second, and keeps the main window on top between message boxes.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/ui/ui.h"

class CheckDeviceWizardThread {
 public:
  static constexpr UINT kWizardTitleString = 2040;  // newdev.dll's string: the wizard's window title
  static constexpr unsigned kCycleMs = 500;

  // Starts running at once, inactive and without keep-on-top.
  explicit CheckDeviceWizardThread(ui::Form& mainWindow);
  ~CheckDeviceWizardThread();
  CheckDeviceWizardThread(const CheckDeviceWizardThread&) = delete;
  CheckDeviceWizardThread& operator=(const CheckDeviceWizardThread&) = delete;

  void setActive(bool active) { active_ = active; }
  // On the GUI thread: sets the flag and at once makes the main window topmost or not.
  void setKeepOnTop(bool on);
  bool keepOnTop() const { return keepOnTop_ != 0; }
  void terminate() { terminated_ = true; }
  void waitFor() { thread_.join(); }

  // One cycle's dismissal of the wizard and the balloon: on Windows XP (20005) the wizard is asked to close; on other
  // systems it is cancelled and, when it stays, moved to the bottom and hidden.
  static void dismissWizard(int32_t osVersionCode);

 private:
  void execute();

  std::atomic<bool> active_{false};
  int32_t osVersionCode_;
  std::atomic<int32_t> keepOnTop_{0};
  std::atomic<bool> terminated_{false};
  ui::Form& mainWindow_;
  HWND mainHandle_;
  ui::Thread thread_;
};
