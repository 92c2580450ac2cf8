#include "installTools/installer/shell/installThread.h"

#include <cstring>

#include "installTools/installIniSection/installIniSection.h"
#include "installTools/installer/config/iniText.h"
#include "installTools/installer/config/installIniFile.h"
#include "installTools/installer/sequences/engineCalls.h"
#include "installTools/installer/sequences/utilities.h"

namespace {
InstallWindow* g_mainWindow = nullptr;
}

InstallWindow* applicationMainWindow() { return g_mainWindow; }
void setApplicationMainWindow(InstallWindow* window) { g_mainWindow = window; }

const InstallThread::ApplicationWindow InstallThread::kApplications[16] = {
    {"Koan", "PowerCinema"},
    {"T7IRCLS", nullptr},
    {"eHome Render Window", nullptr},
    {"TFormMain", "_TaviTvSchedule_"},
    {"#32770", "SimHID"},
    {"#32770", "SimHID"},
    {"#32770", "SimHID"},
    {"#32770", "SimHID"},
    {"#32770", "SimHID"},
    {"Twtr460KTForm", "TaviWtr460HMain"},
    {"Twtr460HForm", "TaviWtr460HMain"},
    {"Twtr460Main", "TaviWtr460Main"},
    {"Twtr460VcrForm", "TaviWtr460Main"},
    {"TtestMainForm", "RX410 Test Program"},
    {"TFormMain", "_TaviTvSchedule_"},
    {"TreservationDataForm", "_TvScheduleMain_"},
};

InstallThread::InstallThread(PcHwStatus& hwStatus, DWORD* restartNeeded, int32_t kind, Install_IniSection& section)
    : section_(section), restartNeeded_(restartNeeded), hwStatus_(hwStatus) {
  std::memset(&record_, 0, sizeof record_);
  if (InstallWindow* window = applicationMainWindow()) mainWindow_ = window->form().handle();
  record_.kind = kind;
  record_.percent = 0;
  record_.productId = section.productId();
  record_.success = 0;
  record_.done = 0;
  record_.section = &section;
  setNeedReboot(0);
  char folder[MAX_PATH + 1] = "";
  if (desk::SHGetSpecialFolderPathA(mainWindow_, folder, CSIDL_PROGRAM_FILES, FALSE)) {
    programFiles_ = folder;
    if (programFiles_.empty() || (programFiles_.back() != '\\' && programFiles_.back() != '/')) programFiles_ += "\\";
  }
  int32_t id = section.productId();
  if (id == 2101 || id == 620 || id == 211 || id == 212) registerFilters();
  closeApplications();
  wait(1000);
}

InstallThread::~InstallThread() {
  terminate();
  thread_.join();
}

void InstallThread::start() {
  thread_.start([this] { run(); });
}

void InstallThread::run() {
  execute();
  ui::synchronize([this] { onTerminate(); });
}

void InstallThread::onTerminate() {
  record_.done = 1;
  post();
}

void InstallThread::post() {
  auto copy = std::make_unique<InstallStatus>(record_);
  InstallStatus* address = copy.get();
  {
    std::lock_guard guard(snapshotsLock_);
    snapshots_.push_back(std::move(copy));
  }
  if (InstallWindow* window = applicationMainWindow())
    ui::post(window->form(), WM_INSTALL_STATUS, 0, reinterpret_cast<LPARAM>(address));
}

void InstallThread::reportStatus(const std::string& text, int32_t percent) {
  std::memset(record_.text, 0, sizeof record_.text);
  std::memcpy(record_.text, text.data(), std::min(text.size(), sizeof record_.text - 1));
  record_.percent = percent;
  post();
}

void InstallThread::reportError(const std::string& text) {
  errorText_ = text;
  ui::synchronize([this] {
    InstallWindow* window = applicationMainWindow();
    if (window) window->setKeepOnTop(false);
    win::MessageBoxA(mainWindow_, errorText_.c_str(), "Error",
                     MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND | MB_TOPMOST);
    if (window) window->setKeepOnTop(true);
  });
}

void InstallThread::refreshMainWindowHardware() {
  ui::synchronize([] {
    if (InstallWindow* window = applicationMainWindow()) window->refreshHardware();
  });
}

void InstallThread::setNeedReboot(int flag) {
  HKEY key;
  DWORD disposition = 0;
  if (win::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kInstallShieldKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                           &disposition) != ERROR_SUCCESS)
    return;
  const char* value = flag == 1 ? "1" : "0";
  win::RegSetValueExA(key, "Need_Reboot", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), 2);
  win::RegCloseKey(key);
}

bool InstallThread::updateMediaPlayer() {
  int32_t major = 0, minor = 0;
  if (mediaPlayerVersion(major, minor) >= section_.neededMediaPlayerVersion()) return true;
  std::string setup = Install_IniFile::programFolder() + section_.mediaPlayerSetupName();
  if (!fileExists(setup)) return false;
  int running = 0;
  runAndWait(quotedPath(setup), running, 0);
  return true;
}

void InstallThread::setSuccess() { record_.success = (record_.kind == kInstall && installFailed_) ? 0 : 1; }

bool InstallThread::installDevice(const tag_HardwareID& record, const std::string& infPath) {
  bool ok = Engine::InstallDevice(mainWindow_, record, infPath.c_str(), restartNeeded_);
  if (!ok) installFailed_ = true;
  return ok;
}

// The MPEG-2 data and PSI renderer filters, registered silently by the system's regsvr32 without waiting.
void InstallThread::registerFilters() {
  char windows[MAX_PATH + 1] = "";
  win::GetWindowsDirectoryA(windows, sizeof windows);
  std::string regsvr32 = std::string(windows) + "\\System32\\regsvr32.exe";
  for (const char* filter : {"\\System32\\Mpeg2Data.ax", "\\System32\\PsisRndr.ax"}) {
    std::string parameters = "/s " + quotedPath(std::string(windows) + filter);
    desk::ShellExecuteA(mainWindow_, nullptr, regsvr32.c_str(), parameters.c_str(), nullptr, SW_HIDE);
  }
}

void InstallThread::closeApplications() {
  for (const ApplicationWindow& row : kApplications) {
    HWND window = desk::FindWindowA(row.className, row.title);
    if (window) desk::PostMessageA(window, WM_CLOSE, 0, 0);
  }
}
