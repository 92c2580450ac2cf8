#include "installTools/installer/sequences/commonSequence.h"

#include <gtest/gtest.h>

#include "installTools/installer/config/installIniFile.h"
#include "installTools/installer/sequences/pcHwStatus.h"
#include "installTools/installer/sequences/sequenceTable.h"
#include "installTools/installer/testing/installerFixture.h"

namespace {

using Lines = std::vector<std::string>;

class SequenceTest : public InstallerTest {
 protected:
  // Runs the thread of the product to its end; the statuses arrive at the recording window.
  void run(bool install, int32_t productId) {
    config = std::make_unique<Install_IniFile>();
    hw = std::make_unique<PcHwStatus>(*config);
    Install_IniSection* section = config->sectionOf(productId);
    ASSERT_NE(section, nullptr);
    config->selectProduct(productId);
    startedAt = ui::now();
    thread = install ? createInstallThread(productId, *hw, &restart, *section)
                     : createUninstallThread(productId, *hw, &restart, *section);
    ASSERT_TRUE(ui::headless::runUntil([&] { return recorder.done(); }, 600000));
    thread->waitFor();
  }
  std::string slotPath(const std::string& name) const { return std::string(kFolder) + "Driver\\XP\\" + name; }
  void TearDown() override {
    thread.reset();
    hw.reset();
    config.reset();
  }

  RecordingWindow recorder;
  std::unique_ptr<Install_IniFile> config;
  std::unique_ptr<PcHwStatus> hw;
  std::unique_ptr<InstallThread> thread;
  DWORD restart = 0;
  uint64_t startedAt = 0;
};

TEST(SequenceTable, ChoosesRxXXXForTheRx410FamilyAndCopyInfForEveryOtherProduct) {
  for (int32_t id : {111, 112, 530, 540, 520}) EXPECT_EQ(sequenceClassOf(id), SequenceClass::RxXXX) << id;
  for (int32_t id : {130, 621, 230, 5401, 211, 310, 690, 620, 550, 850, 551, 2101, 790, 1000, 0})
    EXPECT_EQ(sequenceClassOf(id), SequenceClass::CopyInf) << id;
}

TEST_F(SequenceTest, CopyInfInstallReportsConfiguredSlotsAtTheirPercentagesAndRefreshesAfterEach) {
  writePackage("[VL540_Drv]\nInfFileName_3=rx410.inf\nInfFileName_1=EmptyInf\nInfFileName_2=missing.inf\n");
  run(true, 5401);
  EXPECT_EQ(recorder.lines(),
            (Lines{"Install Inf nvpelgar.inf@0", "Install Inf rx410.inf@75", "Install INF files completely.@100"}));
  EXPECT_EQ(engine.callsOf("InstallDevice"),
            (Lines{std::string("InstallDevice ") + kVl540Id + "|" + slotPath("nvpelgar.inf"),
                   std::string("InstallDevice ") + kRx410Id + "|" + slotPath("rx410.inf")}));
  EXPECT_EQ(engine.callsOf("RefreshDevice").size(), 2u);
  ASSERT_EQ(engine.installTimes.size(), 2u);
  EXPECT_EQ(engine.installTimes[1] - engine.installTimes[0], 3000u) << "3 s pause after each slot";
  EXPECT_EQ(recorder.arrivals.back().status.success, 1);
  EXPECT_EQ(engine.unlockedCalls, 0);
}

TEST_F(SequenceTest, CopyInfInstallWithSixSlotsReportsMoreThanAHundredBeforeTheEnd) {
  writePackage(
      "[VL540_Drv]\nInfFileName_1=rx410.inf\nInfFileName_2=rx410.inf\nInfFileName_3=rx410.inf\n"
      "InfFileName_4=rx410.inf\nInfFileName_5=rx410.inf\n");
  run(true, 5401);
  Lines lines = recorder.lines();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[5], "Install Inf rx410.inf@125");
  EXPECT_EQ(lines[6], "Install INF files completely.@100");
}

// Mend: "Complete" only when every device install worked.
TEST_F(SequenceTest, InstallSucceedsOnlyWhenEveryDeviceInstallWorked) {
  writePackage();
  engine.installResult = false;
  run(true, 5401);
  EXPECT_EQ(recorder.lines().back(), "Install INF files completely.@100");
  EXPECT_EQ(recorder.arrivals.back().status.success, 0);
}

TEST_F(SequenceTest, RxInstallInstallsSlotZeroForItsBestHardwareId) {
  writePackage();
  run(true, 111);
  EXPECT_EQ(engine.callsOf("InstallDevice"),
            (Lines{std::string("InstallDevice ") + kRx410Id + "|" + slotPath("rx410.inf")}));
  EXPECT_EQ(recorder.lines(), (Lines{"Install INF files completely.@100"}));
  EXPECT_EQ(recorder.arrivals.back().status.success, 1);
}

TEST_F(SequenceTest, RxUninstallGoesOnAfterADeviceThatStaysInstalled) {
  writePackage("[RX410_Drv]\nInfFileName_1=nvpelgar.inf\n");
  engine.stillInstalled.insert(kRx410Id);
  run(false, 111);
  EXPECT_EQ(boxes(), (Lines{"Error: Removing WDM device driver failed."}));
  EXPECT_EQ(recorder.lines(), (Lines{"Removing WDM driver.@0", "Check Device status.@60", "Removing WDM driver.@0",
                                     "Check Device status.@60", "Unregistering Driver Service.@70",
                                     "Deleting INF files.@90", "Unistall complete@100"}));
  EXPECT_EQ(engine.callsOf("DelInfFile"), (Lines{std::string("DelInfFile ") + kVl540Id + "|1"}));
  EXPECT_EQ(recorder.arrivals.back().status.success, 1);
  EXPECT_EQ(recorder.keepOnTop, (std::vector<bool>{false, true})) << "the box is bracketed";
  EXPECT_EQ(regValue("Software\\Taviron\\InstllShield_Install", "Need_Reboot"), "0");
}

TEST_F(SequenceTest, CopyInfUninstallPausesBeforeDeletingAndMarksTheReboot) {
  writePackage();
  run(false, 5401);
  ASSERT_GE(recorder.arrivals.size(), 6u);
  EXPECT_EQ(recorder.lines(),
            (Lines{"START_PROCESSING@0", "Removing WDM driver.@0", "Check Device status.@60",
                   "Unregistering Driver Service.@70", "Deleting INF files.@90", "Unistall complete@100"}));
  EXPECT_EQ(recorder.arrivals[4].at - recorder.arrivals[3].at, 500u);
  EXPECT_EQ(regValue("Software\\Taviron\\InstllShield_Install", "Need_Reboot"), "1");
  EXPECT_EQ(recorder.arrivals.back().status.success, 1);
}

TEST_F(SequenceTest, AThreadAskedToEndBeforeItsSequenceReportsNothingAndFails) {
  writePackage();
  config = std::make_unique<Install_IniFile>();
  hw = std::make_unique<PcHwStatus>(*config);
  Install_IniSection* section = config->sectionOf(111);
  thread = std::make_unique<RxXXX_install>(*hw, &restart, *section);
  thread->terminate();
  thread->start();
  ASSERT_TRUE(ui::headless::runUntil([&] { return recorder.done(); }, 10000));
  EXPECT_TRUE(recorder.lines().empty());
  EXPECT_EQ(recorder.arrivals.back().status.success, 0);
  EXPECT_TRUE(engine.callsOf("InstallDevice").empty());
}

// Mend: each message carries its own copy; a text longer than the field is cut at 255 characters.
TEST_F(SequenceTest, StatusTextsAreCopiedPerMessageAndCutAt255) {
  class Texts : public CommonSequence {
   public:
    Texts(PcHwStatus& hw, DWORD* restart, Install_IniSection& s) : CommonSequence(hw, restart, kInstall, s) {}
    void execute() override {
      reportStatus(std::string(255, 'a'), 10);
      reportStatus(std::string(300, 'b'), 20);
      reportStatus("short", 30);
    }
  };
  writePackage();
  config = std::make_unique<Install_IniFile>();
  hw = std::make_unique<PcHwStatus>(*config);
  thread = std::make_unique<Texts>(*hw, &restart, *config->sectionOf(5401));
  thread->start();
  ASSERT_TRUE(ui::headless::runUntil([&] { return recorder.done(); }, 10000));
  ASSERT_EQ(recorder.arrivals.size(), 4u);
  EXPECT_EQ(std::string(recorder.arrivals[0].status.text), std::string(255, 'a'));
  EXPECT_EQ(std::string(recorder.arrivals[1].status.text), std::string(255, 'b'));
  EXPECT_EQ(std::string(recorder.arrivals[2].status.text), "short") << "no tail of the longer text";
  EXPECT_EQ(recorder.arrivals[3].status.done, 1);
  EXPECT_EQ(recorder.arrivals[3].status.success, 0) << "a sequence that never succeeds ends with error";
}

TEST_F(SequenceTest, CreatingAThreadClosesKnownProgramsAndResetsTheRebootMarker) {
  writePackage();
  HWND wtr = desktop().addWindow("Twtr460Main", "TaviWtr460Main");
  HWND stubborn = desktop().addWindow("Koan", "PowerCinema", {false, true, true});
  HWND other = desktop().addWindow("Notepad", "Untitled");
  HKEY key;
  win::RegCreateKeyExA(HKEY_LOCAL_MACHINE, InstallThread::kInstallShieldKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                       &key, nullptr);
  win::RegSetValueExA(key, "Need_Reboot", 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 2);
  win::RegCloseKey(key);
  run(true, 5401);
  EXPECT_EQ(desktop().window(wtr)->messages, (std::vector<UINT>{WM_CLOSE}));
  EXPECT_FALSE(desktop().window(wtr)->exists);
  EXPECT_EQ(desktop().window(stubborn)->messages, (std::vector<UINT>{WM_CLOSE}));
  EXPECT_TRUE(desktop().window(stubborn)->exists) << "asked, not waited for";
  EXPECT_TRUE(desktop().window(other)->messages.empty());
  EXPECT_EQ(regValue(InstallThread::kInstallShieldKey, "Need_Reboot"), "0");
  EXPECT_GE(engine.installTimes.at(0) - startedAt, 1000u) << "one second for the programs to close";
  int regsvr = 0;
  for (const auto& call : desktop().calls) regsvr += call.function == "ShellExecuteA";
  EXPECT_EQ(regsvr, 0) << "VL540 registers no filters";
}

TEST_F(SequenceTest, Vl210ThreadRegistersTheMpeg2FiltersWithQuotedPaths) {
  writePackage();
  run(false, 211);
  Lines shell;
  for (const auto& call : desktop().calls)
    if (call.function == "ShellExecuteA") shell.push_back(call.arguments);
  EXPECT_EQ(shell, (Lines{"(default) C:\\windows\\System32\\regsvr32.exe /s \"C:\\windows\\System32\\Mpeg2Data.ax\" "
                          "show=0",
                          "(default) C:\\windows\\System32\\regsvr32.exe /s \"C:\\windows\\System32\\PsisRndr.ax\" "
                          "show=0"}));
}

TEST_F(SequenceTest, UpdateMediaPlayerRunsTheSetupWhenThePlayerIsOlder) {
  class Player : public CommonSequence {
   public:
    Player(PcHwStatus& hw, DWORD* restart, Install_IniSection& s) : CommonSequence(hw, restart, kInstall, s) {}
    void execute() override { result = updateMediaPlayer(); }
    bool result = false;
  };
  writePackage("[VL540_Drv]\nMediaPlayerSetupName_XP=mp9setup.exe\n");
  machine.files.writeFile(std::string(kFolder) + "mp9setup.exe", "MZ");
  desktop().setProgram(std::string(kFolder) + "mp9setup.exe", {0, 20000});
  config = std::make_unique<Install_IniFile>();
  hw = std::make_unique<PcHwStatus>(*config);
  auto* player = new Player(*hw, &restart, *config->sectionOf(5401));
  thread.reset(player);
  thread->start();
  ASSERT_TRUE(ui::headless::runUntil([&] { return recorder.done(); }, 60000));
  EXPECT_TRUE(player->result);
  ASSERT_EQ(desktop().processes.size(), 1u);
  EXPECT_EQ(desktop().processes[0].commandLine, "\"C:\\Program Files\\tvSetup\\mp9setup.exe\"");
}

}  // namespace
