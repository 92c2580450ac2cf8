#include "installTools/engine/hardwareId.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#ifndef _WIN32
#include "platform/sim/machine.h"
#endif

namespace {

tag_HardwareID record(int32_t bus, const std::string& text, uint32_t vendor = 0, uint32_t device = 0,
                      uint32_t subsys = 0, uint16_t interfaceNumber = 0) {
  tag_HardwareID r{};
  r.nBusType = bus;
  std::strncpy(r.szHardwareID, text.c_str(), sizeof r.szHardwareID - 1);
  r.nVendorID = vendor;
  r.nDeviceID = device;
  r.nSubSysID = subsys;
  r.nInterface = interfaceNumber;
  return r;
}

tag_HardwareID pci(uint32_t vendor, uint32_t device, uint32_t subsys = 0) {
  return record(HWID_PCI, "PCI\\VEN_XXXX", vendor, device, subsys);
}
tag_HardwareID usb(uint32_t vendor, uint32_t device, uint16_t interfaceNumber = 0) {
  return record(HWID_USB, "USB\\VID_XXXX", vendor, device, 0, interfaceNumber);
}
tag_HardwareID stream(const std::string& text) { return record(HWID_STREAM, text); }
tag_HardwareID text(const std::string& t) { return record(HWID_TEXT, t); }

bool sameBytes(const tag_HardwareID& a, const tag_HardwareID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

tag_HardwareID poisoned() {
  tag_HardwareID r;
  std::memset(&r, 0xCC, sizeof r);
  return r;
}

TEST(HardwareId, TablesOfRecordsAreContiguousAtTheRecordSize) {
  tag_HardwareID table[3] = {pci(1, 2), usb(3, 4), stream("STREAM\\X")};
  const auto* bytes = reinterpret_cast<const unsigned char*>(table);
  uint32_t secondVendor;
  std::memcpy(&secondVendor, bytes + 148 + 132, sizeof secondVendor);
  EXPECT_EQ(secondVendor, 3u);
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 2 * 148 + 4), "STREAM\\X");
}

struct NormalizeCase {
  const char* name;
  const char* text;
  bool ok;
  int32_t bus;
  uint32_t vendor, device, subsys;
  uint16_t interfaceNumber;
};

TEST(HardwareId, NormalizeTurnsTextIntoBusRecords) {
  const NormalizeCase cases[] = {
      // name                      text                                              ok     bus          vendor device
      // subsys      iface
      {"pciFull", "PCI\\VEN_1234&DEV_5678&SUBSYS_87654321&REV_01", true, HWID_PCI, 0x1234, 0x5678, 0x87654321, 0},
      {"pciLowerCase", "pci\\ven_abcd&dev_00ef", true, HWID_PCI, 0xABCD, 0x00EF, 0, 0},
      {"hexStopsAtNonDigit", "PCI\\VEN_1A2B&DEV_0001", true, HWID_PCI, 0x1A2B, 0x0001, 0, 0},
      {"vendorCutTo16Bits", "PCI\\VEN_12345&DEV_0001", true, HWID_PCI, 0x2345, 0x0001, 0, 0},
      {"pciMissingTags", "PCI\\CC_0400", true, HWID_PCI, 0, 0, 0, 0},
      {"usbInterface", "usb\\vid_abcd&pid_0102&mi_01", true, HWID_USB, 0xABCD, 0x0102, 0, 0x1001},
      {"usbWholeDevice", "USB\\VID_ABCD&PID_0102", true, HWID_USB, 0xABCD, 0x0102, 0, 0},
      {"usbInterfaceLow8Bits", "USB\\VID_ABCD&PID_0102&MI_1FF", true, HWID_USB, 0xABCD, 0x0102, 0, 0x10FF},
      {"stream", "stream\\tvTuner", true, HWID_STREAM, 0, 0, 0, 0},
      {"unknownBus", "ACPI\\PNP0303", false, HWID_TEXT, 0, 0, 0, 0},
      {"prefixNotAtStart", " PCI\\VEN_1234&DEV_5678", false, HWID_TEXT, 0, 0, 0, 0},
      {"empty", "", false, HWID_TEXT, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tag_HardwareID r = text(c.text);
    const tag_HardwareID before = r;
    ASSERT_EQ(NormalizeHardwareID(r), c.ok);
    if (!c.ok) {
      EXPECT_TRUE(sameBytes(r, before));
      continue;
    }
    EXPECT_EQ(r.nBusType, c.bus);
    EXPECT_EQ(r.nVendorID, c.vendor);
    EXPECT_EQ(r.nDeviceID, c.device);
    EXPECT_EQ(r.nSubSysID, c.subsys);
    EXPECT_EQ(r.nInterface, c.interfaceNumber);
    EXPECT_STREQ(r.szHardwareID, c.text);
  }
}

TEST(HardwareId, NormalizeLeavesBusRecordsAlone) {
  tag_HardwareID r = record(HWID_PCI, "ACPI\\PNP0303", 7, 8);
  const tag_HardwareID before = r;
  EXPECT_TRUE(NormalizeHardwareID(r));
  EXPECT_TRUE(sameBytes(r, before));
}

struct EqualCase {
  const char* name;
  tag_HardwareID wanted;
  tag_HardwareID candidate;
  bool equal;
};

TEST(HardwareId, EqualComparesTheNumbersOfTheBus) {
  const EqualCase cases[] = {
      {"samePci", pci(0x1234, 0x5678), pci(0x1234, 0x5678), true},
      {"otherVendor", pci(0x1234, 0x5678), pci(0x1235, 0x5678), false},
      {"otherDevice", pci(0x1234, 0x5678), pci(0x1234, 0x5679), false},
      {"anySubsystem", pci(0x1234, 0x5678, 0), pci(0x1234, 0x5678, 0xAABBCCDD), true},
      {"subsystemHighBytesIgnored", pci(0x1234, 0x5678, 0x11112222), pci(0x1234, 0x5678, 0x33332222), true},
      {"subsystemZeroByteIsWild", pci(0x1234, 0x5678, 0x00002200), pci(0x1234, 0x5678, 0x000022FF), true},
      {"subsystemLowByteDiffers", pci(0x1234, 0x5678, 0x00002222), pci(0x1234, 0x5678, 0x00002223), false},
      {"subsystemWantedButNone", pci(0x1234, 0x5678, 0x00002222), pci(0x1234, 0x5678, 0), false},
      {"sameUsbInterface", usb(0xABCD, 0x0102, 0x1001), usb(0xABCD, 0x0102, 0x1001), true},
      {"wholeDeviceIsNotInterface", usb(0xABCD, 0x0102, 0), usb(0xABCD, 0x0102, 0x1001), false},
      {"otherBus", pci(0x1234, 0x5678), usb(0x1234, 0x5678), false},
      {"textWanted", text("pci\\ven_1234&dev_5678&subsys_00000000"), pci(0x1234, 0x5678, 0x99), true},
      {"textBothSides", text("USB\\VID_ABCD&PID_0102&MI_01"), text("usb\\vid_abcd&pid_0102&mi_01"), true},
      {"textOfOtherBus", text("USB\\VID_1234&PID_5678"), pci(0x1234, 0x5678), false},
      {"textWithoutBus", text("ACPI\\PNP0303"), pci(0x1234, 0x5678), false},
      {"textWithoutBusBothSides", text("ACPI\\PNP0303"), text("ACPI\\PNP0303"), false},
      {"streamPrefix", stream("STREAM\\TVTUNER"), stream("stream\\tvtuner\\0000"), true},
      {"streamCandidateShorter", stream("STREAM\\TVTUNER"), stream("STREAM\\TV"), false},
      {"streamFromText", text("STREAM\\TVTUNER"), stream("STREAM\\TVTUNER"), true},
      {"unknownBusType", record(7, "X", 1, 2), record(7, "X", 1, 2), false},
      // Records without numbers name no device; the zero-filled record must not select anything.
      {"zeroRecords", pci(0, 0), pci(0, 0), false},
      {"zeroDeviceNumber", pci(0x1234, 0), pci(0x1234, 0), false},
      {"zeroVendorUsb", usb(0, 0x0102), usb(0, 0x0102), false},
      {"zeroWantedAgainstAllZeroDevice", tag_HardwareID{}, text("PCI\\VEN_0000&DEV_0000&SUBSYS_00000000&REV_00"),
       false},
      {"textWithoutTags", text("PCI\\CC_0300"), text("PCI\\CC_0300"), false},
      {"emptyStreamText", stream(""), stream("STREAM\\ANYTHING"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const tag_HardwareID wantedBefore = c.wanted;
    const tag_HardwareID candidateBefore = c.candidate;
    EXPECT_EQ(HardwareIDsEqual(c.wanted, c.candidate), c.equal);
    EXPECT_TRUE(sameBytes(c.wanted, wantedBefore));
    EXPECT_TRUE(sameBytes(c.candidate, candidateBefore));
  }
}

struct MatchCase {
  const char* name;
  const char* text;
  tag_HardwareID record;
  bool match;
};

TEST(HardwareId, MatchTextComparesTheDevicesOwnNumbers) {
  const char* kWineDisplay = "PCI\\VEN_0000&DEV_0000&SUBSYS_00000000&REV_00";
  const MatchCase cases[] = {
      {"pci", "PCI\\VEN_1234&DEV_5678&SUBSYS_00000000", pci(0x1234, 0x5678), true},
      {"pciLowerCase", "pci\\ven_1234&dev_5678&rev_01", pci(0x1234, 0x5678), true},
      {"subsystemNotUsed", "PCI\\VEN_1234&DEV_5678&SUBSYS_11112222", pci(0x1234, 0x5678, 0x33334444), true},
      {"numbersSwapped", "PCI\\VEN_5678&DEV_1234", pci(0x1234, 0x5678), false},
      {"digitsElsewhere", "PCI\\VEN_1111&DEV_2222&SUBSYS_12345678", pci(0x1234, 0x5678), false},
      {"longerVendorNumber", "PCI\\VEN_12345&DEV_5678", pci(0x1234, 0x5678), false},
      {"noDeviceTag", "PCI\\VEN_1234&SUBSYS_5678", pci(0x1234, 0x5678), false},
      {"wrongBusPrefix", "USB\\VID_1234&PID_5678", pci(0x1234, 0x5678), false},
      {"usbInterfaceNotUsed", "USB\\VID_1234&PID_5678&MI_00", usb(0x1234, 0x5678, 0x1001), true},
      {"usbTagsOfPci", "USB\\VEN_1234&DEV_5678", usb(0x1234, 0x5678), false},
      {"hidIsNotUsb", "HID\\VID_1234&PID_5678", usb(0x1234, 0x5678), false},
      {"allZeroRecordOnWineDisplay", kWineDisplay, tag_HardwareID{}, false},
      {"zeroNumbersOnWineDisplay", kWineDisplay, pci(0, 0), false},
      {"zeroDeviceNumber", "PCI\\VEN_1234&DEV_0000", pci(0x1234, 0), false},
      {"stream", "STREAM\\TVTUNER\\0001", stream("STREAM\\TVTUNER"), true},
      {"streamLowerCaseRecord", "stream\\tvtuner", stream("stream\\tvtuner"), false},
      {"streamWithoutPrefix", "ROOT\\TVTUNER", stream("TVTUNER"), false},
      {"streamEmptyText", "STREAM\\TVTUNER", stream(""), false},
      {"textRecord", "PCI\\VEN_1234&DEV_5678", text("PCI\\VEN_1234&DEV_5678"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MatchHardwareIDText(c.text, c.record), c.match);
  }
  EXPECT_FALSE(MatchHardwareIDText(nullptr, pci(0x1234, 0x5678)));
}

struct ParseCase {
  const char* name;
  std::string line;
  bool ok;
  int32_t bus;
  uint32_t vendor, device;
  std::string text;
};

TEST(HardwareId, ParseReadsInfModelLines) {
  const ParseCase cases[] = {
      {"commentCut", "%DEV% = INST, PCI\\VEN_1234&DEV_5678 ; NOTE", true, HWID_PCI, 0x1234, 0x5678,
       "PCI\\VEN_1234&DEV_5678"},
      {"noBlanks", "%DESC%=SECTION,PCI\\VEN_1234&DEV_5678;OLD", true, HWID_PCI, 0x1234, 0x5678,
       "PCI\\VEN_1234&DEV_5678"},
      {"usb", "%D%=S,USB\\VID_ABCD&PID_0102&MI_00", true, HWID_USB, 0xABCD, 0x0102, "USB\\VID_ABCD&PID_0102&MI_00"},
      {"stream", "%D%=S,STREAM\\TVTUNER", true, HWID_STREAM, 0, 0, "STREAM\\TVTUNER"},
      {"usbBeforePci", "%D%=S,PCI\\VEN_1111&DEV_2222,USB\\VID_3333&PID_4444", true, HWID_USB, 0x3333, 0x4444,
       "USB\\VID_3333&PID_4444"},
      {"twoIdsOneRecord", "%D%=S,USB\\VID_1234&PID_5678, USB\\CLASS_0A", true, HWID_USB, 0x1234, 0x5678,
       "USB\\VID_1234&PID_5678, USB\\CLASS_0A"},
      {"trailingBlanks", "%D%=S,PCI\\VEN_1234&DEV_5678 \t\r\n", true, HWID_PCI, 0x1234, 0x5678,
       "PCI\\VEN_1234&DEV_5678"},
      {"vendorNotHex", "%D%=S,PCI\\VEN_12G4&DEV_5678", true, HWID_PCI, 0, 0x5678, "PCI\\VEN_12G4&DEV_5678"},
      {"vendorTooShort", "%D%=S,PCI\\DEV_5678&VEN_12", true, HWID_PCI, 0, 0x5678, "PCI\\DEV_5678&VEN_12"},
      {"fourDigitsOnly", "%D%=S,PCI\\VEN_12345&DEV_5678", true, HWID_PCI, 0x1234, 0x5678, "PCI\\VEN_12345&DEV_5678"},
      // Without its tag a number is 0; nothing is read from a fixed place of the line.
      {"missingVendorTag", "1234567890,PCI\\DEV_5678", true, HWID_PCI, 0, 0x5678, "PCI\\DEV_5678"},
      {"missingBothTags", "ABCDEFABCDEF,USB\\CLASS_0A", true, HWID_USB, 0, 0, "USB\\CLASS_0A"},
      {"tagsBeforeTheId", "%VEN_9999%=DEV_8888,PCI\\VEN_1234&DEV_5678", true, HWID_PCI, 0x1234, 0x5678,
       "PCI\\VEN_1234&DEV_5678"},
      {"busInCommentOnly", "%D%=S ; PCI\\VEN_1234&DEV_5678", false, 0, 0, 0, ""},
      {"busInCommentIgnored", "%D%=S,PCI\\VEN_1234&DEV_5678 ; WAS USB\\VID_1111&PID_2222", true, HWID_PCI, 0x1234,
       0x5678, "PCI\\VEN_1234&DEV_5678"},
      {"semicolonInQuotes", "\"A;B\"=S,PCI\\VEN_1234&DEV_5678", true, HWID_PCI, 0x1234, 0x5678,
       "PCI\\VEN_1234&DEV_5678"},
      {"noBus", "%D%=S,ACPI\\PNP0303", false, 0, 0, 0, ""},
      {"caseSensitive", "%d%=s,pci\\ven_1234&dev_5678", false, 0, 0, 0, ""},
      {"empty", "", false, 0, 0, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tag_HardwareID r = c.ok ? tag_HardwareID{} : poisoned();
    const tag_HardwareID before = r;
    ASSERT_EQ(ParseHardwareIDText(c.line.c_str(), r), c.ok);
    if (!c.ok) {
      EXPECT_TRUE(sameBytes(r, before));
      continue;
    }
    EXPECT_EQ(r.nBusType, c.bus);
    EXPECT_EQ(r.nVendorID, c.vendor);
    EXPECT_EQ(r.nDeviceID, c.device);
    EXPECT_EQ(std::string(r.szHardwareID), c.text);
    EXPECT_EQ(r.nSubSysID, 0u);
    EXPECT_EQ(r.nInterface, 0u);
  }
}

TEST(HardwareId, ParseRefusesTextsLongerThanTheRecordHolds) {
  const std::string id = "PCI\\VEN_1234&DEV_5678&SUBSYS_";
  const std::string fits = id + std::string(kHardwareIdTextMax - id.size(), '1');
  tag_HardwareID r{};
  ASSERT_TRUE(ParseHardwareIDText(("%D%=S," + fits + " ; COMMENT").c_str(), r));
  EXPECT_EQ(std::string(r.szHardwareID), fits);
  EXPECT_EQ(std::strlen(r.szHardwareID), kHardwareIdTextMax);

  tag_HardwareID tooLong = poisoned();
  const tag_HardwareID before = tooLong;
  EXPECT_FALSE(ParseHardwareIDText(("%D%=S," + fits + "2").c_str(), tooLong));
  EXPECT_TRUE(sameBytes(tooLong, before));
}

TEST(HardwareId, RecordTextWithoutTerminatorStaysInsideTheField) {
  // Two records whose full text fields agree but whose following bytes differ: a reader that ran past the
  // field would see different texts.
  tag_HardwareID wanted = poisoned();
  wanted.nBusType = HWID_STREAM;
  std::memset(wanted.szHardwareID, 'S', sizeof wanted.szHardwareID);
  tag_HardwareID candidate = wanted;
  candidate.nVendorID = 0x41414141;
  candidate.nDeviceID = 0;
  EXPECT_TRUE(HardwareIDsEqual(wanted, candidate));
  EXPECT_TRUE(MatchHardwareIDText(("STREAM\\" + std::string(128, 'S')).c_str(), wanted));
  EXPECT_FALSE(MatchHardwareIDText(("STREAM\\" + std::string(127, 'S')).c_str(), wanted));
}

TEST(HardwareId, CompareTextNoCaseComparesTheFirstCharacters) {
  struct {
    const char* a;
    const char* b;
    size_t n;
    int sign;
  } cases[] = {
      {"abc", "ABD", 2, 0}, {"abc", "ABD", 3, -1}, {"abd", "ABC", 3, 1},   {"ab", "AB", 10, 0},
      {"abc", "ab", 3, 1},  {"x", "y", 0, 0},      {"\xE9", "\xC9", 1, 1}, {"STREAM\\", "stream\\x", 7, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b + " / " + std::to_string(c.n));
    int result = CompareTextNoCase(c.a, c.b, c.n);
    EXPECT_EQ((result > 0) - (result < 0), c.sign);
  }
}

TEST(HardwareId, FindTextNoCaseReturnsThePosition) {
  EXPECT_EQ(FindTextNoCase("PCI\\VEN_1234&DEV_5678", "dev_"), 13);
  EXPECT_EQ(FindTextNoCase("usb\\vid_1234", "USB\\"), 0);
  EXPECT_EQ(FindTextNoCase("usb\\vid_1234", "1234"), 8);
  EXPECT_EQ(FindTextNoCase("usb\\vid_1234", "12345"), -1);
  EXPECT_EQ(FindTextNoCase("usb", "PCI\\"), -1);
  EXPECT_EQ(FindTextNoCase("abc", ""), 0);
  EXPECT_EQ(FindTextNoCase("", "a"), -1);
  EXPECT_EQ(FindTextNoCase(nullptr, "a"), -1);
}

#ifndef _WIN32

struct VersionCase {
  const char* name;
  std::function<void(sim::Machine&)> set;
  int32_t code;
};

TEST(OsVersion, CodeFollowsTheVersionRecord) {
  auto nt = [](DWORD major, DWORD minor) {
    return [=](sim::Machine& m) {
      m.version.major = major;
      m.version.minor = minor;
    };
  };
  const VersionCase cases[] = {
      {"windows95",
       [](sim::Machine& m) {
         m.setWindows98SE();
         m.version.minor = 0;
         m.version.csd = " ";
         m.version.refusesExtended = true;
       },
       95},
      {"windows98",
       [](sim::Machine& m) {
         m.setWindows98SE();
         m.version.csd = " ";
       },
       98},
      {"windows98SecondEdition", [](sim::Machine& m) { m.setWindows98SE(); }, 982},
      {"windows98LowerCaseA",
       [](sim::Machine& m) {
         m.setWindows98SE();
         m.version.csd = " a ";
       },
       98},
      {"windowsMe", [](sim::Machine& m) { m.setWindowsMe(); }, 982000},
      {"unknown9x",
       [](sim::Machine& m) {
         m.setWindowsMe();
         m.version.minor = 30;
       },
       1000},
      {"nt4PlainRecordOnly",
       [](sim::Machine& m) {
         m.version.major = 4;
         m.version.minor = 0;
         m.version.refusesExtended = true;
       },
       351},
      {"nt351", nt(3, 51), 351},
      {"windows2000", [](sim::Machine& m) { m.setWindows2000(4); }, 2000},
      {"windowsXP", [](sim::Machine& m) { m.setWindowsXP(2); }, 20005},
      {"windowsXPPlainRecordOnly",
       [](sim::Machine& m) {
         m.setWindowsXP(1);
         m.version.refusesExtended = true;
       },
       20005},
      {"windowsXPExtendedRecordOnly",
       [](sim::Machine& m) {
         m.setWindowsXP(3);
         m.version.refusesPlain = true;
       },
       20005},
      {"windowsServer2003", nt(5, 2), 1000},
      {"windows7", nt(6, 1), 1000},
      {"win32s", [](sim::Machine& m) { m.version.platform = 0; }, 1000},
      {"versionUnreadable",
       [](sim::Machine& m) {
         m.version.refusesExtended = true;
         m.version.refusesPlain = true;
       },
       1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Machine machine;
    c.set(machine);
    sim::MachineScope scope(machine);
    EXPECT_EQ(ComputeOsVersionCode(), c.code);
  }
}

TEST(OsVersion, CodeIsComputedOncePerProcess) {
  const int32_t first = GetOsVersionCode();  // the default machine: Windows XP
  EXPECT_EQ(first, 20005);
  sim::Machine machine;
  machine.setWindowsMe();
  sim::MachineScope scope(machine);
  ASSERT_EQ(ComputeOsVersionCode(), 982000);
  EXPECT_EQ(GetOsVersionCode(), first);
}

#else

TEST(OsVersion, WineSetToWindowsXpGivesTheXpCode) {
  EXPECT_EQ(ComputeOsVersionCode(), 20005);
  EXPECT_EQ(GetOsVersionCode(), 20005);
}

#endif

}  // namespace
