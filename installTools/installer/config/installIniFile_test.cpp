#include "installTools/installer/config/installIniFile.h"

#include <cstring>
#include <string>

#include "platform/seam/contract_fixture.h"

namespace {

const char kPciInf[] =
    "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClassGUID={4d36e96c-e325-11ce-bfc1-08002be10318}\r\n"
    "[Manufacturer]\r\n%Mfg%=Models\r\n"
    "[Models]\r\n%Dev%=Install, PCI\\VEN_1234&DEV_5678&SUBSYS_00011234\r\n"
    "%Dev2%=Install, PCI\\VEN_1234&DEV_5679\r\n"
    "[Strings]\r\nMfg=\"Maker\"\r\n";

const char kUsbInf[] =
    "[Version]\r\nClassGUID={36fc9e60-c465-11cf-8056-444553540000}\r\n"
    "[Manufacturer]\r\n%Mfg%=Usb\r\n"
    "[Usb]\r\n%Dev%=Install, USB\\VID_0E1B&PID_0A10&MI_00\r\n"
    "%Dev%=Install, USB\\VID_0E1B&PID_0A13&MI_00\r\n";

class IniModelTest : public ContractTest {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    deleteTree(HKEY_LOCAL_MACHINE, "Software\\Taviron");
    MyDebug::resetSwitches();
    Install_IniFile::setProgramFolder(path(""));
    ASSERT_TRUE(win::CreateDirectoryA(path("Driver").c_str(), nullptr));
  }
  void TearDown() override {
    Install_IniFile::setProgramFolder("");
    deleteTree(HKEY_LOCAL_MACHINE, "Software\\Taviron");
    ContractTest::TearDown();
  }
  void writeIni(const std::string& text, const std::string& name = "drvInstall.ini") { writeFile(name, text); }

  static std::vector<int32_t> ids(const std::vector<Install_IniSection*>& sections) {
    std::vector<int32_t> out;
    for (auto* s : sections) out.push_back(s->productId());
    return out;
  }
};

TEST_F(IniModelTest, NoEnabledProductGivesTheFallbackListWithVl540Current) {
  writeIni("[InstallData]\r\nMainFormCaption=Setup\r\n");
  Install_IniFile ini;
  EXPECT_EQ(ids(ini.activeSections()), (std::vector<int32_t>{5401, 670, 550, 130, 850}));
  EXPECT_EQ(ini.currentSection()->productId(), 5401);
  EXPECT_TRUE(ini.currentSection()->isSelected());
  EXPECT_EQ(ini.allSections().size(), 23u);
  EXPECT_EQ(ini.drvInstallString().get("MainFormCaption"), "Setup");
  EXPECT_EQ(ini.drvInstallString().get("IinstallButtonName"), "Install");
}

TEST_F(IniModelTest, OrderKeysAreMadeDistinctInTableOrder) {
  // Case table: product section, "ProductListOrder" value, expected order key.
  writeIni(
      "[RX550_Drv]\r\nProductListOrder=5\r\nbEnableType=1\r\n"
      "[TQ230_Drv]\r\nProductListOrder=5\r\nbEnableType=1\r\n"
      "[HN690_Drv]\r\nProductListOrder=abc\r\nbEnableType=1\r\n"
      "[WTxxx_Drv]\r\nProductListOrder=0\r\nbEnableType=3\r\n"
      "[HN310_Drv]\r\nProductListOrder=30000000\r\nbEnableType=1\r\n"
      "[RC670_Drv]\r\nbEnableType=0\r\n"
      "[HN620_Drv]\r\nbEnableType=x\r\n");
  Install_IniFile ini;
  struct {
    int32_t id;
    int32_t key;
  } cases[] = {
      {230, 500},   // earlier in the table keeps the key
      {550, 501},   // later one moves up by one
      {310, 2000},  // a key that would not fit 32 bits counts as 20
      {690, 2001},  // not a number counts as 20; HN310 is earlier in the table
      {850, 0},     // zero sorts before the default
      {240, 100},   // the default "1"
  };
  for (const auto& c : cases) EXPECT_EQ(ini.sectionOf(c.id)->orderKey(), c.key) << c.id;
  EXPECT_EQ(ids(ini.activeSections()), (std::vector<int32_t>{850, 230, 550, 310, 690}));
  EXPECT_FALSE(ini.sectionOf(620)->isEnabled()) << "an enable value that is not a number counts as 0";
  EXPECT_EQ(ini.currentSection()->productId(), 850);
}

TEST_F(IniModelTest, DummyIsAppendedForTheFirstArgument1000EvenTwice) {
  writeIni("[Dummy_Drv]\r\nbEnableType=1\r\nProductListOrder=1\r\n[TQ240_Drv]\r\nbEnableType=1\r\n");
  {
    Install_IniFile ini("1000");
    EXPECT_EQ(ids(ini.activeSections()), (std::vector<int32_t>{240, 1000, 1000}));
  }
  writeIni("[TQ240_Drv]\r\nbEnableType=1\r\n");
  Install_IniFile ini("1000");
  EXPECT_EQ(ids(ini.activeSections()), (std::vector<int32_t>{240, 1000}));
  Install_IniFile plain("10000");
  EXPECT_EQ(ids(plain.activeSections()), (std::vector<int32_t>{240}));
}

TEST_F(IniModelTest, SelectProductOnlyAmongActiveSections) {
  writeIni("[TQ240_Drv]\r\nbEnableType=1\r\n[TQ370_Drv]\r\nbEnableType=1\r\n");
  Install_IniFile ini;
  ini.selectProduct(370);
  EXPECT_EQ(ini.currentSection()->productId(), 370);
  EXPECT_FALSE(ini.sectionOf(240)->isSelected());
  ini.selectProduct(5401);  // exists, but not active
  EXPECT_EQ(ini.currentSection()->productId(), 370) << "the current section stays";
  EXPECT_FALSE(ini.sectionOf(370)->isSelected()) << "all flags are cleared";
}

TEST(IniFileName, ChosenByTheWholeLocale) {
  struct {
    LCID lcid;
    const char* name;
  } cases[] = {
      {0x0404, "drvInstall.cht"}, {0x0C04, "drvInstall.cht"}, {0x0804, "drvInstall.chs"},
      {0x1004, "drvInstall.ini"},  // Chinese (Singapore) is not in the table
      {0x0411, "drvInstall.jpn"}, {0x040C, "drvInstall.FRA"}, {0x180C, "drvInstall.FRA"},
      {0x1407, "drvInstall.DEU"}, {0x0810, "drvInstall.ITA"}, {0x0813, "drvInstall.NLD"},
      {0x040A, "drvInstall.ENS"}, {0x0C0A, "drvInstall.ENS"}, {0x500A, "drvInstall.ENS"},
      {0x540A, "drvInstall.ini"}, {0x0409, "drvInstall.ini"}, {0x0009, "drvInstall.ini"},
  };
  for (const auto& c : cases) EXPECT_STREQ(Install_IniFile::iniFileNameFor(c.lcid), c.name) << std::hex << c.lcid;
}

TEST_F(IniModelTest, DeviceTemplatesReplaceAtMostTwoPlaceholders) {
  writeIni(
      "[InstallData]\r\nConnectHardwareString=Plug %device% in\r\n"
      "UnConnectHardwareString=%DEVICE%+%DEVICE%+%DEVICE%\r\nOsNeeded=Need XP\r\n"
      "[VL540_Drv]\r\nOemProductName=Brand TV\r\n");
  Install_IniFile ini;
  Install_IniSection* vl540 = ini.sectionOf(5401);
  EXPECT_EQ(vl540->connectHardwareMessage(), "Plug Brand TV in");
  EXPECT_EQ(vl540->disconnectHardwareMessage(), "Brand TV+Brand TV+%DEVICE%");
  EXPECT_EQ(vl540->osNeededMessage(), "Need XP");
  EXPECT_EQ(ini.sectionOf(230)->connectHardwareMessage(), "Plug TQ230_Drv in") << "default OEM name";
}

TEST_F(IniModelTest, InfEntriesAlwaysSixAndOnlyLoadedOnesCountHardware) {
  writeFile("Driver\\pci.inf", kPciInf);
  writeFile("Driver\\usb.inf", kUsbInf);
  writeIni(
      "[TQ240_Drv]\r\nbEnableType=1\r\nInfFileName_0=pci.inf\r\nInfFileName_1=missing.inf\r\n"
      "InfFileName_2=EmptyInf\r\nInfFileName_3=usb.inf\r\n");
  Install_IniFile ini;
  Install_IniSection* s = ini.sectionOf(240);
  ASSERT_EQ(s->infFileCount(), 6);
  EXPECT_TRUE(s->firstInfLoaded());
  PerInfFile* third = s->infFile(2);
  ASSERT_NE(third, nullptr);
  EXPECT_FALSE(third->isLoaded());
  EXPECT_EQ(third->path(), path("Driver\\_empty_.inf"));
  EXPECT_EQ(third->keyName(), "InfFileName_2");
  EXPECT_EQ(s->infFile(6), nullptr);
  EXPECT_EQ(&s->currentInfFile(), third) << "an invalid index leaves the current one";
  EXPECT_FALSE(s->infFile(1)->isLoaded()) << "named but missing";

  EXPECT_EQ(s->hardwareIdCount(), 4);
  ASSERT_NE(s->hardwareIdAt(2), nullptr);
  EXPECT_STREQ(s->hardwareIdAt(2)->szHardwareID, "USB\\VID_0E1B&PID_0A10&MI_00");
  EXPECT_EQ(s->hardwareIdAt(4), nullptr);
  EXPECT_EQ(s->hardwareIdAt(-1), nullptr);
  EXPECT_EQ(s->vidPidListText(), "PCI|1234,5678|1234,5679");

  tag_HardwareID device{};
  device.nBusType = HWID_PCI;
  std::strcpy(device.szHardwareID, "PCI\\VEN_1234&DEV_5678&SUBSYS_00011234&REV_01");
  device.nVendorID = 0x1234;
  device.nDeviceID = 0x5678;
  EXPECT_TRUE(s->matchHardware(device));
  EXPECT_TRUE(s->hasMatchedHardware());
  s->clearMatches();
  EXPECT_FALSE(s->hasMatchedHardware());
}

TEST_F(IniModelTest, DriverFoldersDefaultToTheXpFolderAndAreChosenByCode) {
  writeIni(
      "[TQ240_Drv]\r\ndriverXPPath=XP\r\ndriverMePath=Me\r\nMediaPlayerSetupName_XP=mp9xp.exe\r\n"
      "NeedMediaPlayerVer2K=700\r\nShowRestartPC=0\r\n");
  Install_IniFile ini;
  Install_IniSection* s = ini.sectionOf(240);
  struct {
    int32_t code;
    const char* folder;
  } cases[] = {{2000, "XP"}, {20005, "XP"}, {982000, "Me"}, {98, "XP"}, {95, "XP"}, {982, "XP"}, {1000, "XP"}};
  for (const auto& c : cases) EXPECT_EQ(s->driverPath(c.code), c.folder) << c.code;
  s->setDriverPath(98, "Nine");
  EXPECT_EQ(s->driverPath(351), "Nine");
  EXPECT_EQ(s->mediaPlayerSetupName(20005), "mp9xp.exe");
  EXPECT_EQ(s->mediaPlayerSetupName(2000), "Error");
  EXPECT_EQ(s->neededMediaPlayerVersion(20005), 900);
  EXPECT_EQ(s->neededMediaPlayerVersion(2000), 700);
  EXPECT_EQ(s->showRestartPc(), 0);
  EXPECT_EQ(ini.sectionOf(230)->driverPath(2000), "Driver");
}

TEST_F(IniModelTest, ApplicationSectionHasConstantsAndReadValues) {
  writeIni("[TQ240_Drv]\r\nOemProductName=Brand\r\n[TQ240]\r\nAutoPlay=1\r\nUiType=ignored\r\nRemoteType=5\r\n");
  Install_IniFile ini;
  DvDEncoderString& app = ini.sectionOf(240)->appSettings();
  EXPECT_EQ(app.get("OemProductName"), "Brand");
  EXPECT_EQ(app.get("UiCaption"), "Brand");
  EXPECT_EQ(app.get("UiType"), "UI_KT_TYPE") << "a constant of the format, not read";
  EXPECT_EQ(app.get("AutoPlay"), "1");
  EXPECT_EQ(app.get("RemoteType"), "5");
  EXPECT_EQ(app.get("VidPidList"), "PCI|0, 0");
  EXPECT_EQ(app.get("ProductListOrder"), "20");
  EXPECT_EQ(app.get("RefClockSource"), "8");
}

TEST_F(IniModelTest, SectionsWriteTheirFormatBack) {
  writeIni(
      "[TQ240_Drv]\r\nOemProductName=Brand\r\nProductListOrder=7\r\nInfFileName_0=pci.inf\r\n"
      "[TQ240]\r\nEnableTimeShift=5\r\n");
  writeFile("Driver\\pci.inf", kPciInf);
  Install_IniFile ini;
  Install_IniSection* s = ini.sectionOf(240);
  const std::string out = path("out.ini");
  s->writeDriverSection(out);
  struct {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"TQ240_Drv", "ProductListOrder", "2"},
      {"TQ240_Drv", "bEnableType", "2"},
      {"TQ240_Drv", "InfFileName_0", "pci.inf"},
      {"TQ240_Drv", "InfFileName_5", "_empty_.inf"},
      {"TQ240_Drv", "NeedMediaPlayerVerXp", "900"},
      {"TQ240_Drv", "OemProductName", "Brand"},
      {"TQ240", "UiNameList", "UI_KT_TYPE|Professional Type"},
      {"TQ240", "EnableTimeShift", "1"},
      {"TQ240", "UiCaption", "Brand"},
      {"TQ240", "VidPidList", "PCI|0, 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(readIniString(out, c.section, c.key, "?"), c.value) << c.key;

  ini.installShieldShortCut().set("ShortCutPlayerName", "Player");
  ini.appSettingString().set("ActiveProduct", "240");
  ini.writeGlobalSections(out);
  EXPECT_EQ(readIniString(out, "__Info", "ActiveProduct", "?"), "240");
  const std::string text = readFile(out);
  EXPECT_LT(text.find("ShortCutTvSchedule"), text.find("ShortCutPlayerName"));
  EXPECT_LT(text.find("ShortCutPlayerName"), text.find("ShortCutHelpName"));
}

TEST_F(IniModelTest, EachSectionStoresItsRecordWhenTheModelEnds) {
  writeIni("[RX130_Drv]\r\nbEnableType=4\r\nOemProductName=Cam\r\n");
  { Install_IniFile ini; }
  HKEY key;
  ASSERT_EQ(win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, Install_IniSection::kRecordKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD type = 0, value = 0, size = sizeof value;
  EXPECT_EQ(win::RegQueryValueExA(key, "RX130_Enable", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(value, 4u);
  char text[32] = {};
  size = sizeof text;
  EXPECT_EQ(win::RegQueryValueExA(key, "RX130_OemName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, "Cam");
  size = sizeof value;
  EXPECT_EQ(win::RegQueryValueExA(key, "Dummy_Enable", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  win::RegCloseKey(key);
}

TEST_F(IniModelTest, Rx130OnXpMatchesOnlyTheFirstInterfaceAndNamesKnownDevices) {
  writeFile("Driver\\usb.inf", kUsbInf);
  writeIni("[RX130_Drv]\r\nbEnableType=1\r\nInfFileName_0=usb.inf\r\n");
  Install_IniFile ini;
  Install_IniSection* rx = ini.sectionOf(130);
  ASSERT_EQ(GetOsVersionCode(), 20005) << "these tests run on Windows XP";
  tag_HardwareID device{};
  device.nBusType = HWID_USB;
  device.nVendorID = 0x0E1B;
  device.nDeviceID = 0x0A10;
  std::strcpy(device.szHardwareID, "USB\\VID_0E1B&PID_0A10");
  EXPECT_FALSE(rx->matchHardware(device));
  EXPECT_EQ(rx->oemProductName(), "RX130_Drv");
  std::strcpy(device.szHardwareID, "USB\\Vid_0e1b&Pid_0a10&mi_00");
  EXPECT_TRUE(rx->matchHardware(device));
  EXPECT_EQ(rx->oemProductName(), "LM-DT4/USB2");
  device.nDeviceID = 0x0A13;
  std::strcpy(device.szHardwareID, "USB\\VID_0E1B&PID_0A13&MI_00");
  EXPECT_TRUE(rx->matchHardware(device));
  EXPECT_EQ(rx->oemProductName(), "LM-MS/QR");
}

#ifndef _WIN32
// The missing file ends the process, so this runs only on the simulated machine, whose ExitProcess throws.
TEST_F(IniModelTest, MissingIniFileShowsTheErrorAndEndsWithNonZeroCode) {
  try {
    Install_IniFile ini;
    FAIL() << "the load returned without its file";
  } catch (const sim::ProcessExit& exit) {
    EXPECT_EQ(exit.exitCode, 2u);
  }
  const auto& boxes = sim::current().boxes.calls();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Can't find Ini file");
  EXPECT_EQ(boxes[0].caption, "Error");
  EXPECT_EQ(boxes[0].type, 0x50030u);
}

TEST_F(IniModelTest, LocaleFileFallsBackToTheIniFile) {
  writeIni("[InstallData]\r\nMainFormCaption=English\r\n");
  sim::current().userLcid = 0x0C0A;
  EXPECT_EQ(Install_IniFile::chooseIniFile(), path("drvInstall.ini"));
  writeIni("[InstallData]\r\nMainFormCaption=Espanol\r\n", "drvInstall.ENS");
  Install_IniFile ini;
  EXPECT_EQ(ini.iniPath(), path("drvInstall.ENS"));
  EXPECT_EQ(ini.drvInstallString().get("MainFormCaption"), "Espanol");
}
#endif

}  // namespace
