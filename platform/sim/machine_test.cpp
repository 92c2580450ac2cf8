#include "platform/sim/machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

class MachineFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tv-machine-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                        "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  void write(const std::string& name, const std::string& text) {
    fs::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name, std::ios::binary) << text;
  }
  fs::path dir_;
};

TEST_F(MachineFolder, SaveAndLoadKeepEveryPart) {
  sim::Machine original;
  original.setWindows2000(4);
  original.userLcid = 0x040C;
  original.systemLanguage = 0x0407;
  original.devices.push_back({"PCI\\VEN_1C5D&DEV_5401\\4&1&0", {"PCI\\VEN_1C5D&DEV_5401&REV_01", "PCI\\VEN_1C5D&DEV_5401"}, true});
  original.devices.push_back({"USB\\VID_0E1B&PID_0A10\\5", {"USB\\VID_0E1B&PID_0A10"}, false});
  original.registry.setDword("HKEY_LOCAL_MACHINE\\Software\\Taviron\\RX410\\1.00.000", "RX130_Enable", 1);
  original.registry.setString("HKEY_LOCAL_MACHINE\\Software\\Taviron\\RX410\\1.00.000", "RX130_OemName", "Cam");
  original.files.writeFile("C:\\windows\\inf\\OEM0.inf", "[Version]\r\n");
  std::string error;
  ASSERT_TRUE(original.save(dir_.string(), error)) << error;
  EXPECT_TRUE(fs::exists(dir_ / "drive_c" / "windows" / "inf" / "OEM0.inf"));
  EXPECT_TRUE(fs::exists(dir_ / "registry.reg"));

  sim::Machine loaded;
  ASSERT_TRUE(sim::Machine::load(dir_.string(), loaded, error)) << error;
  EXPECT_EQ(loaded.version.major, 5u);
  EXPECT_EQ(loaded.version.minor, 0u);
  EXPECT_EQ(loaded.version.csd, "Service Pack 4");
  EXPECT_EQ(loaded.version.servicePackMajor, 4);
  EXPECT_EQ(loaded.userLcid, 0x040Cu);
  EXPECT_EQ(loaded.systemLanguage, 0x0407);
  ASSERT_EQ(loaded.devices.size(), 2u);
  EXPECT_EQ(loaded.devices[0].hardwareIds, original.devices[0].hardwareIds);
  EXPECT_FALSE(loaded.devices[1].present);
  EXPECT_EQ(loaded.registry.getDword("HKEY_LOCAL_MACHINE\\Software\\Taviron\\RX410\\1.00.000", "RX130_Enable"), 1u);
  EXPECT_EQ(loaded.registry.getString("HKEY_LOCAL_MACHINE\\SOFTWARE\\taviron\\RX410\\1.00.000", "rx130_oemname"),
            "Cam");
  EXPECT_EQ(loaded.files.readFile("c:\\WINDOWS\\INF\\oem0.INF"), "[Version]\r\n");
}

TEST_F(MachineFolder, MachineIniAloneGivesDefaultsForTheRest) {
  write("machine.ini", "; Me\r\n[Version]\r\nMajor=4\r\nMinor=90\r\nPlatform=1\r\n[Locale]\r\nUserLCID=0411\r\n");
  sim::Machine m;
  std::string error;
  ASSERT_TRUE(sim::Machine::load(dir_.string(), m, error)) << error;
  EXPECT_EQ(m.version.minor, 90u);
  EXPECT_EQ(m.userLcid, 0x0411u);
  EXPECT_EQ(m.systemLanguage, 0x0409) << "unchanged default";
  EXPECT_TRUE(m.files.isDirectory("C:\\windows\\system32"));
}

TEST_F(MachineFolder, MalformedFilesAreRefusedWithTheirReason) {
  struct {
    const char* ini;
    const char* reason;
  } cases[] = {
      {"[Version]\r\nMajor=five\r\n", "not a number"},
      {"[Version\r\n", "unterminated section"},
      {"Major=5\r\n", "inside a section"},
      {"[Devices]\r\n", "unknown section"},
      {"[Device.0]\r\nHardwareIds=PCI\\VEN_1\r\n", "InstanceId"},
      {"[Locale]\r\nLCID=0409\r\n", "unknown key"},
  };
  for (const auto& c : cases) {
    write("machine.ini", c.ini);
    sim::Machine m;
    std::string error;
    EXPECT_FALSE(sim::Machine::load(dir_.string(), m, error)) << c.ini;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  sim::Machine m;
  std::string error;
  EXPECT_FALSE(sim::Machine::load((dir_ / "nothing").string(), m, error));
  EXPECT_NE(error.find("machine.ini"), std::string::npos);
}

TEST(MessageBoxes, AnswerFromTheScriptThenWithTheFirstButton) {
  sim::MessageBoxes boxes;
  boxes.script(IDCANCEL);
  EXPECT_EQ(boxes.show(nullptr, "a", "Message", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(boxes.show(nullptr, "b", "Message", MB_OKCANCEL), IDOK);
  EXPECT_EQ(boxes.show(nullptr, "c", "Message", MB_YESNO), IDYES);
  ASSERT_EQ(boxes.calls().size(), 3u);
  EXPECT_EQ(boxes.calls()[0].text, "a");
  EXPECT_EQ(boxes.calls()[2].answer, IDYES);
}

}  // namespace
