#include "installTools/installer/shell/installerProgram.h"

#include <gtest/gtest.h>

#include "installTools/installer/testing/installerFixture.h"

namespace {

class ProgramTest : public InstallerTest {
 protected:
  void SetUp() override { writePackage(); }
  int run(const std::vector<std::string>& arguments) {
    return runInstaller(arguments, [](TinstallForm& form) {
      ASSERT_TRUE(ui::headless::runUntil([&] { return form.form().closed(); }, 600000));
    });
  }
};

TEST(SilentSwitch, IsRecognisedInAnyLetterCase) {
  EXPECT_TRUE(isSilentSwitch("/s"));
  EXPECT_TRUE(isSilentSwitch("/S"));
  EXPECT_FALSE(isSilentSwitch("-s"));
  EXPECT_FALSE(isSilentSwitch("/silent"));
}

TEST_F(ProgramTest, UnattendedRunsEndWithTheirExitCodes) {
  struct Case {
    std::vector<std::string> arguments;
    bool installWorks;
    DWORD reboot;
    int exitCode;
    const char* why;
  } cases[] = {
      {{"5401", "1", "/s"}, true, 0, kExitSuccess, "install"},
      {{"5401", "1", "/S"}, true, 1, kExitSuccessRestartNeeded, "install that needs a restart"},
      {{"5401", "1", "/s"}, false, 0, kExitCompletedWithError, "install whose device install failed"},
      {{"/s", "5401", "0"}, true, 0, kExitSuccess, "uninstall, the switch first"},
      {{"111", "0", "/s"}, true, 0, kExitSuccess, "RX410 uninstall"},
  };
  for (const Case& c : cases) {
    engine.installResult = c.installWorks;
    engine.rebootOnInstall = c.reboot;
    engine.calls.clear();
    desktop().beeps.clear();
    EXPECT_EQ(run(c.arguments), c.exitCode) << c.why;
    EXPECT_EQ(desktop().beeps, (std::vector<DWORD>{10000})) << c.why;
    EXPECT_TRUE(ui::headless::modalForms().empty()) << c.why << ": no completion dialog";
  }
}

TEST_F(ProgramTest, SilentWithoutAProductToActOnEndsAtOnce) {
  EXPECT_EQ(run({"/s"}), kExitNothingToDo);
  EXPECT_EQ(run({"4242", "1", "/s"}), kExitNothingToDo);
  EXPECT_EQ(run({"5401", "/s"}), kExitNothingToDo);
  EXPECT_TRUE(engine.callsOf("InstallDevice").empty());
}

// Mend: without the engine, an unattended run starts no sequence and ends with error.
TEST_F(ProgramTest, UnattendedRunWithoutTheEngineEndsWithError) {
  engine.loadResult = false;
  EXPECT_EQ(run({"5401", "1", "/s"}), kExitCompletedWithError);
  EXPECT_TRUE(engine.callsOf("InstallDevice").empty());
  EXPECT_EQ(boxes(), (std::vector<std::string>{std::string("Message: ") + TinstallForm::kEngineFailedText}));
}

TEST_F(ProgramTest, TheMainWindowIsShownOnlyWithoutTheSwitch) {
  bool shown = false;
  runInstaller({}, [&](TinstallForm& form) {
    shown = form.form().shown();
    form.exitButtonClick();
    ui::headless::runUntil([&] { return form.form().closed(); }, 1000);
  });
  EXPECT_TRUE(shown);
  runInstaller({"5401", "0", "/s"}, [&](TinstallForm& form) {
    shown = form.form().shown();
    ui::headless::runUntil([&] { return form.form().closed(); }, 600000);
  });
  EXPECT_FALSE(shown);
}

TEST_F(ProgramTest, AMissingIniFileEndsTheProgram) {
  win::DeleteFileA((std::string(kFolder) + "drvInstall.ini").c_str());
  EXPECT_THROW(
      try {
        run({"5401", "1", "/s"});
      } catch (const sim::ProcessExit& e) {
        EXPECT_EQ(e.exitCode, 2u);
        throw;
      },
      sim::ProcessExit);
}

}  // namespace
