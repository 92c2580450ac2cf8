#include "driver/capture_properties.h"

#include <cstring>

#include "driver/decoders.h"
#include "driver/encoder_mailbox.h"
#include "driver/encoder_settings.h"
#include "driver/filters.h"
#include "driver/pelgar_test_fixture.h"
#include "driver/simcard/firmware_image.h"
#include "driver/stream_pin.h"

namespace {

using pelgar::DiagCommand;
using pelgar::DiagI2cTransfer;
using pelgar::DiagI2cWriteRead;
using pelgar::DiagMemory;
using pelgar::DiagRegister;
using pelgar::kDiagnosticPropertySet;
using pelgar::kProcAmpPropertySet;
using pelgar::KSPROPERTY_VIDEODECODER_CAPS_S;
using pelgar::KSPROPERTY_VIDEODECODER_S;
using pelgar::KSPROPERTY_VIDEODECODER_STATUS_S;
using pelgar::KSPROPERTY_VIDEOPROCAMP_S;
using pelgar::kVideoDecoderPropertySet;
using pelgar::PelgarDevice;

constexpr ULONG kNtscM = 0x1, kNtscMJ = 0x2, kPalB = 0x10, kPalI = 0x100;
constexpr uint32_t kGpioLevels = 0x900C;

// A started kind-1 card with the test image (decoder at 0x42), a filter open on it for the video capture
// filter's property sets, and the logs of the card cleared after the bring-up.
class CapturePropertiesTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    card = &Plug("kind1.card");
    device = StartWithTestFirmware(*card);
    ASSERT_NE(device, nullptr);
    filter = ks.OpenFilter(device, nullptr);
    ASSERT_NE(filter, nullptr);
    ClearLogs();
  }
  void TearDown() override {
    for (PKSPIN pin : pins) ks.ClosePin(pin);
    if (encoder != nullptr) ks.CloseFilter(encoder);
    ks.CloseFilter(filter);
    ks.Stop(device);
    RemoveAndCheck(device);
    DriverFixture::TearDown();
  }

  PelgarDevice* Dev() { return Context(device); }
  pelgar::VideoDecoder* Decoder() { return Dev()->decoder; }
  void ClearLogs() {
    card->sim->Firmware().ClearCommandLog();
    card->sim->I2c().ClearLog();
    card->sim->ClearRegisterLog();
  }
  std::string Commands() const { return card->sim->Firmware().CommandLogText(); }

  // A request whose value buffer is `value` (the standard sets send the same structure as the request).
  template <class T>
  NTSTATUS Request(const GUID& set, ULONG id, ULONG flags, T* value, ULONG_PTR* returned = nullptr,
                   bool fullRequest = true) {
    ULONG_PTR ignored = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(value);
    return ks.Property(filter, &pelgar::kVideoCaptureAutomationTable, set, id, flags, value, sizeof(T),
                       returned ? returned : &ignored, fullRequest ? bytes + sizeof(KSPROPERTY) : nullptr,
                       fullRequest ? sizeof(T) - sizeof(KSPROPERTY) : 0);
  }
  template <class T>
  NTSTATUS Get(const GUID& set, ULONG id, T* value, ULONG_PTR* returned = nullptr) {
    return Request(set, id, KSPROPERTY_TYPE_GET, value, returned, true);
  }
  template <class T>
  NTSTATUS Set(const GUID& set, ULONG id, T* value) {
    return Request(set, id, KSPROPERTY_TYPE_SET, value, nullptr, true);
  }
  // Diagnostic requests: the bare property header, the layout in the value buffer.
  template <class T>
  NTSTATUS DiagGet(ULONG id, T* value, ULONG_PTR* returned = nullptr) {
    return Request(kDiagnosticPropertySet, id, KSPROPERTY_TYPE_GET, value, returned, false);
  }
  template <class T>
  NTSTATUS DiagSet(ULONG id, T* value) {
    return Request(kDiagnosticPropertySet, id, KSPROPERTY_TYPE_SET, value, nullptr, false);
  }

  NTSTATUS SetProcAmp(ULONG id, LONG value) {
    KSPROPERTY_VIDEOPROCAMP_S s{};
    s.Value = value;
    s.Flags = pelgar::KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    return Set(kProcAmpPropertySet, id, &s);
  }
  NTSTATUS SetStandard(ULONG standard) {
    KSPROPERTY_VIDEODECODER_S s{};
    s.Value = standard;
    return Set(kVideoDecoderPropertySet, pelgar::kDecoderStandard, &s);
  }
  ULONG GetStandard() {
    KSPROPERTY_VIDEODECODER_S s{};
    EXPECT_EQ(Get(kVideoDecoderPropertySet, pelgar::kDecoderStandard, &s), STATUS_SUCCESS);
    return s.Value;
  }

  // Runs the MPEG pin of an encoder filter on the card, so that a stream runs.
  void StartMpeg() {
    encoder = ks.OpenFilter(device, &pelgar::kEncoderFilterDescriptor);
    ASSERT_NE(encoder, nullptr);
    KSDATAFORMAT format = *pelgar::kEncoderFilterDescriptor.PinDescriptors[1].PinDescriptor.DataRanges[0];
    PKSPIN pin = nullptr;
    ASSERT_EQ(ks.CreatePin(encoder, 1, &format, sizeof format, &pin), STATUS_SUCCESS);
    pins.push_back(pin);
    ks.QueueFrames(pin, 4, pelgar::kMpegFrameBytes);
    ASSERT_EQ(ks.SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_NE(Dev()->streamMask, 0u);
  }

  PluggedCard* card = nullptr;
  PKSDEVICE device = nullptr;
  PKSFILTER filter = nullptr;
  PKSFILTER encoder = nullptr;
  std::vector<PKSPIN> pins;
};

// ---- Video processing amplifier

TEST_F(CapturePropertiesTest, ProcAmpItemsDescribeTheirSteppedRangesAndDefaults) {
  const KSAUTOMATION_TABLE& table = pelgar::kVideoCaptureAutomationTable;
  ASSERT_EQ(table.PropertySetsCount, 3u);
  const KSPROPERTY_SET& set = table.PropertySets[0];
  ASSERT_TRUE(IsEqualGUID(*set.Set, kProcAmpPropertySet));
  ASSERT_EQ(set.PropertiesCount, pelgar::kProcAmpItemCount);
  const struct {
    ULONG step;
    LONG max;
    LONG defaultValue;
  } expected[] = {{39, 10000, 5000}, {39, 10000, 4750}, {39, 10000, 5240}, {39, 10000, 6670}, {10, 100, 50}};
  for (ULONG id = 0; id < set.PropertiesCount; ++id) {
    SCOPED_TRACE(id);
    const KSPROPERTY_ITEM& item = set.PropertyItem[id];
    EXPECT_EQ(item.PropertyId, id);
    EXPECT_EQ(item.MinProperty, 40u);
    EXPECT_EQ(item.MinData, 40u);
    EXPECT_EQ(item.SerializedSize, 4u);
    EXPECT_NE(item.GetPropertyHandler, nullptr);
    EXPECT_NE(item.SetPropertyHandler, nullptr);
    if (id >= 5) {
      EXPECT_EQ(item.Values, nullptr);
      continue;
    }
    ASSERT_NE(item.Values, nullptr);
    const auto* values = static_cast<const KSPROPERTY_VALUES*>(item.Values);
    EXPECT_TRUE(IsEqualGUID(values->PropTypeSet.Set, KSPROPTYPESETID_General));
    EXPECT_EQ(values->PropTypeSet.Id, VT_I4);
    ASSERT_EQ(values->MembersListCount, 2u);
    const KSPROPERTY_MEMBERSLIST& range = values->MembersList[0];
    EXPECT_EQ(range.MembersHeader.MembersFlags, KSPROPERTY_MEMBER_STEPPEDRANGES);
    EXPECT_EQ(range.MembersHeader.MembersSize, sizeof(KSPROPERTY_STEPPING_LONG));
    const auto* stepping = static_cast<const KSPROPERTY_STEPPING_LONG*>(range.Members);
    EXPECT_EQ(stepping->SteppingDelta, expected[id].step);
    EXPECT_EQ(stepping->Bounds.SignedMinimum, 0);
    EXPECT_EQ(stepping->Bounds.SignedMaximum, expected[id].max);
    const KSPROPERTY_MEMBERSLIST& def = values->MembersList[1];
    EXPECT_EQ(def.MembersHeader.MembersFlags, KSPROPERTY_MEMBER_VALUES);
    EXPECT_EQ(def.MembersHeader.Flags, KSPROPERTY_MEMBER_FLAG_DEFAULT);
    EXPECT_EQ(*static_cast<const LONG*>(def.Members), expected[id].defaultValue);
  }
}

TEST_F(CapturePropertiesTest, ProcAmpGetAnswersTheDecodersValuesAsManualControls) {
  const struct {
    ULONG id;
    NTSTATUS status;
    LONG value;
  } cases[] = {
      {0, STATUS_SUCCESS, 5000}, {1, STATUS_SUCCESS, 4750},     {2, STATUS_SUCCESS, 5240},
      {3, STATUS_SUCCESS, 6670}, {4, STATUS_SUCCESS, 50},       {5, STATUS_SUCCESS, 0},
      {6, STATUS_SUCCESS, 0},    {7, STATUS_NOT_SUPPORTED, -1}, {9, STATUS_NOT_SUPPORTED, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    KSPROPERTY_VIDEOPROCAMP_S s;
    std::memset(&s, 0xCC, sizeof s);
    s.Property = {kProcAmpPropertySet, c.id, KSPROPERTY_TYPE_GET};
    ULONG_PTR returned = 0xDEAD;
    EXPECT_EQ(Get(kProcAmpPropertySet, c.id, &s, &returned), c.status);
    if (c.status != STATUS_SUCCESS) {
      EXPECT_EQ(returned, 0u);
      EXPECT_EQ(s.Flags, 0xCCCCCCCCu) << "nothing written";
      continue;
    }
    EXPECT_EQ(returned, sizeof s);
    EXPECT_EQ(s.Value, c.value);
    EXPECT_EQ(s.Flags, 2u);
    EXPECT_EQ(s.Capabilities, 2u);
  }
  KSPROPERTY_VIDEOPROCAMP_S s{};
  EXPECT_EQ(Get(kProcAmpPropertySet, 10, &s), STATUS_NOT_FOUND) << "not an item of the set";
  EXPECT_EQ(Commands(), "") << "a get reaches no chip";
}

TEST_F(CapturePropertiesTest, ProcAmpSetReachesTheDecoderWhichRefusesValuesOutOfRange) {
  struct Case {
    const char* name;
    ULONG id;
    LONG value;
    NTSTATUS status;
    LONG (pelgar::VideoDecoder::*field)() const;
    LONG after;
  };
  const Case cases[] = {
      {"brightness top", 0, 10000, STATUS_SUCCESS, &pelgar::VideoDecoder::Brightness, 10000},
      {"brightness one over", 0, 10001, STATUS_INVALID_PARAMETER, &pelgar::VideoDecoder::Brightness, 10000},
      {"contrast bottom", 1, 0, STATUS_SUCCESS, &pelgar::VideoDecoder::Contrast, 0},
      {"contrast negative", 1, -1, STATUS_INVALID_PARAMETER, &pelgar::VideoDecoder::Contrast, 0},
      {"hue", 2, 1234, STATUS_SUCCESS, &pelgar::VideoDecoder::Hue, 1234},
      {"saturation", 3, 7000, STATUS_SUCCESS, &pelgar::VideoDecoder::Saturation, 7000},
      {"sharpness top", 4, 100, STATUS_SUCCESS, &pelgar::VideoDecoder::Sharpness, 100},
      {"sharpness one over", 4, 101, STATUS_INVALID_PARAMETER, &pelgar::VideoDecoder::Sharpness, 100},
      {"gamma does nothing", 5, 77, STATUS_SUCCESS, &pelgar::VideoDecoder::Brightness, 10000},
      {"colour enable does nothing", 6, 1, STATUS_SUCCESS, &pelgar::VideoDecoder::Contrast, 0},
      {"white balance", 7, 1, STATUS_NOT_SUPPORTED, &pelgar::VideoDecoder::Hue, 1234},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SetProcAmp(c.id, c.value), c.status);
    EXPECT_EQ((Decoder()->*c.field)(), c.after);
  }
  KSPROPERTY_VIDEOPROCAMP_S s{};
  ASSERT_EQ(Get(kProcAmpPropertySet, 0, &s), STATUS_SUCCESS);
  EXPECT_EQ(s.Value, 10000) << "a get answers the value set last";
}

// ---- Video decoder

TEST_F(CapturePropertiesTest, DecoderCapsAndStatusFollowTheDecoder) {
  KSPROPERTY_VIDEODECODER_CAPS_S caps;
  std::memset(&caps, 0xCC, sizeof caps);
  ULONG_PTR returned = 0;
  ASSERT_EQ(Get(kVideoDecoderPropertySet, pelgar::kDecoderCaps, &caps, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 40u);
  EXPECT_EQ(caps.StandardsSupported, 0x001FFFF7u);
  EXPECT_EQ(caps.Capabilities, 4u);
  EXPECT_EQ(caps.SettlingTime, 10u);
  EXPECT_EQ(caps.HSyncPerVSync, 6u);
  EXPECT_EQ(Set(kVideoDecoderPropertySet, pelgar::kDecoderCaps, &caps), STATUS_NOT_FOUND) << "get only";

  KSPROPERTY_VIDEODECODER_STATUS_S status{};
  ASSERT_EQ(Get(kVideoDecoderPropertySet, pelgar::kDecoderStatus, &status, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 32u);
  EXPECT_EQ(status.NumberOfLines, 525u);
  EXPECT_EQ(status.SignalLocked, 0u);
  Decoder()->SetSignalLocked(true);
  ASSERT_EQ(SetStandard(kPalB), STATUS_SUCCESS);
  ASSERT_EQ(Get(kVideoDecoderPropertySet, pelgar::kDecoderStatus, &status), STATUS_SUCCESS);
  EXPECT_EQ(status.NumberOfLines, 625u);
  EXPECT_EQ(status.SignalLocked, 1u);
}

TEST_F(CapturePropertiesTest, StandardWithTheSameLineCountOnlyReachesTheDecoder) {
  ASSERT_EQ(GetStandard(), kNtscM);
  EXPECT_EQ(SetStandard(kNtscMJ), STATUS_SUCCESS);
  EXPECT_EQ(GetStandard(), kNtscMJ);
  EXPECT_EQ(card->driverData->Dword("VideoStandard"), std::optional<ULONG>(kNtscM)) << "the registry is not written";
  EXPECT_EQ(Commands(), "") << "the encoder is not configured again";
  EXPECT_EQ(Dev()->settings->Height(), 480);
}

TEST_F(CapturePropertiesTest, StandardWithAnotherLineCountIsStoredAndTheEncoderConfiguredForIt) {
  const struct {
    ULONG standard;
    LONG height;
    const char* rate;
  } steps[] = {{kPalB, 576, "0x8F(1)"}, {kPalI, 576, nullptr}, {kNtscM, 480, "0x8F()"}};
  for (const auto& s : steps) {
    SCOPED_TRACE(s.standard);
    ClearLogs();
    ASSERT_EQ(SetStandard(s.standard), STATUS_SUCCESS);
    EXPECT_EQ(GetStandard(), s.standard);
    EXPECT_EQ(Dev()->settings->Height(), s.height);
    if (s.rate == nullptr) {
      EXPECT_EQ(card->driverData->Dword("VideoStandard"), std::optional<ULONG>(kPalB))
          << "PAL-I has PAL-B's line count: not written";
      EXPECT_EQ(Commands(), "");
      continue;
    }
    EXPECT_EQ(card->driverData->Dword("VideoStandard"), std::optional<ULONG>(s.standard));
    const std::string log = Commands();
    EXPECT_NE(log.find(s.rate), std::string::npos) << log;
    EXPECT_NE(log.find(s.height == 576 ? "0x91(576,720)" : "0x91(480,720)"), std::string::npos) << log;
    EXPECT_NE(log.rfind("0xCD()"), std::string::npos) << "a full configuration ends the change";
  }
}

TEST_F(CapturePropertiesTest, StandardChangeOfLineCountWhileStreamingIsRefusedAndRecordsNothing) {
  StartMpeg();
  ClearLogs();
  EXPECT_EQ(SetStandard(kPalB), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(GetStandard(), kNtscM);
  EXPECT_EQ(card->driverData->Dword("VideoStandard"), std::optional<ULONG>(kNtscM));
  EXPECT_EQ(Dev()->settings->Height(), 480);
  EXPECT_EQ(Commands().find("0x8F"), std::string::npos) << Commands();
  EXPECT_EQ(SetStandard(kNtscMJ), STATUS_SUCCESS) << "the frame geometry stays: allowed while streaming";
  EXPECT_EQ(GetStandard(), kNtscMJ);
}

TEST_F(CapturePropertiesTest, StandardsTheDecoderDoesNotKnowAreRefused) {
  for (ULONG standard : {0x0u, 0x8u, 0x11u, 0x200000u, 0x80000000u}) {
    SCOPED_TRACE(standard);
    EXPECT_EQ(SetStandard(standard), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(GetStandard(), kNtscM);
  EXPECT_EQ(Commands(), "");
}

TEST_F(CapturePropertiesTest, StandardChangeReportsAConfigurationTheEncoderDidNotAnswer) {
  card->sim->Firmware().DropCode(0xCD);
  EXPECT_EQ(SetStandard(kPalB), STATUS_IO_TIMEOUT);
  EXPECT_EQ(GetStandard(), kPalB) << "the standard is kept for the next configuration";
  EXPECT_EQ(card->driverData->Dword("VideoStandard"), std::optional<ULONG>(kPalB));
}

TEST_F(CapturePropertiesTest, EverySetFailsOnAStoppedCard) {
  ks.Stop(device);
  KSPROPERTY_VIDEOPROCAMP_S procamp{};
  KSPROPERTY_VIDEODECODER_STATUS_S status{};
  DiagI2cTransfer i2c{0x42, 1, {}};
  DiagMemory memory{0x1000, 1, {}};
  DiagRegister reg{kGpioLevels, 0};
  DiagCommand command{0x80, {}, 0};
  EXPECT_EQ(Get(kProcAmpPropertySet, 0, &procamp), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Set(kProcAmpPropertySet, 0, &procamp), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Get(kVideoDecoderPropertySet, pelgar::kDecoderStatus, &status), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(SetStandard(kPalB), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(DiagGet(pelgar::kDiagI2cRead, &i2c), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(DiagGet(pelgar::kDiagMemoryRead, &memory), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(DiagSet(pelgar::kDiagRegisterWrite, &reg), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(DiagGet(pelgar::kDiagCommand, &command), STATUS_UNSUCCESSFUL);
  ASSERT_EQ(ks.Start(device, card->resources), STATUS_SUCCESS);
  WaitForBringUp(device);
}

// ---- Diagnostics: I2C

TEST_F(CapturePropertiesTest, DiagnosticI2cTransfersReachTheBusAsAsked) {
  DiagI2cTransfer write{0x42, 3, {0x10, 0xAB, 0xCD}};
  ASSERT_EQ(DiagSet(pelgar::kDiagI2cWrite, &write), STATUS_SUCCESS);
  EXPECT_EQ(card->I2cLog(), "S 42+ 10+ AB+ CD+ P");

  card->sim->I2c().ClearLog();
  DiagI2cWriteRead wr{};
  std::memset(&wr, 0xCC, sizeof wr);
  wr.address = 0x42;
  wr.writeLength = 1;
  wr.write[0] = 0x10;
  wr.readLength = 2;
  ULONG_PTR returned = 0;
  ASSERT_EQ(DiagGet(pelgar::kDiagI2cWriteRead, &wr, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 27u);
  EXPECT_EQ(card->I2cLog(), "S 42+ 10+ Sr 43+ AB+ CD- P");
  EXPECT_EQ(wr.read[0], 0xAB);
  EXPECT_EQ(wr.read[1], 0xCD);
  EXPECT_EQ(wr.read[2], 0xCC) << "nothing past the bytes read";

  card->sim->I2c().ClearLog();
  DiagI2cTransfer read{};
  std::memset(&read, 0xCC, sizeof read);
  read.address = 0x42;
  read.length = 1;
  ASSERT_EQ(DiagGet(pelgar::kDiagI2cRead, &read, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 18u);
  EXPECT_EQ(card->I2cLog(), "S 43+ 00- P");
  EXPECT_EQ(read.data[0], 0x00) << "the register after the last one read";
  EXPECT_EQ(read.data[1], 0xCC);
}

TEST_F(CapturePropertiesTest, DiagnosticI2cLengthsAreCheckedBeforeTheBusIsTouched) {
  struct Case {
    const char* name;
    ULONG id;
    UCHAR first;   // length, or write length
    UCHAR second;  // read length (write-then-read only)
    NTSTATUS status;
  };
  const Case cases[] = {
      {"write of 16 bytes", pelgar::kDiagI2cWrite, 16, 0, STATUS_SUCCESS},
      {"write of 17 bytes", pelgar::kDiagI2cWrite, 17, 0, STATUS_INVALID_PARAMETER},
      {"write of no bytes", pelgar::kDiagI2cWrite, 0, 0, STATUS_SUCCESS},
      {"read of 16 bytes", pelgar::kDiagI2cRead, 16, 0, STATUS_SUCCESS},
      {"read of 17 bytes", pelgar::kDiagI2cRead, 17, 0, STATUS_INVALID_PARAMETER},
      {"read of no bytes", pelgar::kDiagI2cRead, 0, 0, STATUS_INVALID_PARAMETER},
      {"write 8 read 16", pelgar::kDiagI2cWriteRead, 8, 16, STATUS_SUCCESS},
      {"write 9", pelgar::kDiagI2cWriteRead, 9, 1, STATUS_INVALID_PARAMETER},
      {"read 17", pelgar::kDiagI2cWriteRead, 1, 17, STATUS_INVALID_PARAMETER},
      {"read none", pelgar::kDiagI2cWriteRead, 1, 0, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    card->sim->I2c().ClearLog();
    NTSTATUS status;
    if (c.id == pelgar::kDiagI2cWriteRead) {
      DiagI2cWriteRead wr{0x42, c.first, {0x20}, c.second, {}};
      status = DiagGet(c.id, &wr);
    } else {
      DiagI2cTransfer t{0x42, c.first, {0x20}};
      status = c.id == pelgar::kDiagI2cWrite ? DiagSet(c.id, &t) : DiagGet(c.id, &t);
    }
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(card->I2cLog().empty(), c.status != STATUS_SUCCESS) << card->I2cLog();
  }
  card->sim->I2c().ClearLog();
  DiagI2cTransfer absent{0x50, 1, {0}};
  EXPECT_EQ(DiagSet(pelgar::kDiagI2cWrite, &absent), STATUS_IO_DEVICE_ERROR) << "no device answers at 0x50";
}

// ---- Diagnostics: encoder memory and registers

TEST_F(CapturePropertiesTest, DiagnosticMemoryWordsReachEncoderMemory) {
  DiagMemory write{0x01000000, 64, {}};
  for (ULONG i = 0; i < 64; ++i) write.words[i] = 0xA5000000u + i;
  ASSERT_EQ(DiagSet(pelgar::kDiagMemoryWrite, &write), STATUS_SUCCESS);
  for (ULONG i = 0; i < 64; ++i) EXPECT_EQ(card->sim->MemoryWord(0x01000000 + 4 * i), 0xA5000000u + i) << i;

  card->sim->SetMemoryWord(0x01FFFFFC, 0x12345678);
  const struct {
    ULONG offset;
    ULONG count;
    ULONG first;
  } reads[] = {{0x01000004, 63, 0xA5000001u}, {0x01FFFFFC, 1, 0x12345678u}, {0x01000000, 0, 0xCCCCCCCCu}};
  for (const auto& r : reads) {
    SCOPED_TRACE(r.offset);
    DiagMemory read;
    std::memset(&read, 0xCC, sizeof read);
    read.offset = r.offset;
    read.count = r.count;
    ULONG_PTR returned = 0;
    ASSERT_EQ(DiagGet(pelgar::kDiagMemoryRead, &read, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 264u);
    EXPECT_EQ(read.words[0], r.first);
    if (r.count < 64) {
      EXPECT_EQ(read.words[r.count], 0xCCCCCCCCu) << "nothing past the words asked for";
    }
  }
}

TEST_F(CapturePropertiesTest, DiagnosticMemoryReachesOnlyAlignedWordsInsideEncoderMemory) {
  const struct {
    const char* name;
    ULONG offset;
    ULONG count;
  } refused[] = {
      {"unaligned", 0x01000002, 1},     {"65 words", 0x01000000, 65},     {"last word and one more", 0x01FFFFFC, 2},
      {"register half", 0x02000000, 1}, {"wraps around", 0xFFFFFFFC, 64}, {"count wraps", 0x01000000, 0x40000000},
  };
  const uint64_t writes = card->sim->MemoryWrites();
  for (const auto& r : refused) {
    SCOPED_TRACE(r.name);
    DiagMemory m{r.offset, r.count, {}};
    EXPECT_EQ(DiagSet(pelgar::kDiagMemoryWrite, &m), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DiagGet(pelgar::kDiagMemoryRead, &m), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(card->sim->MemoryWrites(), writes);
  EXPECT_TRUE(card->sim->RegisterLog().empty());
}

TEST_F(CapturePropertiesTest, DiagnosticRegistersReachOnlyAlignedOffsetsOfTheRegisterHalf) {
  DiagRegister write{kGpioLevels, 0x00000081};
  ASSERT_EQ(DiagSet(pelgar::kDiagRegisterWrite, &write), STATUS_SUCCESS);
  EXPECT_EQ(card->sim->Register(kGpioLevels), 0x81u);
  DiagRegister read{kGpioLevels, 0xCCCCCCCC};
  ULONG_PTR returned = 0;
  ASSERT_EQ(DiagGet(pelgar::kDiagRegisterRead, &read, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(read.value, 0x81u);
  const std::vector<simcard::RegisterAccess> expected = {{true, kGpioLevels, 0x81}, {false, kGpioLevels, 0x81}};
  EXPECT_EQ(card->sim->RegisterLog(), expected);

  card->sim->ClearRegisterLog();
  for (ULONG offset : {kGpioLevels + 2, 0x02000000u, 0x01FFFFFEu, 0xFFFFFFFCu}) {
    SCOPED_TRACE(offset);
    DiagRegister r{offset, 1};
    EXPECT_EQ(DiagSet(pelgar::kDiagRegisterWrite, &r), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DiagGet(pelgar::kDiagRegisterRead, &r), STATUS_INVALID_PARAMETER);
  }
  EXPECT_TRUE(card->sim->RegisterLog().empty());
}

// ---- Diagnostics: mailbox

TEST_F(CapturePropertiesTest, DiagnosticCommandIsAWaitedCommandWithSixteenArgumentsAndResults) {
  DiagCommand command{0xDC, {3, 1}, 0xCCCCCCCC};
  ULONG_PTR returned = 0;
  ASSERT_EQ(DiagGet(pelgar::kDiagCommand, &command, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 72u);
  EXPECT_EQ(command.returnValue, 0u);
  EXPECT_EQ(command.words[0], 1u) << "the firmware's result";
  const auto& log = card->sim->Firmware().CommandLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].mailbox, 0u) << "the waited mailbox";
  EXPECT_EQ(log[0].code, 0xDCu);
  EXPECT_EQ(log[0].args[0], 3u);
  EXPECT_EQ(log[0].args[1], 1u);

  DiagCommand version{0xC4, {}, 0};
  ASSERT_EQ(DiagGet(pelgar::kDiagCommand, &version), STATUS_SUCCESS);
  EXPECT_EQ(version.words[0], 0x02060039u);
  DiagCommand unknown{0x77, {}, 0};
  ASSERT_EQ(DiagGet(pelgar::kDiagCommand, &unknown), STATUS_SUCCESS) << "the firmware's answer is passed on";
  EXPECT_EQ(unknown.returnValue, 0xFFFFFFFFu);

  card->sim->Firmware().DropCode(0x78);
  DiagCommand lost{0x78, {}, 0xCCCCCCCC};
  EXPECT_EQ(DiagGet(pelgar::kDiagCommand, &lost, &returned), STATUS_IO_TIMEOUT);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(lost.returnValue, 0xCCCCCCCCu);
}

}  // namespace
