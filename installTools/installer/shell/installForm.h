// The installer's main window: the products of the install INI file as radio buttons, Install, Uninstall and
// Exit, progress while a worker thread runs, device arrival and removal, and the unattended mode of the command
// line. The controller owns the configuration model, the hardware-status object, the wizard watcher and the
// worker thread.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "installTools/installer/shell/installThread.h"
#include "platform/ui/ui.h"

class Install_IniFile;
class Install_IniSection;
class PcHwStatus;
class CheckDeviceWizardThread;

class TinstallForm : public ui::FormEvents, public InstallWindow {
 public:
  static constexpr int kRadioButtons = 7;
  static constexpr const char* kBuildDate = "Aug 26 2005";
  static constexpr const char* kEngineFailedText = "The install engine could not be started.";
  static constexpr UINT kPromptStyle = MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND | MB_TOPMOST;  // 0x50040
  static constexpr UINT kErrorStyle = MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND | MB_TOPMOST;   // 0x50030
  // {65E8773D-8F56-11D0-A3B9-00A0C9223196}: capture devices.
  static constexpr GUID kCaptureInterfaceClass = {
      0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

  // Creates the window and runs FormCreate. arguments: the command line's positional arguments (without "/s").
  explicit TinstallForm(const std::vector<std::string>& arguments);
  // Runs FormDestroy.
  ~TinstallForm() override;

  // InstallWindow.
  ui::Form& form() override { return *form_; }
  void refreshHardware() override;
  void setKeepOnTop(bool on) override;

  // Handlers.
  void installButtonClick();
  void uninstallButtonClick();
  void exitButtonClick() { quitRequested_ = 1; }
  void productRadioButtonClick(ui::Control& sender);
  void Timer1Timer();
  void InstallThreadStatus(const InstallStatus* posted);
  void WMDeviceChange(WPARAM event);
  void statusBarDrawPanel(ui::Control& statusBar, int panel, ui::Rect rect);
  void FormKeyDown(WORD key, bool ctrl, bool shift);

  // State read by the program and its tests.
  Install_IniFile& config() { return *config_; }
  PcHwStatus& hwStatus() { return *hwStatus_; }
  CheckDeviceWizardThread& watcher() { return *watcher_; }
  bool quitRequested() const { return quitRequested_ != 0; }
  DWORD restartNeeded() const { return restartNeeded_; }
  bool threadRunning() const { return thread_ != nullptr; }
  bool engineLoaded() const { return engineLoaded_; }
  // How the last sequence ended: -1 none ran, 0 with error, 1 complete.
  int lastResult() const { return lastResult_; }
  int iniGeneratorRequests() const { return iniGeneratorRequests_; }
  bool unattended() const;

  ui::Control& productBox() { return *productBox_; }
  ui::Control& radioButton(int index) { return *radioButtons_[index]; }
  ui::Control& installButton() { return *installButton_; }
  ui::Control& uninstallButton() { return *uninstallButton_; }
  ui::Control& exitButton() { return *exitButton_; }
  ui::Control& infCaptionLabel() { return *infCaptionLabel_; }
  ui::Control& infNameLabel() { return *infNameLabel_; }
  ui::Control& hardwareText() { return *hardwareText_; }
  ui::Control& statusBar() { return *statusBar_; }
  ui::Control& progressBar() { return *progressBar_; }
  ui::Control& animation() { return *animation_; }

  // ui::FormEvents.
  void onClick(ui::Control& control) override;
  void onKeyDown(WORD key, bool ctrl, bool shift) override { FormKeyDown(key, ctrl, shift); }
  void onTimer() override { Timer1Timer(); }
  bool onMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
  void onDrawPanel(ui::Control& bar, int panel, ui::Rect rect) override { statusBarDrawPanel(bar, panel, rect); }
  void onCloseRequest() override {}

 private:
  void FormCreate();
  void FormDestroy();
  void buildProductList();
  void setUpButton(ui::Control& button, Install_IniSection& section, ui::Color color);
  void colourRadioButtons();
  void showHardwareInfo(Install_IniSection& section);
  int messageBox(const std::string& text, UINT style);
  void startWork(bool install);
  void endWork();

  std::vector<std::string> arguments_;
  std::unique_ptr<ui::Form> form_;
  ui::Control* productBox_ = nullptr;
  std::array<ui::Control*, kRadioButtons> radioButtons_{};
  ui::Control* installButton_ = nullptr;
  ui::Control* uninstallButton_ = nullptr;
  ui::Control* exitButton_ = nullptr;
  ui::Control* infCaptionLabel_ = nullptr;
  ui::Control* infNameLabel_ = nullptr;
  ui::Control* hardwareText_ = nullptr;
  ui::Control* statusBar_ = nullptr;
  ui::Control* progressBar_ = nullptr;
  ui::Control* animation_ = nullptr;

  bool deviceNotification_ = false;
  int quitRequested_ = 0;
  DWORD restartNeeded_ = 0;
  std::unique_ptr<InstallThread> thread_;
  std::unique_ptr<Install_IniFile> config_;
  std::unique_ptr<PcHwStatus> hwStatus_;
  InstallStatus lastStatus_{};
  bool autoActionStarted_ = false;
  std::unique_ptr<CheckDeviceWizardThread> watcher_;
  bool connectPromptPending_ = true;
  bool disconnectPromptPending_ = true;
  bool hardwareTextHidden_ = false;
  bool engineLoaded_ = false;
  int lastResult_ = -1;
  int iniGeneratorRequests_ = 0;
};
