#include "installTools/installer/shell/installForm.h"

#include <cstdio>
#include <cstring>

#include "installTools/installIniSection/installIniSection.h"
#include "installTools/installer/config/installIniFile.h"
#include "installTools/installer/sequences/checkDeviceWizardThread.h"
#include "installTools/installer/sequences/engineCalls.h"
#include "installTools/installer/sequences/pcHwStatus.h"
#include "installTools/installer/sequences/sequenceTable.h"
#include "installTools/installer/shell/installCompleteForm.h"

namespace {

constexpr int kDesignWidth = 453;
constexpr int kDesignHeight = 394;
constexpr int kRowPitch = 25;
constexpr int kStatusBarHeight = 19;

std::string fileNameOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Install_IniSection* sectionOf(const ui::Control& button) { return static_cast<Install_IniSection*>(button.tag()); }

}  // namespace

TinstallForm::TinstallForm(const std::vector<std::string>& arguments) : arguments_(arguments) {
  form_ = std::make_unique<ui::Form>("TinstallForm", kDesignWidth, kDesignHeight, *this);
  ui::Form& f = *form_;
  productBox_ = &f.add(ui::Kind::GroupBox, "ProductBox", {16, 40, 409, 193});
  for (int i = 0; i < kRadioButtons; ++i) {
    radioButtons_[i] =
        &f.add(ui::Kind::RadioButton, "RadioButton" + std::to_string(i), {24, 25 + 25 * i, 200, 17}, productBox_);
    radioButtons_[i]->setVisible(false);
  }
  installButton_ = &f.add(ui::Kind::Button, "installButton", {48, 248, 97, 25});
  uninstallButton_ = &f.add(ui::Kind::Button, "uninstallButton", {176, 248, 97, 25});
  exitButton_ = &f.add(ui::Kind::Button, "exitButton", {304, 248, 89, 25});
  infCaptionLabel_ = &f.add(ui::Kind::Label, "InfCaptionLabel", {16, 290, 96, 17});
  infCaptionLabel_->setCaption("INF File Name : ");
  infNameLabel_ = &f.add(ui::Kind::Label, "InfNameLabel", {112, 290, 320, 17});
  hardwareText_ = &f.add(ui::Kind::Label, "HardwareText", {112, 310, 320, 17});
  statusBar_ =
      &f.add(ui::Kind::StatusBar, "StatusBar", {0, kDesignHeight - kStatusBarHeight, kDesignWidth, kStatusBarHeight});
  statusBar_->setPanels({150, 200, 100});
  statusBar_->setPanelText(0, "Message");
  progressBar_ = &f.add(ui::Kind::ProgressBar, "ProgressBar", {0, 0, 100, 17});
  animation_ = &f.add(ui::Kind::Animation, "Animate", {186, kDesignHeight - 80, 80, 50});
  animation_->setVisible(false);
  f.startTimer(500);
  setApplicationMainWindow(this);
  FormCreate();
}

TinstallForm::~TinstallForm() {
  FormDestroy();
  if (applicationMainWindow() == this) setApplicationMainWindow(nullptr);
}

void TinstallForm::FormCreate() {
  ui::Form& f = *form_;
  f.setDefaultCharset();
  productBox_->setDefaultCharset();
  installButton_->setDefaultCharset();
  uninstallButton_->setDefaultCharset();
  exitButton_->setDefaultCharset();

  engineLoaded_ = Engine::LoadDrvMgr();

  progressBar_->setParent(statusBar_);

  config_ = std::make_unique<Install_IniFile>(arguments_.empty() ? std::string() : arguments_[0]);
  hwStatus_ = std::make_unique<PcHwStatus>(*config_);

  HKEY key;
  DWORD disposition = 0;
  if (win::RegCreateKeyExA(HKEY_LOCAL_MACHINE, InstallThread::kInstallShieldKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &key, &disposition) == ERROR_SUCCESS) {
    std::string name = config_->installShieldShortCut().get("ShortCutSimIR_ApName");
    win::RegSetValueExA(key, "SimIR_Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                        static_cast<DWORD>(name.size() + 1));
    win::RegCloseKey(key);
  }

  DrvInstallString& texts = config_->drvInstallString();
  f.setCaption(texts.get("MainFormCaption"));
  productBox_->setCaption(texts.get("ProductBoxCaption"));
  installButton_->setCaption(texts.get("IinstallButtonName"));
  uninstallButton_->setCaption(texts.get("UnIinstallButtonName"));
  exitButton_->setCaption(texts.get("ExitButtonName"));

  buildProductList();
  colourRadioButtons();

  deviceNotification_ = f.registerDeviceInterfaceNotification(kCaptureInterfaceClass);
  statusBar_->setPanelText(1, std::string("Ver : ") + kBuildDate);

  watcher_ = std::make_unique<CheckDeviceWizardThread>(f);
  watcher_->setActive(true);

  // Without the engine nothing can be installed or removed: say so once, before anything starts.
  if (!engineLoaded_) messageBox(kEngineFailedText, kErrorStyle);
}

void TinstallForm::FormDestroy() {
  if (thread_) {
    thread_->terminate();
    thread_->waitFor();
    thread_.reset();
  }
  if (watcher_) {
    watcher_->setActive(false);
    watcher_->terminate();
    watcher_->waitFor();
    watcher_.reset();
  }
  if (deviceNotification_) form_->unregisterDeviceNotification();
  hwStatus_.reset();
  config_.reset();
  Engine::UnloadDrvMgr();
}

bool TinstallForm::unattended() const { return config_->isAutoInstall() || config_->isAutoUninstall(); }

void TinstallForm::setUpButton(ui::Control& button, Install_IniSection& section, ui::Color color) {
  button.setCaption(section.oemProductName());
  button.setColor(color);
  button.setEnabled(section.firstInfLoaded());
  button.setVisible(true);
  button.setTag(&section);
  button.setWidth(280);
  section.setRadioButton(&button);
}

void TinstallForm::buildProductList() {
  for (ui::Control* button : radioButtons_) {
    button->setVisible(false);
    button->setEnabled(false);
  }
  int k = 0;
  if (!arguments_.empty()) {
    int32_t productId = parseInteger(arguments_[0]).value_or(0);
    int32_t mode = arguments_.size() > 1 ? parseInteger(arguments_[1]).value_or(-1) : -1;
    Install_IniSection* found = nullptr;
    for (Install_IniSection* section : config_->activeSections())
      if (!found && section->productId() == productId) found = section;
    if (found) {
      setUpButton(*radioButtons_[0], *found, ui::kRed);
      radioButtons_[0]->setChecked(true);
      k = 1;
      if (mode == 1) config_->setAutoInstall();
      if (mode == 0) config_->setAutoUninstall();
    }
  }
  if (k == 0) {
    for (Install_IniSection* section : config_->activeSections()) {
      if (k == kRadioButtons) break;
      if (!section->isEnabled()) continue;
      setUpButton(*radioButtons_[k], *section, section->hasMatchedHardware() ? ui::kRed : ui::kBlack);
      radioButtons_[k]->setChecked(section->isSelected());
      ++k;
    }
  }
  int n = 0;
  for (Install_IniSection* section : config_->activeSections()) {
    auto* button = static_cast<ui::Control*>(section->radioButton());
    if (!button || !section->isEnabled() || sectionOf(*button) != section) continue;
    if (section->isSelected()) {
      button->setChecked(true);
      PerInfFile* inf = section->infFile(-1);
      infNameLabel_->setCaption(inf ? fileNameOf(inf->path()) : "");
    } else {
      button->setChecked(false);
    }
    button->setTop(n * kRowPitch + kRowPitch);
    ++n;
  }
  productBox_->setHeight(kRowPitch * n + 40);
  int labelTop;
  if (unattended()) {
    installButton_->setVisible(false);
    uninstallButton_->setVisible(false);
    exitButton_->setVisible(false);
    labelTop = productBox_->bounds().bottom() + 20;
  } else {
    int top = productBox_->bounds().bottom() + 30;
    installButton_->setTop(top);
    uninstallButton_->setTop(top);
    exitButton_->setTop(top);
    labelTop = top + 50;
  }
  infCaptionLabel_->setTop(labelTop);
  infNameLabel_->setTop(labelTop);
  hardwareText_->setTop(labelTop + 20);
  int clientHeight = hardwareText_->bounds().top + 50;
  form_->setClientHeight(clientHeight);
  statusBar_->setTop(clientHeight - kStatusBarHeight);
  animation_->setTop(clientHeight - 80);
}

void TinstallForm::colourRadioButtons() {
  for (ui::Control* button : radioButtons_)
    if (Install_IniSection* section = sectionOf(*button))
      button->setColor(section->hasMatchedHardware() ? ui::kRed : ui::kBlack);
}

void TinstallForm::productRadioButtonClick(ui::Control& sender) {
  Install_IniSection* section = sectionOf(sender);
  if (!section) return;
  config_->selectProduct(section->productId());
  statusBar_->setPanelText(0, section->oemProductName());
  PerInfFile* inf = section->infFile(-1);
  infNameLabel_->setCaption(inf ? fileNameOf(inf->path()) : "");
  form_->setCaption(section->oemProductName() + " " + config_->drvInstallString().get("MainFormCaption"));
  showHardwareInfo(*section);
}

void TinstallForm::showHardwareInfo(Install_IniSection& section) {
  PerInfFile& inf = section.currentInfFile();
  tag_HardwareID best;
  {
    ThreadMutexGuard guard(hwStatus_->mutex());
    best = inf.bestMatch("");
  }
  char text[200];
  std::snprintf(text, sizeof text, "%04X, %04X  (%s)", best.nVendorID & 0xFFFF, best.nDeviceID & 0xFFFF,
                best.szHardwareID);
  hardwareText_->setCaption(text);
  bool matched = section.hasMatchedHardware();
  hardwareText_->setColor(matched ? ui::kRed : ui::kBlack);
  if (matched && best.nVendorID == 0x0E1B) hardwareTextHidden_ = true;
  hardwareText_->setVisible(!hardwareTextHidden_);
  infNameLabel_->setCaption(fileNameOf(inf.path()));
}

void TinstallForm::refreshHardware() {
  hwStatus_->rescan();
  colourRadioButtons();
  bool redChecked = false;
  ui::Control* firstRed = nullptr;
  for (ui::Control* button : radioButtons_) {
    if (!sectionOf(*button) || button->color() != ui::kRed) continue;
    if (!firstRed) firstRed = button;
    if (button->checked()) redChecked = true;
  }
  if (!redChecked && firstRed) firstRed->setChecked(true);
  if (Install_IniSection* current = config_->currentSection()) showHardwareInfo(*current);
}

void TinstallForm::setKeepOnTop(bool on) {
  if (watcher_) watcher_->setKeepOnTop(on);
}

int TinstallForm::messageBox(const std::string& text, UINT style) {
  setKeepOnTop(false);
  int answer = win::MessageBoxA(form_->handle(), text.c_str(), "Message", style);
  setKeepOnTop(true);
  return answer;
}

void TinstallForm::startWork(bool install) {
  Install_IniSection* section = config_->currentSection();
  int32_t productId = section->productId();
  thread_ = install ? createInstallThread(productId, *hwStatus_, &restartNeeded_, *section)
                    : createUninstallThread(productId, *hwStatus_, &restartNeeded_, *section);
  if (thread_) {
    animation_->setVisible(true);
    animation_->setAnimating(true);
    productBox_->setEnabled(false);
  }
}

void TinstallForm::installButtonClick() {
  if (thread_) return;
  std::memset(&lastStatus_, 0, sizeof lastStatus_);
  Install_IniSection* section = config_->currentSection();
  if (!section) return;
  int32_t productId = section->productId();
  statusBar_->setPanelText(1, section->oemProductName() + " Checking...");
  if (!engineLoaded_) {
    win::MessageBoxA(form_->handle(), kEngineFailedText, "Error", kErrorStyle);
    lastResult_ = 0;
    return;
  }
  if ((productId == 130 || productId == 621) && !section->hasMatchedHardware()) {
    messageBox(section->connectHardwareMessage(), kPromptStyle);
    return;
  }
  if ((productId == 211 || productId == 212) && section->hasMatchedHardware() &&
      hardwareText_->caption().find("0000") != std::string::npos) {
    for (;;) {
      refreshHardware();
      int answer = messageBox(section->disconnectHardwareMessage(), kPromptStyle | MB_OKCANCEL);
      if (answer == IDCANCEL) return;
      if (answer == IDOK) {
        ui::sleep(1000);
        refreshHardware();
        if (!section->hasMatchedHardware()) break;
      }
    }
  }
  statusBar_->setPanelText(1, "Installing...");
  startWork(true);
}

void TinstallForm::uninstallButtonClick() {
  if (thread_) return;
  std::memset(&lastStatus_, 0, sizeof lastStatus_);
  Install_IniSection* section = config_->currentSection();
  if (!section) return;
  statusBar_->setPanelText(1, section->oemProductName() + " Uninstalling...");
  if (!engineLoaded_) {
    win::MessageBoxA(form_->handle(), kEngineFailedText, "Error", kErrorStyle);
    lastResult_ = 0;
    return;
  }
  startWork(false);
}

void TinstallForm::endWork() {
  animation_->setAnimating(false);
  animation_->setVisible(false);
  productBox_->setEnabled(true);
}

void TinstallForm::InstallThreadStatus(const InstallStatus* posted) {
  if (!posted) return;
  // The posted copy belongs to the thread, which may be destroyed below.
  const InstallStatus copy = *posted;
  const InstallStatus* record = &copy;
  if (record->done == 1 && record->done != lastStatus_.done) {
    progressBar_->setPosition(100);
    if (thread_) {
      thread_->terminate();
      thread_->waitFor();
      thread_.reset();
    }
    bool success = record->success == 1;
    lastResult_ = success ? 1 : 0;
    if (record->kind == InstallThread::kUninstall) {
      refreshHardware();
      form_->setTopmost(true);
      progressBar_->setPosition(0);
      statusBar_->setPanelText(1, success ? "Uninstall Complete" : "Uninstall Complete with error");
      endWork();
      if (config_->isAutoUninstall()) quitRequested_ = 1;
    } else {
      progressBar_->setPosition(100);
      statusBar_->setPanelText(1, success ? "Complete" : "Complete with error");
      endWork();
      if (config_->isAutoInstall()) {
        quitRequested_ = 1;
      } else {
        setKeepOnTop(false);
        form_->setTopmost(true);
        {
          TinstallCompleteForm dialog(*form_, &restartNeeded_, *config_);
          dialog.showModal();
        }
        quitRequested_ = 1;
      }
    }
  }
  if (record->percent != lastStatus_.percent) progressBar_->setPosition(std::min(record->percent, 100));
  if (std::strncmp(record->text, lastStatus_.text, sizeof record->text) != 0)
    statusBar_->setPanelText(1, std::string(record->text, strnlen(record->text, sizeof record->text)));
  lastStatus_ = *record;
}

void TinstallForm::Timer1Timer() {
  if (quitRequested_) {
    if (!thread_) form_->close();
    return;
  }
  if (autoActionStarted_) return;
  Install_IniSection* section = config_->currentSection();
  if (!section) return;
  if (unattended() && !engineLoaded_) {
    // Nothing can run without the engine; the box was shown at start.
    lastResult_ = 0;
    autoActionStarted_ = true;
    quitRequested_ = 1;
    return;
  }
  if (config_->isAutoInstall()) {
    int32_t id = section->productId();
    if ((id == 130 || id == 621) && !section->hasMatchedHardware()) {
      if (connectPromptPending_) {
        connectPromptPending_ = false;
        messageBox(section->connectHardwareMessage(), kPromptStyle);
      }
      return;
    }
    if (id == 211 || id == 212) {
      refreshHardware();
      if (section->hasMatchedHardware() && hardwareText_->caption().find("0000") != std::string::npos) {
        if (disconnectPromptPending_) {
          disconnectPromptPending_ = false;
          messageBox(section->disconnectHardwareMessage(), kPromptStyle);
        }
        return;
      }
    }
    installButtonClick();
    autoActionStarted_ = true;
  } else if (config_->isAutoUninstall()) {
    uninstallButtonClick();
    autoActionStarted_ = true;
  }
}

void TinstallForm::WMDeviceChange(WPARAM event) {
  if (event != DBT_DEVNODES_CHANGED && event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return;
  form_->setBusyCursor(true);
  refreshHardware();
  form_->setBusyCursor(false);
}

void TinstallForm::statusBarDrawPanel(ui::Control& bar, int panel, ui::Rect rect) {
  if (panel != 2 || &bar != statusBar_) return;
  progressBar_->setBounds({rect.left - 1, rect.top - 1, rect.width + 2, rect.height + 2});
}

// Ctrl+Shift+S asks for the INI generator form; that form is not part of the program yet, so the request is only
// counted.
void TinstallForm::FormKeyDown(WORD key, bool ctrl, bool shift) {
  if (ctrl && shift && key == 'S') ++iniGeneratorRequests_;
}

void TinstallForm::onClick(ui::Control& control) {
  if (&control == installButton_)
    installButtonClick();
  else if (&control == uninstallButton_)
    uninstallButtonClick();
  else if (&control == exitButton_)
    exitButtonClick();
  else if (control.kind() == ui::Kind::RadioButton)
    productRadioButtonClick(control);
}

bool TinstallForm::onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE) {
    WMDeviceChange(wParam);
    return true;
  }
  if (message == WM_INSTALL_STATUS) {
    InstallThreadStatus(reinterpret_cast<const InstallStatus*>(lParam));
    return true;
  }
  return false;
}
