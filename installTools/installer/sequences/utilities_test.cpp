#include "installTools/installer/sequences/utilities.h"

#include <gtest/gtest.h>

#include "installTools/installer/testing/installerFixture.h"

namespace {

class UtilitiesTest : public InstallerTest {
 protected:
  void setPlayerVersion(const char* text) {
    HKEY key;
    ASSERT_EQ(win::RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\MediaPlayer\\PlayerUpgrade", 0, nullptr,
                                   0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    win::RegSetValueExA(key, "PlayerVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(strlen(text) + 1));
    win::RegCloseKey(key);
  }
};

TEST_F(UtilitiesTest, MediaPlayerVersionReadsMajorAndMinor) {
  struct Case {
    const char* text;  // nullptr: no value
    int32_t version, major, minor;
  } cases[] = {
      {"9,0,0,2980", 900, 9, 0}, {"9,0,0,3075", 900, 9, 0}, {"10,0,0,3646", 1000, 10, 0},
      {"10", 0, 0, 0},           {"x,5,0,0", 5, 0, 5},      {"11,2,0", 1102, 11, 2},
  };
  int32_t major = -1, minor = -1;
  EXPECT_EQ(mediaPlayerVersion(major, minor), 0) << "no key";
  EXPECT_EQ(major, 0);
  for (const Case& c : cases) {
    setPlayerVersion(c.text);
    EXPECT_EQ(mediaPlayerVersion(major, minor), c.version) << c.text;
    EXPECT_EQ(major, c.major) << c.text;
    EXPECT_EQ(minor, c.minor) << c.text;
  }
}

TEST(ParseGuid, KeepsOnlyGuidCharactersAndNeedsThirtyEight) {
  struct Case {
    const char* text;
    bool ok;
    const char* why;
  } cases[] = {
      {"  {4d36e96c-e325-11ce-bfc1-08002be10318}  ", true, "lower case with blanks around"},
      {"{4D36E96C-E325-11CE-BFC1-08002BE10318}", true, "registry form"},
      {"{4D36E96C-E325-11CE-\"BFC1-08002BE1 0318}", true, "stray quote and blank inside"},
      {"4D36E96C-E325-11CE-BFC1-08002BE10318", false, "no braces: 36 characters"},
      {"Error", false, "not a GUID"},
      {"{4D36E96C-E325-11CE-BFC1-08002BE10318}0", false, "39 characters"},
      {"{4D36E96CE-325-11CE-BFC1-08002BE10318}", false, "38 characters, hyphen misplaced"},
  };
  for (const Case& c : cases) {
    GUID guid{0xDEADBEEF, 0xCCCC, 0xCCCC, {0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC}};
    EXPECT_EQ(parseGuid(c.text, guid), c.ok) << c.why;
    if (c.ok) {
      EXPECT_EQ(guid.Data1, 0x4D36E96Cu) << c.why;
      EXPECT_EQ(guid.Data2, 0xE325) << c.why;
      EXPECT_EQ(guid.Data4[7], 0x18) << c.why;
    } else {
      EXPECT_EQ(guid.Data1, 0xDEADBEEFu) << c.why << ": the GUID stays unchanged";
    }
  }
}

TEST_F(UtilitiesTest, RestartAsksForARebootThatForcesHungPrograms) {
  restartComputer();
  ASSERT_EQ(desktop().exitWindowsCalls.size(), 1u);
  EXPECT_EQ(desktop().exitWindowsCalls[0], 0x12u);
}

TEST_F(UtilitiesTest, RunAndWaitReturnsWhenTheProgramEndsAndWaitsOnItsHandle) {
  machine.files.writeFile("C:\\setup\\mp9setup.exe", "MZ");
  desktop().setProgram("C:\\setup\\mp9setup.exe", {0, 7000});
  int running = 5;
  uint64_t before = ui::now();
  runAndWait(quotedPath("C:\\setup\\mp9setup.exe"), running, 0);
  EXPECT_EQ(running, 0);
  EXPECT_EQ(ui::now() - before, 7000u);
  ASSERT_EQ(desktop().processes.size(), 1u);
  EXPECT_FALSE(desktop().processes[0].open) << "process handle closed";
}

// A program that ends with the exit code 259 (STILL_ACTIVE) does not keep the wait going.
TEST_F(UtilitiesTest, RunAndWaitEndsForAProgramWhoseExitCodeIsStillActive) {
  machine.files.writeFile("C:\\setup\\odd.exe", "MZ");
  desktop().setProgram("C:\\setup\\odd.exe", {STILL_ACTIVE, 300});
  int running = 0;
  runAndWait("C:\\setup\\odd.exe", running, 1000);
  EXPECT_EQ(running, 0);
  EXPECT_EQ(ui::now(), 300u);
}

TEST_F(UtilitiesTest, RunAndWaitFailsSilentlyForAMissingProgram) {
  int running = 7;
  runAndWait("C:\\nowhere\\setup.exe", running, 0);
  EXPECT_EQ(running, 7);
  EXPECT_TRUE(machine.boxes.calls().empty());
}

// With blanks in a folder name, an unquoted command line can start a different program; a quoted one cannot.
TEST_F(UtilitiesTest, QuotedPathStartsTheNamedProgramEvenWhenAShorterNameExists) {
  machine.files.writeFile("C:\\Program.exe", "MZ");
  machine.files.writeFile("C:\\Program Files\\tvSetup\\mp9setup.exe", "MZ");
  int running = 0;
  runAndWait("C:\\Program Files\\tvSetup\\mp9setup.exe", running, 0);
  runAndWait(quotedPath("C:\\Program Files\\tvSetup\\mp9setup.exe"), running, 0);
  ASSERT_EQ(desktop().processes.size(), 2u);
  EXPECT_EQ(desktop().processes[0].program, "C:\\Program.exe") << "the platform's rule for unquoted lines";
  EXPECT_EQ(desktop().processes[1].program, "C:\\Program Files\\tvSetup\\mp9setup.exe");
}

TEST_F(UtilitiesTest, StartProgramShowsTheSystemErrorWhenItCannotStart) {
  machine.files.writeFile("C:\\fw\\Rx130_FwDownLoad.exe", "MZ");
  startProgram("\"C:\\fw\\Rx130_FwDownLoad.exe\"");
  ASSERT_EQ(desktop().processes.size(), 1u);
  EXPECT_TRUE(machine.boxes.calls().empty());
  EXPECT_NE(desktop().calls.back().arguments.find("startf=0x40"), std::string::npos);

  startProgram("\"C:\\fw\\missing.exe\"");
  ASSERT_EQ(machine.boxes.calls().size(), 1u);
  const sim::MessageBoxCall& box = machine.boxes.calls()[0];
  EXPECT_EQ(box.caption, "Error executing command");
  EXPECT_EQ(box.text, "Trying to open \"\"C:\\fw\\missing.exe\"\"\r\nThe system cannot find the file specified.\r\n");
  EXPECT_EQ(box.type, 0x30u);
}

}  // namespace
