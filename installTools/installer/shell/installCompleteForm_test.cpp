#include "installTools/installer/shell/installCompleteForm.h"

#include <gtest/gtest.h>

#include "installTools/installer/config/installIniFile.h"
#include "installTools/installer/testing/installerFixture.h"

namespace {

class CompleteFormTest : public InstallerTest {
 protected:
  struct Shown {
    std::string ok, cancel, restart, completion;
    bool cancelVisible;
    int okLeft, cancelLeft;
    bool offered;
  };
  Shown show(const std::string& extra, DWORD restartFlag, bool unattended = false) {
    writePackage(extra);
    Install_IniFile config;
    if (unattended) config.setAutoInstall();
    ui::Form owner("Owner", 453, 394, events);
    TinstallCompleteForm dialog(owner, &restartFlag, config);
    return {dialog.okButton().caption(),         dialog.cancelButton().caption(), dialog.restartText().caption(),
            dialog.completionText().caption(),   dialog.cancelButton().visible(), dialog.okButton().bounds().left,
            dialog.cancelButton().bounds().left, dialog.restartOffered()};
  }
  ui::FormEvents events;
};

// The dialog's outer width is 339 (333 and the frame); OK is 75 wide.
TEST_F(CompleteFormTest, ButtonsFollowTheRestartChoice) {
  Shown offered = show("", 1);
  EXPECT_TRUE(offered.offered);
  EXPECT_EQ(offered.completion, "VL540 MPEG Encoder Card Install Complete");
  EXPECT_EQ(offered.ok, "OK");
  EXPECT_EQ(offered.cancel, "Cancel");
  EXPECT_EQ(offered.restart, "Restart PC ?");
  EXPECT_TRUE(offered.cancelVisible);
  EXPECT_EQ(offered.okLeft, 339 / 4 - 75 / 2);
  EXPECT_EQ(offered.cancelLeft, 339 * 3 / 4 - 75 / 2);

  Shown notNeeded = show("", 0);
  EXPECT_FALSE(notNeeded.offered);
  EXPECT_EQ(notNeeded.ok, "OK");
  EXPECT_EQ(notNeeded.restart, "");
  EXPECT_FALSE(notNeeded.cancelVisible);
  EXPECT_EQ(notNeeded.okLeft, 339 / 2 - 75 / 2);

  Shown productSaysNo = show("[VL540_Drv]\nShowRestartPC=0\n", 1);
  EXPECT_FALSE(productSaysNo.offered);
  EXPECT_EQ(productSaysNo.restart, "");

  Shown unattended = show("", 1, true);
  EXPECT_FALSE(unattended.offered);
}

TEST_F(CompleteFormTest, ACustomRestartCaptionImposesTheRestart) {
  for (const char* caption : {"Restart", "ok"}) {
    Shown s = show(std::string("[InstallData]\nRestartButton=") + caption + "\n", 1);
    EXPECT_TRUE(s.offered) << caption;
    EXPECT_EQ(s.ok, caption);
    EXPECT_EQ(s.restart, "Restart PC ?");
    EXPECT_FALSE(s.cancelVisible) << caption << ": the comparison with OK is exact";
    EXPECT_EQ(s.okLeft, 339 / 2 - 75 / 2);
  }
}

TEST_F(CompleteFormTest, OkRestartsOnlyWhenTheRestartIsOffered) {
  struct Case {
    DWORD flag;
    bool cancel;
    size_t restarts;
  } cases[] = {{1, false, 1}, {1, true, 0}, {0, false, 0}};
  writePackage();
  for (const Case& c : cases) {
    desktop().exitWindowsCalls.clear();
    Install_IniFile config;
    ui::Form owner("Owner", 453, 394, events);
    DWORD flag = c.flag;
    TinstallCompleteForm dialog(owner, &flag, config);
    ui::headless::onModal(
        [&](ui::Form&) { ui::headless::click(c.cancel ? dialog.cancelButton() : dialog.okButton()); });
    dialog.showModal();
    EXPECT_TRUE(dialog.form().closed());
    EXPECT_EQ(desktop().exitWindowsCalls.size(), c.restarts);
  }
}

}  // namespace
