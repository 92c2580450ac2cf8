// The worker threads of the installer: the base of every install and uninstall sequence. A thread is created on
// the GUI thread by the main window, closes the programs that may hold the device, runs its sequence on its own
// thread and reports to the main window by posting WM_INSTALL_STATUS messages. Error boxes and hardware refreshes
// run on the GUI thread through the synchronise call, the worker waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "installTools/engine/hardwareId.h"
#include "platform/desktop/desktop.h"
#include "platform/ui/ui.h"

class Install_IniSection;
class PcHwStatus;

// The status a worker thread reports. Each message carries its own copy, made when the message is posted and
// never changed afterwards, so the GUI thread never reads a record the worker is writing.
struct InstallStatus {
  int32_t kind;       // 1 install sequence, 2 uninstall sequence
  int32_t percent;    // 0 to 100 (some sequences report more; the window shows at most 100)
  int32_t productId;  // of the thread's section
  char text[256];     // zero-terminated, at most 255 characters; a longer text is cut
  int32_t success;    // 1 when the sequence succeeded
  int32_t done;       // 1 when the thread has finished
  Install_IniSection* section;
};

// WM_USER + 12: a worker thread's status; lParam is the address of an InstallStatus.
constexpr UINT WM_INSTALL_STATUS = 0x040C;

// What the worker threads use of the main window.
class InstallWindow {
 public:
  virtual ~InstallWindow() = default;
  virtual ui::Form& form() = 0;
  virtual void refreshHardware() = 0;
  // The wizard watcher's keep-on-top switch, turned off around every message box.
  virtual void setKeepOnTop(bool on) = 0;
};
// The application's main window, set while it exists.
InstallWindow* applicationMainWindow();
void setApplicationMainWindow(InstallWindow* window);

class InstallThread {
 public:
  static constexpr int32_t kInstall = 1;
  static constexpr int32_t kUninstall = 2;
  static constexpr const char* kInstallShieldKey = "Software\\Taviron\\InstllShield_Install";

  // On the GUI thread: prepares the status record, resets "Need_Reboot", registers the system's MPEG-2 filters
  // for the products that need them, asks known programs to close and waits one second. The sequence starts
  // with start().
  InstallThread(PcHwStatus& hwStatus, DWORD* restartNeeded, int32_t kind, Install_IniSection& section);
  virtual ~InstallThread();
  InstallThread(const InstallThread&) = delete;
  InstallThread& operator=(const InstallThread&) = delete;

  void start();
  // Asks the thread to end; the sequence sees it at its start test.
  void terminate() { terminated_ = true; }
  bool terminated() const { return terminated_; }
  void waitFor() { thread_.join(); }
  bool finished() const { return thread_.finished(); }

  // The live record (the worker's); for tests after the thread has finished.
  const InstallStatus& status() const { return record_; }

  // The programs asked to close before every sequence: window class and title (null: any), in order.
  struct ApplicationWindow {
    const char* className;
    const char* title;
  };
  static const ApplicationWindow kApplications[16];

 protected:
  // The sequence, on the worker thread.
  virtual void execute() = 0;

  void reportStatus(const std::string& text, int32_t percent);
  void reportError(const std::string& text);
  void refreshMainWindowHardware();
  void setNeedReboot(int flag);
  bool updateMediaPlayer();
  // The sequence succeeded. An install sequence reports success only when every device install it made worked.
  void setSuccess();
  void setFailure() { record_.success = 0; }
  // _InstallDevice for the record and INF file, with the main window as parent and the restart flag; remembered
  // for the success rule.
  bool installDevice(const tag_HardwareID& record, const std::string& infPath);
  // The sequence's pauses.
  static void wait(unsigned ms) { ui::sleep(ms); }

  Install_IniSection& section() { return section_; }
  PcHwStatus& hwStatus() { return hwStatus_; }
  HWND mainWindow() const { return mainWindow_; }
  DWORD* restartNeeded() const { return restartNeeded_; }
  const std::string& programFilesFolder() const { return programFiles_; }
  int32_t kind() const { return record_.kind; }

 private:
  void run();
  void onTerminate();
  void post();
  void registerFilters();
  void closeApplications();

  HWND mainWindow_ = nullptr;
  std::string errorText_;
  Install_IniSection& section_;
  std::string programFiles_;
  DWORD* restartNeeded_;
  PcHwStatus& hwStatus_;
  InstallStatus record_{};
  std::mutex snapshotsLock_;
  std::deque<std::unique_ptr<InstallStatus>> snapshots_;  // every posted copy, alive as long as the thread
  bool installFailed_ = false;
  std::atomic<bool> terminated_{false};
  ui::Thread thread_;
};
