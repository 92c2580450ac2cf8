#include "installTools/installer/config/perInfFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/seam/contract_fixture.h"

namespace {

// The INF files of these tests are written into the scratch folder of the contract fixture, so they are read
// through the simulated machine on the host and through the system's own functions under Wine.
class PerInfFileTest : public ContractTest {
 protected:
  PerInfFile load(const std::string& inf, const std::string& name = "card.inf") {
    return PerInfFile("InfFileName_0", writeFile(name, inf));
  }
};

const char kCardInf[] =
    "; Capture card\r\n"
    "[Version]\r\n"
    "Signature=\"$CHICAGO$\"\r\n"
    "Class=MEDIA\r\n"
    "ClassGUID={4d36e96c-e325-11ce-bfc1-08002be10318}\r\n"
    "\r\n"
    "[Manufacturer]\r\n"
    "%Mfg%=Taviron\r\n"
    "\r\n"
    "[Taviron]\r\n"
    "; the first board\r\n"
    "%Card.DeviceDesc%=Card.Install,PCI\\VEN_1234&DEV_5678 ; old\r\n"
    ";%Old.DeviceDesc%=Card.Install,PCI\\VEN_9999&DEV_9999\r\n"
    "   %Usb.DeviceDesc% = Usb.Install, usb\\vid_abcd&pid_0102&mi_00   \r\n"
    "%Two.DeviceDesc%=Card.Install,PCI\\VEN_1234&DEV_5679,PCI\\VEN_1234&DEV_567A\r\n"
    "%Tuner.DeviceDesc%=Tuner.Install,STREAM\\TvTuner\r\n"
    "%NotAnId%=Card.Install,ACPI\\PNP0303\r\n"
    "\r\n"
    "[Card.Install]\r\n"
    "%Late%=Card.Install,PCI\\VEN_7777&DEV_8888\r\n"
    "[Strings]\r\n"
    "Mfg=\"Taviron\"\r\n";

struct Expected {
  int32_t bus;
  uint32_t vendor, device;
  std::string text;
};

void expectIds(const PerInfFile& inf, const std::vector<Expected>& expected) {
  ASSERT_EQ(inf.hardwareIdCount(), static_cast<int>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("entry " + std::to_string(i));
    const tag_HardwareID* r = inf.hardwareIdAt(static_cast<int>(i));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->nBusType, expected[i].bus);
    EXPECT_EQ(r->nVendorID, expected[i].vendor);
    EXPECT_EQ(r->nDeviceID, expected[i].device);
    EXPECT_EQ(std::string(r->szHardwareID), expected[i].text);
    EXPECT_EQ(r->nSubSysID, 0u);
    EXPECT_EQ(r->nInterface, 0u);
  }
}

tag_HardwareID device(int32_t bus, const std::string& text, uint32_t vendor = 0, uint32_t deviceNumber = 0) {
  tag_HardwareID r{};
  r.nBusType = bus;
  std::strncpy(r.szHardwareID, text.c_str(), sizeof r.szHardwareID - 1);
  r.nVendorID = vendor;
  r.nDeviceID = deviceNumber;
  return r;
}

bool isZero(const tag_HardwareID& r) {
  static const tag_HardwareID zero{};
  return std::memcmp(&r, &zero, sizeof r) == 0;
}

std::string infWithModels(const std::string& models) {
  return "[Version]\r\nClassGUID={11111111-2222-3333-4444-555555555555}\r\n[Manufacturer]\r\n%M%=Taviron\r\n"
         "[Taviron]\r\n" +
         models + "[Strings]\r\nM=\"Taviron\"\r\n";
}

TEST_F(PerInfFileTest, ReadsTheHardwareIdsOfTheModelsSection) {
  PerInfFile inf = load(kCardInf);
  EXPECT_TRUE(inf.isLoaded());
  EXPECT_EQ(inf.keyName(), "InfFileName_0");
  EXPECT_EQ(inf.path(), path("card.inf"));
  EXPECT_EQ(inf.classGuid(), "{4d36e96c-e325-11ce-bfc1-08002be10318}");
  expectIds(inf, {
                     {HWID_PCI, 0x1234, 0x5678, "PCI\\VEN_1234&DEV_5678"},
                     {HWID_USB, 0xABCD, 0x0102, "USB\\VID_ABCD&PID_0102&MI_00"},
                     {HWID_PCI, 0x1234, 0x5679, "PCI\\VEN_1234&DEV_5679,PCI\\VEN_1234&DEV_567A"},
                     {HWID_STREAM, 0, 0, "STREAM\\TVTUNER"},
                 });
  EXPECT_EQ(inf.hardwareIdAt(-1), nullptr);
  EXPECT_EQ(inf.hardwareIdAt(4), nullptr);
  EXPECT_EQ(inf.matchedCount(), 0);
}

TEST_F(PerInfFileTest, MissingFileIsNotLoaded) {
  for (const std::string& missing : {std::string(), path("absent.inf"), path("")}) {
    SCOPED_TRACE(missing);
    PerInfFile inf("InfFileName_3", missing);
    EXPECT_FALSE(inf.isLoaded());
    EXPECT_EQ(inf.path(), missing);
    EXPECT_EQ(inf.keyName(), "InfFileName_3");
    EXPECT_EQ(inf.classGuid(), "");
    EXPECT_EQ(inf.hardwareIdCount(), 0);
    EXPECT_EQ(inf.hardwareIdAt(0), nullptr);
    EXPECT_EQ(inf.vidPidListText(), "");
    EXPECT_TRUE(isZero(inf.bestMatch("")));
  }
}

TEST_F(PerInfFileTest, ModelsSectionIsFoundByTheFirstManufacturerValue) {
  struct {
    const char* name;
    std::string inf;
    std::vector<std::string> texts;
    const char* classGuid;
  } cases[] = {
      {"noManufacturerSection", "[Version]\nClass=MEDIA\n[Taviron]\n%D%=S,PCI\\VEN_1234&DEV_5678\n", {}, "Error"},
      {"allValuesEmpty", "[Manufacturer]\n%A%=\n[Taviron]\n%D%=S,PCI\\VEN_1234&DEV_5678\n", {}, "Error"},
      {"firstNonEmptyValue",
       "[Manufacturer]\n%A%=\n%B%=Taviron\n[Other]\n%D%=S,PCI\\VEN_1111&DEV_1111\n"
       "[Taviron]\n%D%=S,PCI\\VEN_1234&DEV_5678\n",
       {"PCI\\VEN_1234&DEV_5678"},
       "Error"},
      {"headerNameInAnyCase",
       "[manufacturer]\n%A%=taviron\n[TAVIRON]\n%D%=S,pci\\ven_1234&dev_5678\n",
       {"PCI\\VEN_1234&DEV_5678"},
       "Error"},
      {"decoratedNameMissesDottedHeader",
       "[Manufacturer]\n%A%=Taviron,NTx86\n[Taviron.NTx86]\n%D%=S,PCI\\VEN_1234&DEV_5678\n",
       {},
       "Error"},
      {"onlyTheFirstModelsSection",
       "[Manufacturer]\n%A%=Taviron\n[Taviron]\n%D%=S,PCI\\VEN_1234&DEV_5678\n"
       "[Taviron.NTx86]\n%D%=S,PCI\\VEN_1234&DEV_9999\n",
       {"PCI\\VEN_1234&DEV_5678"},
       "Error"},
      {"headerCommentedOut",
       "[Manufacturer]\n%A%=Taviron\n;[Taviron]\n%D%=S,PCI\\VEN_1111&DEV_1111\n[Taviron]\n"
       "%D%=S,PCI\\VEN_1234&DEV_5678\n",
       {"PCI\\VEN_1234&DEV_5678"},
       "Error"},
      {"bareLineEndsAndLastLineWithoutEnd",
       "[Version]\rClassGUID={AB}\r[Manufacturer]\r%A%=Taviron\r[Taviron]\r%D%=S,USB\\VID_1234&PID_5678\r"
       "%E%=S,USB\\VID_1234&PID_5679",
       {"USB\\VID_1234&PID_5678", "USB\\VID_1234&PID_5679"},
       "{AB}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PerInfFile inf = load(c.inf);
    EXPECT_TRUE(inf.isLoaded());
    EXPECT_EQ(inf.classGuid(), c.classGuid);
    std::vector<std::string> texts;
    for (int i = 0; i < inf.hardwareIdCount(); ++i) texts.push_back(inf.hardwareIdAt(i)->szHardwareID);
    EXPECT_EQ(texts, c.texts);
  }
}

TEST_F(PerInfFileTest, LineWithoutVendorTagGivesVendorZero) {
  PerInfFile inf = load(infWithModels("1234567890=S,PCI\\DEV_5678\r\n%D%=S,USB\\VID_12G4&PID_5678\r\n"));
  expectIds(inf, {{HWID_PCI, 0, 0x5678, "PCI\\DEV_5678"}, {HWID_USB, 0, 0x5678, "USB\\VID_12G4&PID_5678"}});
}

TEST_F(PerInfFileTest, HardwareIdLongerThanTheRecordHoldsIsRefused) {
  const std::string id = "PCI\\VEN_1234&DEV_5678&SUBSYS_";
  const std::string fits = id + std::string(kHardwareIdTextMax - id.size(), '1');
  const std::string tooLong = id + std::string(kHardwareIdTextMax + 1 - id.size(), '2');
  PerInfFile inf =
      load(infWithModels("%A%=S," + fits + "\r\n%B%=S," + tooLong + "\r\n%C%=S,PCI\\VEN_1234&DEV_0001\r\n"));
  expectIds(inf, {{HWID_PCI, 0x1234, 0x5678, fits}, {HWID_PCI, 0x1234, 0x0001, "PCI\\VEN_1234&DEV_0001"}});
}

TEST_F(PerInfFileTest, MatchHardwareAcceptsDevicesOfTheFilesIds) {
  PerInfFile inf = load(infWithModels(
      "%A%=S,PCI\\VEN_1234&DEV_5678\r\n%B%=S,PCI\\VEN_1234&DEV_5679,PCI\\VEN_1234&DEV_567A\r\n"
      "%C%=S,STREAM\\TVTUNER\r\n%D%=S,USB\\CLASS_0A\r\n%E%=S,PCI\\CC_0400\r\n%F%=S,USB\\VID_ABCD&PID_0102\r\n"));
  ASSERT_EQ(inf.hardwareIdCount(), 6);
  struct {
    const char* name;
    tag_HardwareID record;
    bool match;
  } cases[] = {
      {"pciDevice", device(HWID_PCI, "PCI\\VEN_1234&DEV_5678&SUBSYS_00011234&REV_01", 0x1234, 0x5678), true},
      {"lowerCaseDevice", device(HWID_PCI, "pci\\ven_1234&dev_5678&rev_01", 0x1234, 0x5678), true},
      {"otherNumbers", device(HWID_PCI, "PCI\\VEN_1234&DEV_5678&REV_01", 0x1234, 0x5679), false},
      {"otherBus", device(HWID_USB, "PCI\\VEN_1234&DEV_5678", 0x1234, 0x5678), false},
      {"textNotContained", device(HWID_USB, "USB\\VID_ABCD&PID_0103", 0xABCD, 0x0102), false},
      {"usbInterfaceOfDevice", device(HWID_USB, "USB\\VID_ABCD&PID_0102&MI_01", 0xABCD, 0x0102), true},
      {"twoIdEntryNeedsWholeText", device(HWID_PCI, "PCI\\VEN_1234&DEV_5679&REV_01", 0x1234, 0x5679), false},
      {"streamWhateverNumbers", device(HWID_STREAM, "stream\\tvtuner\\0001", 7, 9), true},
      {"streamOtherText", device(HWID_STREAM, "STREAM\\TVAUDIO", 0, 0), false},
      // Entries without numbers name a device class, not this product's device.
      {"usbClassEntry", device(HWID_USB, "USB\\CLASS_0A&SUBCLASS_00", 0, 0), false},
      {"pciClassEntry", device(HWID_PCI, "PCI\\CC_040000", 0, 0), false},
      {"wineDisplayDevice", device(HWID_PCI, "PCI\\VEN_0000&DEV_0000&SUBSYS_00000000&REV_00", 0, 0), false},
      {"allZeroRecord", tag_HardwareID{}, false},
  };
  int accepted = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(inf.matchHardware(c.record), c.match);
    if (c.match) ++accepted;
    ASSERT_EQ(inf.matchedCount(), accepted);
  }
  // The same device again is recorded again.
  EXPECT_TRUE(inf.matchHardware(cases[0].record));
  EXPECT_EQ(inf.matchedCount(), accepted + 1);
  inf.clearMatches();
  EXPECT_EQ(inf.matchedCount(), 0);
}

TEST_F(PerInfFileTest, BestMatchOfASingleIdNeedsNoDevice) {
  PerInfFile inf = load(infWithModels("%A%=S,USB\\VID_ABCD&PID_0102\r\n"));
  const tag_HardwareID& best = inf.bestMatch("");
  EXPECT_EQ(std::string(best.szHardwareID), "USB\\VID_ABCD&PID_0102");
  EXPECT_EQ(best.nVendorID, 0xABCDu);
  EXPECT_TRUE(isZero(inf.bestMatch("PCI\\")));
}

TEST_F(PerInfFileTest, BestMatchPicksTheMostSpecificIdOfAMatchedDevice) {
  PerInfFile inf = load(infWithModels(
      "%A%=S,PCI\\VEN_1234&DEV_5678&SUBSYS_11112222\r\n%B%=S,PCI\\VEN_1234&DEV_5678\r\n"
      "%C%=S,PCI\\VEN_1234&DEV_9999\r\n%D%=S,USB\\VID_1234&PID_5678&MI_0\r\n%E%=S,USB\\VID_1234&PID_5678&MI_01\r\n"));
  ASSERT_EQ(inf.hardwareIdCount(), 5);
  EXPECT_TRUE(isZero(inf.bestMatch(""))) << "several ids and no device";

  struct {
    const char* name;
    tag_HardwareID present;
    const char* filter;
    const char* best;
  } cases[] = {
      {"subsystemEntry", device(HWID_PCI, "PCI\\VEN_1234&DEV_5678&SUBSYS_11112222&REV_01", 0x1234, 0x5678), "",
       "PCI\\VEN_1234&DEV_5678&SUBSYS_11112222"},
      {"plainEntry", device(HWID_PCI, "PCI\\VEN_1234&DEV_5678&SUBSYS_99998888&REV_01", 0x1234, 0x5678), "",
       "PCI\\VEN_1234&DEV_5678"},
      {"oneCharacterLonger", device(HWID_USB, "USB\\VID_1234&PID_5678&MI_01", 0x1234, 0x5678), "",
       "USB\\VID_1234&PID_5678&MI_01"},
      {"filterToOneEntry", device(HWID_PCI, "PCI\\VEN_1234&DEV_5678&REV_01", 0x1234, 0x5678), "dev_9999",
       "PCI\\VEN_1234&DEV_9999"},
      {"filterToSeveralEntries", device(HWID_PCI, "PCI\\VEN_1234&DEV_5678&SUBSYS_11112222", 0x1234, 0x5678), "pci\\",
       "PCI\\VEN_1234&DEV_5678&SUBSYS_11112222"},
      {"filterMissesDevice", device(HWID_PCI, "PCI\\VEN_1234&DEV_5678&SUBSYS_11112222", 0x1234, 0x5678), "USB\\", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    inf.clearMatches();
    ASSERT_TRUE(inf.matchHardware(c.present));
    const tag_HardwareID& best = inf.bestMatch(c.filter);
    EXPECT_EQ(std::string(best.szHardwareID), c.best);
    if (*c.best == '\0') {
      EXPECT_TRUE(isZero(best));
    }
  }
}

TEST_F(PerInfFileTest, BestMatchIsTheObjectsOwnSlot) {
  PerInfFile inf = load(infWithModels("%A%=S,PCI\\VEN_1234&DEV_5678\r\n"));
  const tag_HardwareID& best = inf.bestMatch("");
  EXPECT_EQ(best.nDeviceID, 0x5678u);
  EXPECT_EQ(&inf.bestMatch("DEV_"), &best);
  inf.clearMatches();
  EXPECT_TRUE(isZero(best));
}

TEST_F(PerInfFileTest, VidPidListTextListsTheNumberPairs) {
  struct {
    const char* name;
    std::string models;
    const char* text;
  } cases[] = {
      {"pci", "%A%=S,PCI\\VEN_1234&DEV_5678\r\n%B%=S,PCI\\VEN_0E1B&DEV_abcd\r\n", "PCI|1234,5678|0E1B,ABCD"},
      {"usbFirst", "%A%=S,USB\\VID_ABCD&PID_0102\r\n%B%=S,PCI\\VEN_1234&DEV_5678\r\n", "USB|ABCD,0102|1234,5678"},
      {"streamCountsAsUsb", "%A%=S,STREAM\\TVTUNER\r\n", "USB|0000,0000"},
      {"none", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(load(infWithModels(c.models)).vidPidListText(), c.text);
  }
}

TEST_F(PerInfFileTest, SetPathKeepsWhatWasRead) {
  PerInfFile inf = load(kCardInf);
  inf.setPath("C:\\elsewhere\\other.inf");
  EXPECT_EQ(inf.path(), "C:\\elsewhere\\other.inf");
  EXPECT_TRUE(inf.isLoaded());
  EXPECT_EQ(inf.hardwareIdCount(), 4);
  EXPECT_EQ(inf.classGuid(), "{4d36e96c-e325-11ce-bfc1-08002be10318}");

  PerInfFile missing("InfFileName_1", "");
  missing.setPath(path("card.inf"));
  EXPECT_FALSE(missing.isLoaded());
  EXPECT_EQ(missing.hardwareIdCount(), 0);
}

TEST(PerInfFile, CommonPrefixIndexIsTheLastSharedPosition) {
  struct {
    const char* a;
    const char* b;
    int index;
  } cases[] = {
      {"abc", "ABD", 1}, {"abc", "abc", 2}, {"ab", "ABC", 1}, {"x", "y", -1}, {"", "a", -1}, {"", "", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    EXPECT_EQ(PerInfFile::commonPrefixIndex(c.a, c.b), c.index);
  }
}

}  // namespace
