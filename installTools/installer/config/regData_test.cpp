#include "installTools/installer/config/regData.h"

#include <cstring>

#include "installTools/installer/config/myDebug.h"
#include "platform/seam/contract_fixture.h"

namespace {

class RegDataTest : public ContractTest {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    deleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Taviron\\Debug");
    MyDebug::resetSwitches();
  }
  void TearDown() override {
    deleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Taviron\\Debug");
    MyDebug::resetSwitches();
    ContractTest::TearDown();
  }
  static bool dword(const char* keyPath, const char* name, DWORD& out) {
    HKEY key;
    if (win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = sizeof out;
    LONG rc = win::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&out), &size);
    win::RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == REG_DWORD;
  }
};

TEST_F(RegDataTest, KeyWithoutPathOrMissingReadOnlyKeyIsNotOpen) {
  HKLM_RegDataRW none;
  EXPECT_FALSE(none.isOpen());
  EXPECT_FALSE(none.writeInteger("x", 1));
  int32_t out = 77;
  EXPECT_FALSE(none.readInteger("x", out));
  EXPECT_EQ(out, 77);

  HKLM_RegDataRW readOnly(keyPath().c_str(), HKLM_RegDataRW::kReadOnly);
  EXPECT_FALSE(readOnly.isOpen());
  EXPECT_FALSE(readOnly.writeString("x", "y"));
}

TEST_F(RegDataTest, WritableKeyIsCreatedAndValuesRoundTrip) {
  {
    HKLM_RegDataRW key(keyPath().c_str(), 0);
    ASSERT_TRUE(key.isOpen());
    EXPECT_TRUE(key.writeInteger("count", -5));
    EXPECT_TRUE(key.writeString("name", "abcdefg"));
    const unsigned char blob[3] = {1, 2, 3};
    EXPECT_TRUE(key.writeData("blob", blob, sizeof blob));
    EXPECT_FALSE(key.writeInteger(nullptr, 1));
  }
  HKLM_RegDataRW key(keyPath().c_str(), HKLM_RegDataRW::kReadOnly);
  ASSERT_TRUE(key.isOpen());
  int32_t count = 0;
  EXPECT_TRUE(key.readInteger("count", count));
  EXPECT_EQ(count, -5);
  EXPECT_FALSE(key.readInteger("name", count)) << "a text is not an integer";
  EXPECT_FALSE(key.readInteger("missing", count));

  // The whole buffer is cleared and the text is cut to fit with its terminator.
  char buffer[8];
  std::memset(buffer, 0xCC, sizeof buffer);
  EXPECT_TRUE(key.readString("name", buffer, 5));
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(static_cast<unsigned char>(buffer[5]), 0xCC) << "nothing beyond the given size is touched";
  EXPECT_FALSE(key.readString("missing", buffer, sizeof buffer));

  unsigned char blob[3] = {};
  EXPECT_FALSE(key.readData("missing", blob, sizeof blob));
  EXPECT_TRUE(key.readData("blob", blob, sizeof blob));
  EXPECT_EQ(blob[2], 3);
}

TEST_F(RegDataTest, DeleteValueNeedsAnExistingValue) {
  HKLM_RegDataRW key(keyPath().c_str(), 0);
  ASSERT_TRUE(key.writeInteger("v", 1));
  EXPECT_TRUE(key.deleteValue("v"));
  EXPECT_FALSE(key.deleteValue("v"));
  EXPECT_FALSE(key.deleteValue(nullptr));
}

TEST_F(RegDataTest, IntegerSettingLoadsMarkerAsDefaultAndKeepsItsValueWhenMissing) {
  HKLM_RegDataRW key(keyPath().c_str(), 0);
  IntRegData setting("Enable", 3, kIntMarker);
  setting.setValue(9);
  EXPECT_FALSE(setting.load(key)) << "no value stored yet";
  EXPECT_EQ(setting.value(), 9);

  ASSERT_TRUE(key.writeInteger("Enable", kIntMarker));
  EXPECT_TRUE(setting.load(key));
  EXPECT_EQ(setting.value(), 3);
  EXPECT_EQ(setting.previousValue(), 3);

  ASSERT_TRUE(key.writeInteger("Enable", 42));
  EXPECT_TRUE(setting.load(key));
  EXPECT_EQ(setting.value(), 42);

  setting.setValue(7);
  EXPECT_TRUE(setting.save(key));
  int32_t stored = 0;
  EXPECT_TRUE(key.readInteger("Enable", stored));
  EXPECT_EQ(stored, 7);
}

TEST(IntRegData, RevertSwapsWithThePreviousValueAndCommitFixesIt) {
  IntRegData setting("x", 1, kIntMarker);
  setting.setValue(2);
  EXPECT_EQ(setting.previousValue(), 1);
  setting.setValue(2);
  EXPECT_EQ(setting.previousValue(), 1) << "setting the same value keeps the previous one";
  setting.revert();
  EXPECT_EQ(setting.value(), 1);
  setting.revert();
  EXPECT_EQ(setting.value(), 2) << "reverting twice returns to where it started";
  setting.commit();
  setting.revert();
  EXPECT_EQ(setting.value(), 2);
  setting.setDefaultValue(8);
  EXPECT_EQ(setting.defaultValue(), 8);
}

TEST_F(RegDataTest, TextSettingLoadsMarkerAsDefault) {
  HKLM_RegDataRW key(keyPath().c_str(), 0);
  StringRegData setting("RX130_OemName", "RX130", kStringMarker);
  ASSERT_TRUE(key.writeString("RX130_OemName", "__tavi"));
  setting.setValue("other");
  EXPECT_TRUE(setting.load(key));
  EXPECT_EQ(setting.value(), "RX130");
  ASSERT_TRUE(key.writeString("RX130_OemName", "Brand X"));
  EXPECT_TRUE(setting.load(key));
  EXPECT_EQ(setting.value(), "Brand X");
}

TEST_F(RegDataTest, DebugSwitchesAreReadOnceAndMissingOnesWrittenAsZero) {
  {
    HKLM_RegDataRW key(MyDebug::kKeyPath, 0);
    ASSERT_TRUE(key.writeInteger("g_EnableDebug", 7));
  }
  {
    MyDebug channel("installTools/installIniSection", "IniSection");
    EXPECT_EQ(channel.sourceName(), "installIniSection");
    EXPECT_EQ(MyDebug::enableDebug(), 7);
    EXPECT_EQ(MyDebug::outFileName(), 0);
    DWORD written = 99;
    EXPECT_TRUE(dword(MyDebug::kKeyPath, "g_OutFileName", written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(dword(MyDebug::kKeyPath, "g_OutDebugID", written));
  }
  DWORD channel = 0;
  EXPECT_FALSE(dword(MyDebug::kKeyPath, "IniSection", channel)) << "7 does not store channels";
  {
    HKLM_RegDataRW key(MyDebug::kKeyPath, 0);
    ASSERT_TRUE(key.writeInteger("g_EnableDebug", 5474));
  }
  MyDebug stillCached("a\\b.cpp", "Other");
  EXPECT_EQ(MyDebug::enableDebug(), 7) << "the switches are read once per process";
}

TEST_F(RegDataTest, ChannelsStoreThemselvesWhenDebugIsEnabled) {
  for (int32_t enable : {5474, 21620}) {
    deleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Taviron\\Debug");
    MyDebug::resetSwitches();
    {
      HKLM_RegDataRW key(MyDebug::kKeyPath, 0);
      ASSERT_TRUE(key.writeInteger("g_EnableDebug", enable));
    }
    { MyDebug channel("x.cpp", "IniSection"); }
    DWORD stored = 99;
    EXPECT_TRUE(dword(MyDebug::kKeyPath, "IniSection", stored)) << enable;
    EXPECT_EQ(stored, 0u);
  }
}

}  // namespace
