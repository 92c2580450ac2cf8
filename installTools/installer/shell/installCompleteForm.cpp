#include "installTools/installer/shell/installCompleteForm.h"

#include "installTools/installIniSection/installIniSection.h"
#include "installTools/installer/config/installIniFile.h"
#include "installTools/installer/sequences/utilities.h"

TinstallCompleteForm::TinstallCompleteForm(ui::Form& owner, const DWORD* restartNeeded, Install_IniFile& config)
    : config_(config) {
  Install_IniSection* section = config.currentSection();
  restartOffered_ = section && section->showRestartPc() != 0 && restartNeeded && *restartNeeded != 0;
  if (config.isAutoInstall() || config.isAutoUninstall()) restartOffered_ = false;
  form_ = std::make_unique<ui::Form>("TinstallCompleteForm", 333, 155, *this, &owner);
  form_->setCaption("Message");
  completionText_ = &form_->add(ui::Kind::Label, "CompletionText", {0, 54, 329, 17});
  restartText_ = &form_->add(ui::Kind::Label, "RestartText", {0, 70, 329, 17});
  okButton_ = &form_->add(ui::Kind::Button, "okButton", {72, 104, 75, 25});
  cancelButton_ = &form_->add(ui::Kind::Button, "cancelButton", {208, 104, 75, 25});
  for (ui::Control* c : {completionText_, restartText_, okButton_, cancelButton_}) c->setBold(true);
  FormCreate();
}

TinstallCompleteForm::~TinstallCompleteForm() = default;

void TinstallCompleteForm::FormCreate() {
  form_->setDefaultCharset();
  completionText_->setDefaultCharset();
  okButton_->setDefaultCharset();
  cancelButton_->setDefaultCharset();
  DrvInstallString& texts = config_.drvInstallString();
  Install_IniSection* section = config_.currentSection();
  std::string product = section ? section->oemProductName() : std::string();
  form_->setCaption(product);
  completionText_->setCaption(product + " " + texts.get("InstallCompleteMsg"));
  int width = form_->width();
  int okWidth = okButton_->bounds().width;
  if (restartOffered_) {
    if (texts.get("RestartButton") == "OK") {
      okButton_->setCaption(texts.get("OKButton"));
      cancelButton_->setCaption(texts.get("CancelButton"));
      restartText_->setCaption(texts.get("RestartPcMsg"));
      okButton_->setLeft(width / 4 - okWidth / 2);
      cancelButton_->setLeft(width * 3 / 4 - okWidth / 2);
    } else {
      okButton_->setCaption(texts.get("RestartButton"));
      restartText_->setCaption(texts.get("RestartPcMsg"));
      okButton_->setLeft(width / 2 - okWidth / 2);
      cancelButton_->setVisible(false);
    }
  } else {
    okButton_->setCaption(texts.get("OKButton"));
    okButton_->setLeft(width / 2 - okWidth / 2);
    cancelButton_->setVisible(false);
    restartText_->setCaption("");
  }
}

void TinstallCompleteForm::okButtonClick() {
  if (restartOffered_) restartComputer();
  form_->close();
}

void TinstallCompleteForm::onClick(ui::Control& control) {
  if (&control == okButton_)
    okButtonClick();
  else if (&control == cancelButton_)
    cancelButtonClick();
}
