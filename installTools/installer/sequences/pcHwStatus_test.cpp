#include "installTools/installer/sequences/pcHwStatus.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>

#include "installTools/installer/config/installIniFile.h"
#include "installTools/installer/sequences/checkDeviceWizardThread.h"
#include "installTools/installer/testing/installerFixture.h"

namespace {

class PcHwStatusTest : public InstallerTest {
 protected:
  void SetUp() override { writePackage("[RX130_Drv]\nInfFileName_1=stream.inf\n"); }
  static tag_HardwareID lowered(tag_HardwareID r) {
    for (char& c : r.szHardwareID) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
  }
  tag_HardwareID record(const char* text) {
    tag_HardwareID r{};
    ParseHardwareIDText(text, r);
    return r;
  }
};

TEST_F(PcHwStatusTest, RescanMatchesPresentDevicesToTheActiveProducts) {
  engine.plug("USB\\VID_1C5D&PID_0130&MI_00\\6&1A2B3C&0&0000");
  Install_IniFile config;
  PcHwStatus hw(config);
  EXPECT_TRUE(config.sectionOf(130)->hasMatchedHardware());
  EXPECT_FALSE(config.sectionOf(5401)->hasMatchedHardware()) << "enabled, not plugged in";
  EXPECT_TRUE(hw.isPresent(record("USB\\VID_1C5D&PID_0130&MI_00")));
  EXPECT_EQ(desktop().debugOutput, (std::vector<std::string>{"USB\\VID_1C5D&PID_0130&MI_00\\6&1A2B3C&0&0000"}));

  engine.present.clear();
  hw.rescan();
  EXPECT_FALSE(config.sectionOf(130)->hasMatchedHardware());
  EXPECT_EQ(engine.unlockedCalls, 0);
}

TEST_F(PcHwStatusTest, IsPresentComparesBusNumbersAndUpperCasedText) {
  engine.plug("PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01\\4&1&0");
  engine.plug("STREAM\\TAVIRON.VIRTUALTUNER\\1");
  tag_HardwareID zeroPci{};
  engine.present.push_back(zeroPci);  // a PCI device with numbers 0 and no text
  Install_IniFile config;
  PcHwStatus hw(config);
  struct Case {
    tag_HardwareID query;
    bool present;
    const char* why;
  } cases[] = {
      {record("PCI\\VEN_1C5D&DEV_5401"), true, "text inside the device's"},
      {lowered(record("PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D")), true, "lower case"},
      {record("PCI\\VEN_1C5D&DEV_5402"), false, "another device number"},
      {record("USB\\VID_1C5D&PID_5401"), false, "another bus"},
      {record("STREAM\\TAVIRON.VIRTUALTUNER"), true, "stream devices by text alone"},
      {tag_HardwareID{}, false, "the all-zero record never"},
  };
  cases[4].query.nVendorID = 0x1234;  // numbers of stream devices are ignored
  for (const Case& c : cases) EXPECT_EQ(hw.isPresent(c.query), c.present) << c.why;
}

TEST_F(PcHwStatusTest, AtMost256DevicesAreKnown) {
  for (int i = 0; i < 300; ++i) engine.plug("PCI\\VEN_1234&DEV_" + std::to_string(1000 + i));
  Install_IniFile config;
  PcHwStatus hw(config);
  EXPECT_EQ(hw.presentDevices().size(), 256u);
  EXPECT_EQ(engine.callsOf("getAllDevicePresent 256").size(), 1u);
}

class WatcherTest : public InstallerTest {
 protected:
  RecordingWindow main;
  HWND mainHandle() { return main.form().handle(); }
  int setWindowPosOnMain() {
    int n = 0;
    char handle[32];
    std::snprintf(handle, sizeof handle, "0x%llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(mainHandle())));
    for (const auto& call : desktop().calls)
      if (call.function == "SetWindowPos" && call.arguments.rfind(handle, 0) == 0) ++n;
    return n;
  }
};

TEST_F(WatcherTest, OnXpTheWizardAndTheBalloonAreAskedToClose) {
  HWND wizard = desktop().addWindow("#32770", desk::sim::kWizardTitle);
  HWND balloon = desktop().addWindow("tooltips_class32", "");
  HWND tooltip = desktop().addWindow("tooltips_class32", "a tip");
  CheckDeviceWizardThread watcher(main.form());
  ui::headless::runFor(2000);
  EXPECT_TRUE(desktop().window(wizard)->exists) << "inactive: nothing is touched";
  watcher.setActive(true);
  ui::headless::runFor(600);
  EXPECT_EQ(desktop().window(wizard)->messages, (std::vector<UINT>{WM_CLOSE}));
  EXPECT_EQ(desktop().window(balloon)->messages, (std::vector<UINT>{WM_CLOSE}));
  EXPECT_TRUE(desktop().window(tooltip)->messages.empty());
  EXPECT_EQ(setWindowPosOnMain(), 0) << "keep-on-top is off";
  watcher.setKeepOnTop(true);
  EXPECT_TRUE(main.form().topmost());
  ui::headless::runFor(1000);
  EXPECT_GE(setWindowPosOnMain(), 2);
  watcher.setKeepOnTop(false);
  EXPECT_FALSE(main.form().topmost());
  watcher.terminate();
  watcher.waitFor();
}

TEST_F(WatcherTest, WithoutNewdevTheWizardIsLeftAlone) {
  desktop().newdevStrings.clear();
  HWND wizard = desktop().addWindow("#32770", desk::sim::kWizardTitle);
  CheckDeviceWizardThread watcher(main.form());
  watcher.setActive(true);
  ui::headless::runFor(1500);
  EXPECT_TRUE(desktop().window(wizard)->messages.empty());
}

TEST_F(WatcherTest, OtherSystemsCancelTheWizardAndHideItWhenItStays) {
  struct Case {
    bool closesOnCancel;
    std::vector<UINT> messages;
    bool hidden;
  } cases[] = {{true, {WM_COMMAND}, false}, {false, {WM_COMMAND}, true}};
  for (const Case& c : cases) {
    HWND wizard = desktop().addWindow("#32770", desk::sim::kWizardTitle, {true, true, c.closesOnCancel});
    CheckDeviceWizardThread::dismissWizard(2000);
    desk::sim::Window* w = desktop().window(wizard);
    EXPECT_EQ(w->messages, c.messages);
    EXPECT_EQ(!w->visible && w->atBottom, c.hidden);
    w->exists = false;
  }
}

}  // namespace
