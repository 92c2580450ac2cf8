#include "installTools/tools/setupCheck.h"

#include "installTools/installer/config/myDebug.h"
#include "installTools/tools/json.h"
#include "platform/seam/contract_fixture.h"

namespace {

TEST(JsonWriter, QuotesTextsAsPlainAscii) {
  struct {
    std::string text;
    const char* json;
  } cases[] = {
      {"plain", "\"plain\""},
      {"PCI\\VEN_1234", "\"PCI\\\\VEN_1234\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"line\r\n", "\"line\\r\\n\""},
      {"termin\xE9", "\"termin\\u00e9\""},
      {std::string("a\x01", 2), "\"a\\u0001\""},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonWriter::quote(c.text), c.json);
}

TEST(JsonWriter, NestsObjectsAndArrays) {
  JsonWriter out;
  out.beginObject().value("a", int32_t{1}).beginArray("b").value(nullptr, true).endArray();
  out.beginObject("c").endObject().endObject();
  EXPECT_EQ(out.text(), "{\n  \"a\": 1,\n  \"b\": [\n    true\n  ],\n  \"c\": {}\n}\n");
}

class SetupCheckTest : public ContractTest {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    MyDebug::resetSwitches();
  }
  void TearDown() override {
    deleteTree(HKEY_LOCAL_MACHINE, "Software\\Taviron");
    ContractTest::TearDown();
  }
};

TEST_F(SetupCheckTest, MissingIniFileIsReported) {
  std::string json;
  EXPECT_FALSE(describeSetup({path(""), {}, ""}, json));
  EXPECT_TRUE(json.empty());
}

TEST_F(SetupCheckTest, DescribesProductsAndMatchesGivenDevices) {
  win::CreateDirectoryA(path("Driver").c_str(), nullptr);
  writeFile("Driver\\card.inf",
            "[Version]\r\nClassGUID={4d36e96c-e325-11ce-bfc1-08002be10318}\r\n[Manufacturer]\r\n%M%=Models\r\n"
            "[Models]\r\n%D%=Inst, PCI\\VEN_1C5D&DEV_5401\r\n");
  writeFile("drvInstall.ini",
            "[InstallData]\r\nMainFormCaption=Card Setup\r\n"
            "[VL540_Drv]\r\nbEnableType=1\r\nInfFileName_0=card.inf\r\nOemProductName=Card\r\n"
            "[RC670_Drv]\r\nbEnableType=1\r\nProductListOrder=2\r\n");
  std::string json;
  ASSERT_TRUE(describeSetup({path(""), {"PCI\\VEN_1C5D&DEV_5401&SUBSYS_54011C5D&REV_01"}, "1000 1"}, json));
  for (const char* expected : {
           "\"iniFile\": \"drvInstall.ini\"",
           "\"osVersionCode\": 20005",
           "\"active\": [\n    5401,\n    670,\n    1000\n  ]",
           "\"current\": 5401",
           "\"MainFormCaption\": \"Card Setup\"",
           "\"oemName\": \"Card\"",
           "\"vidPidList\": \"PCI|1C5D,5401\"",
           "\"matched\": true",
           "\"path\": \"Driver\\\\card.inf\"",
           "\"classGuid\": \"{4d36e96c-e325-11ce-bfc1-08002be10318}\"",
           "\"vendor\": \"1C5D\"",
           "\"path\": \"Driver\\\\_empty_.inf\"",
       })
    EXPECT_NE(json.find(expected), std::string::npos) << expected << "\n" << json;
  // Exactly one product matched: the card's.
  EXPECT_EQ(json.find("\"matched\": true"), json.rfind("\"matched\": true"));
}

}  // namespace
