// The dialog after an interactive install: the product is installed, and when its sequence asked for a restart and
// the INI file allows it, a restart is offered (OK and Cancel) or imposed (one button with the INI file's caption).
#pragma once

#include <memory>

#include "platform/ui/ui.h"

class Install_IniFile;

class TinstallCompleteForm : public ui::FormEvents {
 public:
  // Reads the restart-needed flag once, here.
  TinstallCompleteForm(ui::Form& owner, const DWORD* restartNeeded, Install_IniFile& config);
  ~TinstallCompleteForm() override;

  void showModal() { form_->showModal(); }
  bool restartOffered() const { return restartOffered_; }

  void okButtonClick();
  void cancelButtonClick() { form_->close(); }

  ui::Form& form() { return *form_; }
  ui::Control& completionText() { return *completionText_; }
  ui::Control& restartText() { return *restartText_; }
  ui::Control& okButton() { return *okButton_; }
  ui::Control& cancelButton() { return *cancelButton_; }

  void onClick(ui::Control& control) override;

 private:
  void FormCreate();

  Install_IniFile& config_;
  bool restartOffered_ = false;
  std::unique_ptr<ui::Form> form_;
  ui::Control* completionText_ = nullptr;
  ui::Control* restartText_ = nullptr;
  ui::Control* okButton_ = nullptr;
  ui::Control* cancelButton_ = nullptr;
};
