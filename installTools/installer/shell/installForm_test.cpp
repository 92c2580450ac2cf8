#include "installTools/installer/shell/installForm.h"

#include <gtest/gtest.h>

#include <cstring>

#include "installTools/installer/config/installIniFile.h"
#include "installTools/installer/sequences/checkDeviceWizardThread.h"
#include "installTools/installer/shell/installCompleteForm.h"
#include "installTools/installer/testing/installerFixture.h"

namespace {

using Lines = std::vector<std::string>;
using ui::headless::click;

class InstallFormTest : public InstallerTest {
 protected:
  void SetUp() override { writePackage(); }
  std::vector<std::string> shownButtons() {
    std::vector<std::string> result;
    for (int i = 0; i < TinstallForm::kRadioButtons; ++i)
      if (window->radioButton(i).visible()) result.push_back(window->radioButton(i).caption());
    return result;
  }
};

TEST_F(InstallFormTest, StartShowsTheProductsAndTheTexts) {
  TinstallForm& w = start();
  EXPECT_EQ(shownButtons(), (Lines{"VL540 MPEG Encoder Card", "RX410 TV Card", "RX130 USB TV Box", "VL210 USB Box"}));
  EXPECT_TRUE(w.radioButton(0).checked()) << "the first product is selected";
  EXPECT_EQ(w.form().caption(), "VL540 MPEG Encoder Card TV Card Driver Setup");
  EXPECT_EQ(w.productBox().caption(), "Product Name");
  EXPECT_EQ(w.installButton().caption(), "Install");
  EXPECT_EQ(w.uninstallButton().caption(), "Uninstall");
  EXPECT_EQ(w.exitButton().caption(), "Exit");
  EXPECT_EQ(w.statusBar().panelText(0), "VL540 MPEG Encoder Card");
  EXPECT_EQ(w.statusBar().panelText(1), "Ver : Aug 26 2005");
  EXPECT_EQ(w.statusBar().panelWidth(0), 150);
  EXPECT_EQ(w.statusBar().panelWidth(1), 200);
  EXPECT_EQ(w.statusBar().panelWidth(2), 100);
  EXPECT_EQ(w.progressBar().parent(), &w.statusBar());
  EXPECT_EQ(w.infNameLabel().caption(), "nvpelgar.inf");
  EXPECT_EQ(w.hardwareText().caption(), std::string("1C5D, 5401  (") + kVl540Id + ")");
  EXPECT_EQ(w.hardwareText().color(), ui::kBlack);
  EXPECT_EQ(regValue(InstallThread::kInstallShieldKey, "SimIR_Name"), "SimIR");
  EXPECT_TRUE(w.form().deviceNotificationRegistered());
  EXPECT_TRUE(w.form().defaultCharset());
  EXPECT_TRUE(w.installButton().defaultCharset());
  EXPECT_EQ(w.form().timerInterval(), 500u);
  EXPECT_TRUE(w.engineLoaded());
  EXPECT_EQ(engine.callsOf("LoadDrvMgr").size(), 1u);
}

TEST_F(InstallFormTest, LayoutFollowsTheNumberOfProducts) {
  struct Case {
    std::vector<std::string> arguments;
    int rows;
    bool unattended;
  } cases[] = {{{}, 4, false}, {{"5401", "1"}, 1, true}, {{"111"}, 1, false}};
  for (const Case& c : cases) {
    TinstallForm& w = start(c.arguments);
    int boxBottom = 40 + 25 * c.rows + 40;
    EXPECT_EQ(w.productBox().bounds().height, 25 * c.rows + 40);
    for (int i = 0; i < c.rows; ++i) {
      EXPECT_EQ(w.radioButton(i).bounds().top, 25 * i + 25);
      EXPECT_EQ(w.radioButton(i).bounds().width, 280);
    }
    int labelTop = c.unattended ? boxBottom + 20 : boxBottom + 30 + 50;
    if (!c.unattended) {
      EXPECT_EQ(w.installButton().bounds().top, boxBottom + 30);
      EXPECT_EQ(w.uninstallButton().bounds().top, boxBottom + 30);
      EXPECT_EQ(w.exitButton().bounds().top, boxBottom + 30);
    }
    EXPECT_EQ(w.installButton().visible(), !c.unattended);
    EXPECT_EQ(w.exitButton().visible(), !c.unattended);
    EXPECT_EQ(w.infCaptionLabel().bounds().top, labelTop);
    EXPECT_EQ(w.infNameLabel().bounds().top, labelTop);
    EXPECT_EQ(w.hardwareText().bounds().top, labelTop + 20);
    EXPECT_EQ(w.form().clientHeight(), labelTop + 70);
    EXPECT_EQ(w.animation().bounds().top, labelTop + 70 - 80);
    window.reset();
  }
}

TEST_F(InstallFormTest, AProductIdOnTheCommandLineShowsOnlyThatProduct) {
  engine.plug(kRx410Id);
  TinstallForm& w = start({"111"});
  EXPECT_EQ(shownButtons(), (Lines{"RX410 TV Card"}));
  EXPECT_TRUE(w.radioButton(0).checked());
  EXPECT_EQ(w.radioButton(0).color(), ui::kRed);
  EXPECT_EQ(w.config().currentSection()->productId(), 111);
  EXPECT_FALSE(w.unattended()) << "no mode";
}

TEST_F(InstallFormTest, AnUnknownProductIdShowsTheWholeListAndStartsNothing) {
  TinstallForm& w = start({"4242", "1"});
  EXPECT_EQ(shownButtons().size(), 4u);
  EXPECT_FALSE(w.unattended());
  ui::headless::runFor(3000);
  EXPECT_FALSE(w.threadRunning());
  EXPECT_TRUE(engine.callsOf("InstallDevice").empty());
}

TEST_F(InstallFormTest, MoreThanSevenProductsGetSevenButtons) {
  std::string extra;
  const char* more[] = {"TQ230", "TQ240", "TQ370", "RC670"};
  for (int i = 0; i < 4; ++i)
    extra += std::string("[") + more[i] + "_Drv]\nProductListOrder=" + std::to_string(5 + i) +
             "\ndriverXPPath=Driver\\XP\nInfFileName_0=nvpelgar.inf\nbEnableType=1\nOemProductName=" + more[i] + "\n";
  writePackage(extra);
  TinstallForm& w = start();
  EXPECT_EQ(shownButtons().size(), 7u);
  EXPECT_EQ(w.radioButton(6).caption(), "TQ370");
  EXPECT_EQ(w.productBox().bounds().height, 25 * 7 + 40);
}

TEST_F(InstallFormTest, AProductWhoseFirstInfFileIsMissingHasItsButtonDisabled) {
  machine.files.writeFile(std::string(kFolder) + "Driver\\XP\\rx410.inf", "");
  win::DeleteFileA((std::string(kFolder) + "Driver\\XP\\rx410.inf").c_str());
  TinstallForm& w = start();
  EXPECT_EQ(w.radioButton(1).caption(), "RX410 TV Card");
  EXPECT_FALSE(w.radioButton(1).enabled());
  EXPECT_TRUE(w.radioButton(0).enabled());
}

TEST_F(InstallFormTest, ClickingAProductSelectsItAndShowsItsHardware) {
  engine.plug(std::string(kRx410Id) + "&SUBSYS_00000000&REV_01");
  TinstallForm& w = start();
  EXPECT_EQ(w.radioButton(1).color(), ui::kRed) << "plugged in";
  click(w.radioButton(1));
  EXPECT_TRUE(w.radioButton(1).checked());
  EXPECT_FALSE(w.radioButton(0).checked());
  EXPECT_EQ(w.config().currentSection()->productId(), 111);
  EXPECT_EQ(w.form().caption(), "RX410 TV Card TV Card Driver Setup");
  EXPECT_EQ(w.statusBar().panelText(0), "RX410 TV Card");
  EXPECT_EQ(w.infNameLabel().caption(), "rx410.inf");
  EXPECT_EQ(w.hardwareText().caption(), std::string("1C5D, 0410  (") + kRx410Id + ")");
  EXPECT_EQ(w.hardwareText().color(), ui::kRed);
}

TEST_F(InstallFormTest, PluggingInAProductsDeviceMovesTheSelectionToIt) {
  TinstallForm& w = start();
  EXPECT_TRUE(w.radioButton(0).checked());
  engine.plug(std::string(kRx410Id) + "&SUBSYS_00000000&REV_01");
  EXPECT_TRUE(ui::headless::send(w.form(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0));
  EXPECT_EQ(w.radioButton(1).color(), ui::kRed);
  EXPECT_TRUE(w.radioButton(1).checked());
  EXPECT_EQ(w.config().currentSection()->productId(), 111);
  EXPECT_FALSE(w.form().busyCursor());

  engine.unplug(std::string(kRx410Id) + "&SUBSYS_00000000&REV_01");
  size_t scans = engine.callsOf("getAllDevicePresent").size();
  ui::headless::send(w.form(), WM_DEVICECHANGE, 0x0018 /* other event */, 0);
  EXPECT_EQ(engine.callsOf("getAllDevicePresent").size(), scans) << "other events are ignored";
  ui::headless::send(w.form(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
  EXPECT_EQ(w.radioButton(1).color(), ui::kBlack);
  EXPECT_TRUE(w.radioButton(1).checked()) << "no red product: the selection stays";
}

TEST_F(InstallFormTest, InteractiveInstallShowsProgressCompletesAndEndsAfterTheDialog) {
  TinstallForm& w = start();
  click(w.installButton());
  ASSERT_TRUE(w.threadRunning());
  EXPECT_EQ(w.statusBar().panelText(1), "Installing...");
  EXPECT_TRUE(w.animation().visible());
  EXPECT_TRUE(w.animation().animating());
  EXPECT_FALSE(w.productBox().enabled());
  click(w.uninstallButton());  // ignored while a thread runs
  ASSERT_TRUE(ui::headless::runUntil([&] { return !w.threadRunning(); }, 60000));
  EXPECT_EQ(w.statusBar().panelText(1), "Complete");
  EXPECT_EQ(w.progressBar().position(), 100);
  EXPECT_FALSE(w.animation().visible());
  EXPECT_TRUE(w.productBox().enabled());
  EXPECT_EQ(ui::headless::modalForms(), (Lines{"TinstallCompleteForm"}));
  EXPECT_TRUE(w.quitRequested());
  EXPECT_TRUE(ui::headless::runUntil([&] { return w.form().closed(); }, 1000));
  EXPECT_EQ(engine.callsOf("UninstallByID").size(), 0u);
}

TEST_F(InstallFormTest, FailedDeviceInstallEndsWithError) {
  engine.installResult = false;
  TinstallForm& w = start();
  click(w.installButton());
  ASSERT_TRUE(ui::headless::runUntil([&] { return !w.threadRunning(); }, 60000));
  EXPECT_EQ(w.statusBar().panelText(1), "Complete with error");
  EXPECT_EQ(w.lastResult(), 0);
}

TEST_F(InstallFormTest, InteractiveUninstallStaysOpen) {
  TinstallForm& w = start();
  click(w.uninstallButton());
  EXPECT_EQ(w.statusBar().panelText(1), "VL540 MPEG Encoder Card Uninstalling...");
  ASSERT_TRUE(ui::headless::runUntil([&] { return !w.threadRunning(); }, 60000));
  EXPECT_EQ(w.statusBar().panelText(1), "Uninstall Complete");
  EXPECT_EQ(w.progressBar().position(), 0);
  EXPECT_TRUE(w.form().topmost());
  ui::headless::runFor(2000);
  EXPECT_FALSE(w.form().closed());
  EXPECT_TRUE(ui::headless::modalForms().empty());
}

TEST_F(InstallFormTest, ExitDuringARunWaitsForTheRunToEnd) {
  TinstallForm& w = start();
  click(w.uninstallButton());
  click(w.exitButton());
  ui::headless::runFor(600);
  EXPECT_FALSE(w.form().closed());
  ASSERT_TRUE(ui::headless::runUntil([&] { return w.form().closed(); }, 60000));
  EXPECT_FALSE(w.threadRunning());
  EXPECT_EQ(w.statusBar().panelText(1), "Uninstall Complete");
}

TEST_F(InstallFormTest, CtrlShiftSIsRecognisedAndOtherKeysAreNot) {
  TinstallForm& w = start();
  ui::headless::pressKey(w.form(), 'S', false, true);
  ui::headless::pressKey(w.form(), 'S', true, false);
  ui::headless::pressKey(w.form(), 'A', true, true);
  EXPECT_EQ(w.iniGeneratorRequests(), 0);
  ui::headless::pressKey(w.form(), 'S', true, true);
  EXPECT_EQ(w.iniGeneratorRequests(), 1);
}

TEST_F(InstallFormTest, Rx130InstallWithoutItsDeviceAsksToPlugItIn) {
  TinstallForm& w = start();
  click(w.radioButton(2));
  click(w.installButton());
  EXPECT_FALSE(w.threadRunning());
  EXPECT_EQ(boxes(), (Lines{"Message: Please plug RX130 USB TV Box into USB port"}));
  EXPECT_EQ(machine.boxes.calls()[0].type, 0x50040u);
  EXPECT_EQ(w.watcher().keepOnTop(), true) << "switched off for the box and on again";
}

TEST_F(InstallFormTest, UnattendedRx130InstallPromptsOnceAndStartsWhenPlugged) {
  TinstallForm& w = start({"130", "1"});
  ui::headless::runFor(2000);
  EXPECT_EQ(boxes().size(), 1u) << "the connect prompt is shown once";
  EXPECT_FALSE(w.threadRunning());
  engine.plug(std::string(kRx130Id) + "&MI_00");
  ui::headless::send(w.form(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  ASSERT_TRUE(ui::headless::runUntil([&] { return w.threadRunning(); }, 1000));
  ASSERT_TRUE(ui::headless::runUntil([&] { return w.form().closed(); }, 60000));
  EXPECT_EQ(w.lastResult(), 1);
  EXPECT_EQ(engine.callsOf("InstallDevice").size(), 1u);
}

TEST_F(InstallFormTest, Vl210InstallWithAnOldDevicePromptsUntilItIsUnplugged) {
  writePackage("[VL210_Drv]\nInfFileName_0=old.inf\n");
  machine.files.writeFile(
      std::string(kFolder) + "Driver\\XP\\old.inf",
      "[Manufacturer]\r\n%M%=M.Models\r\n[M.Models]\r\n%D%=D, USB\\VID_1C5D&PID_0210&REV_0000\r\n");
  engine.plug("USB\\VID_1C5D&PID_0210&REV_0000");
  TinstallForm& w = start();
  click(w.radioButton(3));
  EXPECT_EQ(w.hardwareText().caption(), "1C5D, 0210  (USB\\VID_1C5D&PID_0210&REV_0000)");
  machine.boxes.script(IDCANCEL);
  click(w.installButton());
  EXPECT_FALSE(w.threadRunning()) << "Cancel abandons the install";
  EXPECT_EQ(boxes(), (Lines{"Message: Please unplug VL210 USB Box"}));
  EXPECT_EQ(machine.boxes.calls()[0].type, 0x50041u);

  machine.boxes.script(IDOK);
  engine.unplug("USB\\VID_1C5D&PID_0210&REV_0000");
  click(w.installButton());
  EXPECT_TRUE(w.threadRunning()) << "OK with the device gone starts the install";
  ASSERT_TRUE(ui::headless::runUntil([&] { return !w.threadRunning(); }, 60000));
}

// Mend: without the engine nothing starts; the user is told.
TEST_F(InstallFormTest, EngineThatFailsToLoadIsReportedAndNoSequenceStarts) {
  engine.loadResult = false;
  TinstallForm& w = start();
  EXPECT_EQ(boxes(), (Lines{std::string("Message: ") + TinstallForm::kEngineFailedText}));
  click(w.installButton());
  EXPECT_FALSE(w.threadRunning());
  EXPECT_EQ(boxes().size(), 2u);
  EXPECT_EQ(machine.boxes.calls()[1].caption, "Error");
  EXPECT_EQ(machine.boxes.calls()[1].type, 0x50030u);
  EXPECT_TRUE(engine.callsOf("InstallDevice").empty());
}

// Mend: the progress bar shows at most 100 even when a sequence reports more.
TEST_F(InstallFormTest, ProgressNeverShowsMoreThanAHundred) {
  TinstallForm& w = start();
  InstallStatus status{};
  status.kind = 1;
  status.percent = 125;
  std::strcpy(status.text, "Install Inf six.inf");
  w.InstallThreadStatus(&status);
  EXPECT_EQ(w.progressBar().position(), 100);
  EXPECT_EQ(w.statusBar().panelText(1), "Install Inf six.inf");
}

TEST_F(InstallFormTest, OwnerDrawnPanelTwoHoldsTheProgressBar) {
  TinstallForm& w = start();
  ui::Rect panel = w.statusBar().panelRect(2);
  w.statusBarDrawPanel(w.statusBar(), 1, w.statusBar().panelRect(1));
  ui::Rect before = w.progressBar().bounds();
  w.statusBarDrawPanel(w.statusBar(), 2, panel);
  EXPECT_NE(w.progressBar().bounds(), before);
  EXPECT_EQ(w.progressBar().bounds(), (ui::Rect{panel.left - 1, panel.top - 1, panel.width + 2, panel.height + 2}));
}

TEST_F(InstallFormTest, DestroyingTheWindowStopsTheWatcherAndReleasesTheEngine) {
  start();
  window.reset();
  EXPECT_EQ(engine.loaded, 0);
  EXPECT_EQ(engine.calls.back(), "UnloadDrvMgr");
  EXPECT_EQ(engine.unlockedCalls, 0);
}

}  // namespace
