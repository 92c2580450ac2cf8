#include "driver/encoder_settings.h"

#include <cstring>

#include "driver/decoders.h"
#include "driver/encoder_mailbox.h"
#include "driver/pelgar_test_fixture.h"
#include "driver/simcard/firmware_image.h"

namespace {

using pelgar::EncoderSettings;
using pelgar::kEncoderPropertySet;
using pelgar::NoiseFilterBlock;
using pelgar::PelgarDevice;

// A started card with the test image, its encoder filter open for property requests.
class EncoderSettingsTest : public DriverFixture {
 protected:
  PKSDEVICE Start(PluggedCard& card) {
    simcard::InstallTestFirmware(kernel);
    device_ = Add(card);
    EXPECT_EQ(ks.Start(device_, card.resources), STATUS_SUCCESS);
    WaitForBringUp(device_);
    EXPECT_EQ(Context(device_)->bringUpStatus, STATUS_SUCCESS);
    filter_ = ks.OpenFilter(device_, nullptr);
    card_ = &card;
    card.sim->Firmware().ClearCommandLog();
    card.sim->I2c().ClearLog();
    return device_;
  }
  void Finish() {
    ks.CloseFilter(filter_);
    RemoveAndCheck(device_);
  }
  EncoderSettings* Settings() const { return Context(device_)->settings; }
  std::string Commands() const {
    std::string log = card_->sim->Firmware().CommandLogText();
    card_->sim->Firmware().ClearCommandLog();
    return log;
  }
  std::optional<ULONG> Stored(const char* name) const { return card_->driverData->Dword(name); }

  NTSTATUS Set(ULONG id, const void* data, ULONG length, const GUID& set = kEncoderPropertySet) {
    std::vector<uint8_t> copy(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
    ULONG_PTR returned = 0;
    return ks.Property(filter_, &pelgar::kEncoderAutomationTable, set, id, KSPROPERTY_TYPE_SET, copy.data(), length,
                       &returned);
  }
  template <class T>
  NTSTATUS SetValue(ULONG id, T value, const GUID& set = kEncoderPropertySet) {
    return Set(id, &value, sizeof value, set);
  }
  // Gets into a buffer poisoned with 0xCC; *returned gets the bytes reported.
  NTSTATUS Get(ULONG id, void* data, ULONG length, ULONG_PTR* returned, const GUID& set = kEncoderPropertySet) {
    std::memset(data, 0xCC, length);
    return ks.Property(filter_, &pelgar::kEncoderAutomationTable, set, id, KSPROPERTY_TYPE_GET, data, length,
                       returned);
  }
  template <class T>
  T GetValue(ULONG id, const GUID& set = kEncoderPropertySet) {
    T value;
    ULONG_PTR returned = 0;
    EXPECT_EQ(Get(id, &value, sizeof value, &returned, set), STATUS_SUCCESS) << id;
    EXPECT_EQ(returned, sizeof value) << id;
    return value;
  }

  PKSDEVICE device_ = nullptr;
  PKSFILTER filter_ = nullptr;
  PluggedCard* card_ = nullptr;
};

bool SameBlock(const NoiseFilterBlock& a, const NoiseFilterBlock& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---- Creation and registry

TEST_F(EncoderSettingsTest, DefaultsDependOnTheTunerType) {
  struct Case {
    const char* file;
    LONG median;
    SHORT spatialLevel;
  };
  const Case cases[] = {{"kind1.card", 0, 0}, {"kind78.card", 3, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    PluggedCard& card = Plug(c.file, c.file);
    Start(card);
    EncoderSettings* s = Settings();
    EXPECT_EQ(s->BitRateMode(), 1);
    EXPECT_EQ(s->BitRate(), 5000000);
    EXPECT_EQ(s->BitRatePeak(), 7000000);
    EXPECT_EQ(s->GopPictures(), 15);
    EXPECT_EQ(s->GopBFrames(), 3);
    EXPECT_FALSE(s->ClosedGop());
    EXPECT_FALSE(s->InverseTelecine());
    EXPECT_EQ(s->AudioWordValue(), 0xE9u);
    EXPECT_EQ(s->StreamType(), 14);
    EXPECT_EQ(s->Width(), 720);
    EXPECT_EQ(s->Height(), 480);
    EXPECT_EQ(s->MuxedRate(), 0);
    EXPECT_EQ(s->EncApiMode(), 0);
    NoiseFilterBlock expected{c.median, 1, 1, 8, c.spatialLevel, 255, 0, 255, 0, {0, 0}};
    EXPECT_TRUE(SameBlock(s->Filter(), expected));
    Finish();
    cards.clear();
  }
}

TEST_F(EncoderSettingsTest, RegistryValuesAreLoadedAndValuesOutOfRangeKeepTheDefault) {
  PluggedCard& card = Plug("kind1.card");
  const std::pair<const char*, ULONG> values[] = {
      {"BitRateMode", 0},          {"BitRate", 4000000},
      {"BitRatePeak", 5000000},    {"GOPNumberOfPictures", 0x10C},  // low byte used: 12
      {"GOPNumberOfBFrames", 2},   {"ClosedGOP", 0x101},
      {"InverseTelecine", 1},      {"AudioSamplingRate", 2},
      {"AudioDataRate", 15},                         // outside 10 ... 14: keeps 14
      {"AudioOutputMode", 3},      {"AudioCRC", 2},  // outside 0 ... 1: keeps 0
      {"MPEGStreamType", 7},                         // no such type: keeps 14
      {"IsStaticSpatial", 0},      {"IsStaticTemporal", 0},
      {"StaticSpatialLevel", 16},  // outside: keeps 0
      {"StaticTemporalLevel", 31}, {"MuxedDataRate", 10080000},
  };
  for (const auto& [name, value] : values) card.driverData->SetDword(name, value);
  Start(card);
  EncoderSettings* s = Settings();
  EXPECT_EQ(s->BitRateMode(), 0);
  EXPECT_EQ(s->BitRate(), 4000000);
  EXPECT_EQ(s->BitRatePeak(), 5000000);
  EXPECT_EQ(s->GopPictures(), 12);
  EXPECT_EQ(s->GopBFrames(), 2);
  EXPECT_TRUE(s->ClosedGop());
  EXPECT_TRUE(s->InverseTelecine());
  EXPECT_EQ(s->AudioWordValue(), 0xE0u | 0x8u | 0x2u | 0x300u);  // data rate 14, bits 2-3 = 2, 32 kHz, mono
  EXPECT_EQ(s->StreamType(), 14);
  NoiseFilterBlock expected{0, 0, 0, 31, 0, 255, 0, 255, 0, {0, 0}};
  EXPECT_TRUE(SameBlock(s->Filter(), expected));
  EXPECT_EQ(s->MuxedRate(), 10080000);
  EXPECT_EQ(s->EncApiMode(), 2);  // variable mode loaded
  Finish();
}

TEST_F(EncoderSettingsTest, KindSeventyEightForcesStoredFilterLevelsToEight) {
  PluggedCard& card = Plug("kind78.card");
  card.driverData->SetDword("StaticSpatialLevel", 3);
  card.driverData->SetDword("StaticTemporalLevel", 20);
  Start(card);
  EXPECT_EQ(Settings()->Filter().spatialLevel, 8);
  EXPECT_EQ(Settings()->Filter().temporalLevel, 8);
  Finish();
}

TEST_F(EncoderSettingsTest, EveryChangeIsStoredAndComesBackAfterARestart) {
  PluggedCard& card = Plug("kind1.card");
  Start(card);
  const LONG rates[3] = {0, 6000000, 8000000};
  EXPECT_EQ(Set(1, rates, sizeof rates), STATUS_SUCCESS);
  EXPECT_EQ(SetValue<ULONG>(2, 1), STATUS_SUCCESS);
  EXPECT_EQ(SetValue<UCHAR>(3, 12), STATUS_SUCCESS);
  EXPECT_EQ(SetValue<ULONG>(4, 1), STATUS_SUCCESS);
  EXPECT_EQ(SetValue<UCHAR>(5, 12), STATUS_SUCCESS);
  EXPECT_EQ(SetValue<UCHAR>(6, 1), STATUS_SUCCESS);
  EXPECT_EQ(SetValue<ULONG>(7, 3), STATUS_SUCCESS);
  EXPECT_EQ(SetValue<ULONG>(8, 2), STATUS_SUCCESS);
  EXPECT_EQ(SetValue<LONG>(9, 13), STATUS_SUCCESS);
  const NoiseFilterBlock block{2, 0, 1, 31, 15, 10, 200, 20, 220, {0, 0}};
  EXPECT_EQ(SetValue(10, block), STATUS_SUCCESS);
  EXPECT_EQ(SetValue<LONG>(11, 9000000), STATUS_SUCCESS);
  const std::pair<const char*, ULONG> stored[] = {
      {"BitRateMode", 0},          {"BitRate", 6000000},
      {"BitRatePeak", 8000000},    {"ClosedGOP", 1},
      {"GOPNumberOfPictures", 12}, {"InverseTelecine", 1},
      {"AudioDataRate", 12},       {"AudioCRC", 1},
      {"AudioOutputMode", 3},      {"AudioSamplingRate", 2},
      {"MPEGStreamType", 13},      {"IsStaticSpatial", 1},
      {"IsStaticTemporal", 0},     {"StaticSpatialLevel", 15},
      {"StaticTemporalLevel", 31}, {"MuxedDataRate", 9000000},
  };
  for (const auto& [name, value] : stored) EXPECT_EQ(Stored(name), value) << name;

  ks.CloseFilter(filter_);
  ks.Stop(device_);
  ASSERT_EQ(ks.Start(device_, card.resources), STATUS_SUCCESS);
  WaitForBringUp(device_);
  filter_ = ks.OpenFilter(device_, nullptr);
  EncoderSettings* s = Settings();
  EXPECT_EQ(s->BitRateMode(), 0);
  EXPECT_EQ(s->BitRate(), 6000000);
  EXPECT_EQ(s->BitRatePeak(), 8000000);
  EXPECT_TRUE(s->ClosedGop());
  EXPECT_EQ(s->GopPictures(), 12);
  EXPECT_TRUE(s->InverseTelecine());
  EXPECT_EQ(s->AudioWordValue(), 0x4000u | 0x300u | 0xC0u | 0x8u | 0x2u);
  EXPECT_EQ(s->StreamType(), 13);
  EXPECT_TRUE(SameBlock(s->Filter(), NoiseFilterBlock{0, 0, 1, 31, 15, 255, 0, 255, 0, {0, 0}}));  // stored part
  EXPECT_EQ(s->MuxedRate(), 9000000);
  EXPECT_EQ(s->EncApiMode(), 2);
  EXPECT_EQ(s->Width(), 720);  // the frame size always starts over
  // The restart's configuration sends what was stored: the muxed rate rides with the bit rate of type 13.
  EXPECT_THAT(card.sim->Firmware().CommandLogText(), ::testing::HasSubstr("mb0 0x95(0,6000000,20000,22500) -> 0x0"));
  Finish();
}

TEST_F(EncoderSettingsTest, FailedRegistryWritesKeepTheValueForTheSession) {
  PluggedCard& card = Plug("kind1.card");
  Start(card);
  kernel.FailRegistryWrites(true);
  EXPECT_EQ(SetValue<ULONG>(2, 1), STATUS_SUCCESS);
  kernel.FailRegistryWrites(false);
  EXPECT_TRUE(Settings()->ClosedGop());
  EXPECT_EQ(Stored("ClosedGOP"), std::nullopt);
  Finish();
}

// ---- Private property set

TEST_F(EncoderSettingsTest, EachPrivatePropertyGetsItsFieldAndSetsWithItsCommand) {
  struct Case {
    const char* name;
    ULONG id;
    std::vector<uint8_t> data;
    std::string commands;
    const char* value;  // registry value written, or null
    ULONG stored;
  };
  const Case cases[] = {
      {"closed GOP", 2, {1, 0, 0, 0}, "mb0 0xC5(1) -> 0x0\n", "ClosedGOP", 1},
      {"GOP pictures", 3, {18}, "mb0 0x97(18,3) -> 0x0\n", "GOPNumberOfPictures", 18},
      {"inverse telecine", 4, {1, 0, 0, 0}, "mb0 0xB1(1) -> 0x0\n", "InverseTelecine", 1},
      {"audio data rate 384", 5, {14}, "mb0 0xBD(233) -> 0x0\n", "AudioDataRate", 14},
      {"audio data rate 192", 5, {10}, "mb0 0xBD(169) -> 0x0\n", "AudioDataRate", 10},
      {"audio CRC", 6, {1}, "mb0 0xBD(16617) -> 0x0\n", "AudioCRC", 1},
      {"audio output mono", 7, {3, 0, 0, 0}, "mb0 0xBD(1001) -> 0x0\n", "AudioOutputMode", 3},
      {"audio 44.1 kHz", 8, {0, 0, 0, 0}, "mb0 0xBD(232) -> 0x0\n", "AudioSamplingRate", 0},
      {"stream type DVD", 9, {10, 0, 0, 0}, "mb0 0xB9(10) -> 0x0\n", "MPEGStreamType", 10},
      {"muxed rate: stored, sent with the next bit rate", 11, {0x40, 0x4B, 0x4C, 0}, "", "MuxedDataRate", 5000000},
      {"noise filter",
       10,
       {4, 0, 0, 0, 0, 0, 20, 0, 9, 0, 5, 0, 250, 0, 6, 0, 251, 0, 0, 0},
       "mb0 0xA1(1,1) -> 0x0\nmb0 0x9B(3,4) -> 0x0\nmb0 0x9F(250,5,251,6) -> 0x0\nmb0 0x9D(9,20) -> 0x0\n",
       "StaticTemporalLevel",
       20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PluggedCard& card = Plug("kind1.card", c.name);
    Start(card);
    EXPECT_EQ(Set(c.id, c.data.data(), static_cast<ULONG>(c.data.size())), STATUS_SUCCESS);
    EXPECT_EQ(Commands(), c.commands);
    EXPECT_EQ(Stored(c.value), c.stored);
    std::vector<uint8_t> back(c.data.size());
    ULONG_PTR returned = 0;
    EXPECT_EQ(Get(c.id, back.data(), static_cast<ULONG>(back.size()), &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, c.data.size());
    EXPECT_EQ(back, c.data);
    Finish();
    cards.clear();
  }
}

TEST_F(EncoderSettingsTest, BitRatePropertyRefusesZeroAndSendsThreeCommands) {
  PluggedCard& card = Plug("kind1.card");
  Start(card);
  struct Case {
    const char* name;
    LONG data[3];
    NTSTATUS status;
  };
  const Case refused[] = {
      {"zero peak", {1, 4000000, 0}, STATUS_INVALID_PARAMETER},
      {"zero rate", {1, 0, 6000000}, STATUS_INVALID_PARAMETER},
      {"negative rate", {1, -4000000, 6000000}, STATUS_INVALID_PARAMETER},
      {"mode 2", {2, 4000000, 6000000}, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Set(1, c.data, sizeof c.data), c.status);
    EXPECT_EQ(Commands(), "");
    EXPECT_EQ(Settings()->BitRate(), 5000000);
    EXPECT_EQ(Settings()->BitRatePeak(), 7000000);
    EXPECT_EQ(Stored("BitRate"), std::nullopt);
  }
  const LONG variable[3] = {0, 4000000, 6000000};
  EXPECT_EQ(Set(1, variable, sizeof variable), STATUS_SUCCESS);
  EXPECT_EQ(Commands(),
            "mb0 0x95(1,4000000,17500) -> 0x0\n"  // rate first
            "mb0 0x95(0,4000000,17500) -> 0x0\n"  // then the mode
            "mb0 0x95(0,4000000,15000) -> 0x0\n");
  LONG back[3];
  ULONG_PTR returned = 0;
  EXPECT_EQ(Get(1, back, sizeof back, &returned), STATUS_SUCCESS);
  EXPECT_EQ(back[0], 0);
  EXPECT_EQ(back[1], 4000000);
  EXPECT_EQ(back[2], 6000000);
  Finish();
}

TEST_F(EncoderSettingsTest, AudioFieldsOutsideTheirRangeAreRefusedWithoutTouchingNeighbours) {
  struct Case {
    const char* name;
    ULONG id;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {"data rate below 192 kbit/s", 5, {9}},
      {"data rate code 15", 5, {15}},
      {"data rate 255 would spill into the output mode", 5, {255}},
      {"CRC 2", 6, {2}},
      {"output mode 4 would spill into bit 10", 7, {4, 0, 0, 0}},
      {"output mode all ones", 7, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"sampling rate code 3", 8, {3, 0, 0, 0}},
      {"sampling rate 0x10000", 8, {0, 0, 1, 0}},
  };
  PluggedCard& card = Plug("kind1.card");
  Start(card);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Set(c.id, c.data.data(), static_cast<ULONG>(c.data.size())), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Settings()->AudioWordValue(), 0xE9u);
    EXPECT_EQ(Commands(), "");
  }
  Finish();
}

TEST_F(EncoderSettingsTest, LockedSettersRefuseAChangeWhileStreamingButAcceptTheSameValue) {
  struct Case {
    const char* name;
    ULONG id;
    std::vector<uint8_t> same, different;
    const char* value;
  };
  const Case cases[] = {
      {"closed GOP", 2, {0, 0, 0, 0}, {1, 0, 0, 0}, "ClosedGOP"},
      {"GOP pictures", 3, {15}, {12}, "GOPNumberOfPictures"},
      {"inverse telecine", 4, {0, 0, 0, 0}, {1, 0, 0, 0}, "InverseTelecine"},
      {"audio data rate", 5, {14}, {13}, "AudioDataRate"},
      {"audio CRC", 6, {0}, {1}, "AudioCRC"},
      {"audio output mode", 7, {0, 0, 0, 0}, {1, 0, 0, 0}, "AudioOutputMode"},
      {"audio sampling rate", 8, {1, 0, 0, 0}, {2, 0, 0, 0}, "AudioSamplingRate"},
      {"stream type", 9, {14, 0, 0, 0}, {12, 0, 0, 0}, "MPEGStreamType"},
  };
  PluggedCard& card = Plug("kind1.card");
  Start(card);
  Context(device_)->streamMask = pelgar::kStreamMpeg;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> before(c.same.size());
    ULONG_PTR returned = 0;
    ASSERT_EQ(Get(c.id, before.data(), static_cast<ULONG>(before.size()), &returned), STATUS_SUCCESS);
    EXPECT_EQ(before, c.same);
    EXPECT_EQ(Set(c.id, c.different.data(), static_cast<ULONG>(c.different.size())), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Set(c.id, c.same.data(), static_cast<ULONG>(c.same.size())), STATUS_SUCCESS);
    std::vector<uint8_t> after(c.same.size());
    ASSERT_EQ(Get(c.id, after.data(), static_cast<ULONG>(after.size()), &returned), STATUS_SUCCESS);
    EXPECT_EQ(after, c.same);
    EXPECT_EQ(Stored(c.value), std::nullopt);
    EXPECT_EQ(Commands(), "");
  }
  // The frame size follows the same rule.
  EXPECT_EQ(Settings()->SetFrameSize(352, 480), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(Settings()->SetFrameSize(720, 480), STATUS_SUCCESS);
  EXPECT_EQ(Settings()->Width(), 720);
  EXPECT_EQ(Commands(), "");
  Context(device_)->streamMask = 0;
  Finish();
}

TEST_F(EncoderSettingsTest, HalfHeightStreamTypesHalveTheFrameBeforeTheTypeIsSent) {
  PluggedCard& card = Plug("kind1.card");
  Start(card);
  EXPECT_EQ(SetValue<LONG>(9, 11), STATUS_SUCCESS);
  EXPECT_EQ(Commands(), "mb0 0x91(240,720) -> 0x0\nmb0 0xB9(11) -> 0x0\n");
  EXPECT_TRUE(Settings()->IsHalfHeight());
  EXPECT_EQ(Context(device_)->decoder->CaptureHeight(), 240u);
  EXPECT_EQ(SetValue<LONG>(9, 2), STATUS_SUCCESS);  // half height already
  EXPECT_EQ(Commands(), "mb0 0xB9(2) -> 0x0\n");
  EXPECT_EQ(SetValue<LONG>(9, 14), STATUS_SUCCESS);
  EXPECT_EQ(Commands(), "mb0 0x91(480,720) -> 0x0\nmb0 0xB9(14) -> 0x0\n");
  EXPECT_FALSE(Settings()->IsHalfHeight());
  EXPECT_EQ(Settings()->Height(), 480);
  Finish();
}

TEST_F(EncoderSettingsTest, FilterBlockOutsideItsRangesIsRefused) {
  struct Case {
    const char* name;
    NoiseFilterBlock block;
  };
  const Case cases[] = {
      {"median type 5", {5, 1, 1, 8, 0, 255, 0, 255, 0, {0, 0}}},
      {"static flag 2", {0, 2, 1, 8, 0, 255, 0, 255, 0, {0, 0}}},
      {"temporal level 32", {0, 1, 1, 32, 0, 255, 0, 255, 0, {0, 0}}},
      {"spatial level 16", {0, 1, 1, 8, 16, 255, 0, 255, 0, {0, 0}}},
      {"negative threshold", {0, 1, 1, 8, 0, -1, 0, 255, 0, {0, 0}}},
      {"threshold 256", {0, 1, 1, 8, 0, 255, 0, 255, 256, {0, 0}}},
  };
  PluggedCard& card = Plug("kind1.card");
  Start(card);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SetValue(10, c.block), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Commands(), "");
    EXPECT_EQ(Stored("StaticTemporalLevel"), std::nullopt);
  }
  Finish();
}

TEST_F(EncoderSettingsTest, VersionComesFromTheFirmwareOrTheRequestFails) {
  PluggedCard& card = Plug("kind1.card");
  Start(card);
  LONG version[5];
  ULONG_PTR returned = 0;
  EXPECT_EQ(Get(0, version, sizeof version, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 20u);
  EXPECT_EQ(static_cast<ULONG>(version[0]), simcard::kFirmwareVersion);
  EXPECT_EQ(version[1], 2);
  EXPECT_EQ(version[2], 0);
  EXPECT_EQ(version[3], 17);
  EXPECT_EQ(version[4], 0);
  EXPECT_EQ(Commands(), "mb0 0xC4() -> 0x0 [33947705]\n");

  card.sim->Firmware().DropCode(0xC4);
  EXPECT_EQ(Get(0, version, sizeof version, &returned), STATUS_IO_TIMEOUT);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(static_cast<ULONG>(version[0]), 0xCCCCCCCCu);  // nothing written
  Finish();
}

TEST_F(EncoderSettingsTest, FailedCommandIsReportedAndTheValueStaysForTheNextConfiguration) {
  PluggedCard& card = Plug("kind1.card");
  Start(card);
  card.sim->Firmware().DropCode(0xC5);
  EXPECT_EQ(SetValue<ULONG>(2, 1), STATUS_IO_TIMEOUT);
  EXPECT_TRUE(Settings()->ClosedGop());
  EXPECT_EQ(Stored("ClosedGOP"), 1u);
  card.sim->Firmware().DropCode(0x95);
  const LONG rates[3] = {1, 4000000, 6000000};
  EXPECT_EQ(Set(1, rates, sizeof rates), STATUS_IO_TIMEOUT);
  EXPECT_EQ(SetValue<ULONG>(0, 4000000, pelgar::kEncApiBitRate), STATUS_IO_TIMEOUT);
  Finish();
}

TEST_F(EncoderSettingsTest, PropertiesOfACardThatIsNotStartedFail) {
  PluggedCard& card = Plug("kind1.card");
  device_ = Add(card);
  filter_ = ks.OpenFilter(device_, nullptr);
  ULONG value = 0;
  ULONG_PTR returned = 0;
  EXPECT_EQ(Get(2, &value, sizeof value, &returned), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(value, 0xCCCCCCCCu);
  EXPECT_EQ(SetValue<ULONG>(2, 1), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(SetValue<ULONG>(0, 4000000, pelgar::kEncApiBitRate), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(SetValue<ULONG>(13, 1), STATUS_NO_SUCH_DEVICE);  // no peripheral was probed
  Finish();
}

// ---- Peripheral-backed properties

TEST_F(EncoderSettingsTest, PeripheralPropertiesOnACardWithoutThemFailAndLeaveTheBuffer) {
  PluggedCard& card = Plug("kind1.card");
  Start(card);
  EXPECT_EQ(SetValue<ULONG>(13, 1), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(SetValue<ULONG>(14, 1), STATUS_NO_SUCH_DEVICE);
  ULONG status = 0;
  ULONG_PTR returned = 0;
  EXPECT_EQ(Get(15, &status, sizeof status, &returned), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(status, 0xCCCCCCCCu);
  EXPECT_EQ(card.I2cLog(), "");
  Finish();
}

TEST_F(EncoderSettingsTest, PeripheralPropertiesTalkToTheirDevices) {
  PluggedCard& card = PlugText(CardText("kind2.card") + "data 0xF4 0x00 0x5A 0x5A 0x5A 0x5A\n");
  Start(card);
  struct Case {
    ULONG id;
    ULONG value;
    const char* log;
  };
  const Case cases[] = {
      {13, 1, "S B8+ 00+ 17+ P"},
      {13, 0, "S B8+ 00+ 57+ P"},
      {14, 1, "S 24+ 00+ 00+ P"},
      {14, 2, "S 24+ 00+ D0+ P"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log);
    card.sim->I2c().ClearLog();
    EXPECT_EQ(SetValue(c.id, c.value), STATUS_SUCCESS);
    EXPECT_EQ(card.I2cLog(), c.log);
  }
  card.sim->I2c().ClearLog();
  EXPECT_EQ(GetValue<ULONG>(15), 0x5Au);
  EXPECT_EQ(card.I2cLog(), "S F5+ 5A- P");

  // A device that stops answering fails the request; the caller's buffer is left alone.
  card.sim->I2c().SetNak(0xF4, true);
  card.sim->I2c().SetNak(0xB8, true);
  ULONG status = 0;
  ULONG_PTR returned = 0;
  EXPECT_FALSE(NT_SUCCESS(Get(15, &status, sizeof status, &returned)));
  EXPECT_EQ(status, 0xCCCCCCCCu);
  EXPECT_FALSE(NT_SUCCESS(SetValue<ULONG>(13, 1)));
  card.sim->I2c().SetNak(0xF4, false);
  card.sim->I2c().SetNak(0xB8, false);
  Finish();
}

// ---- Encoder-API sets

TEST_F(EncoderSettingsTest, EncoderApiModeSetsThePeakItImplies) {
  struct Case {
    const char* name;
    LONG rate, peak;  // before
    LONG mode;
    LONG bitRateMode, peakAfter;
  };
  const Case cases[] = {
      {"constant", 4000000, 5000000, 0, 1, 5000000},
      {"variable average derives the peak", 4000000, 5000000, 1, 0, 6000000},
      {"variable peak keeps a suitable peak", 4000000, 5000000, 2, 0, 5000000},
      {"variable peak replaces a peak too high", 4000000, 7000000, 2, 0, 6000000},
      {"variable peak replaces a peak too low", 4000000, 4000000, 2, 0, 6000000},
      {"above 6 Mbit/s the peak is 11/10", 8000000, 5000000, 1, 0, 8800000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PluggedCard& card = Plug("kind1.card", c.name);
    card.driverData->SetDword("BitRate", static_cast<ULONG>(c.rate));
    card.driverData->SetDword("BitRatePeak", static_cast<ULONG>(c.peak));
    Start(card);
    EXPECT_EQ(SetValue<LONG>(0, c.mode, pelgar::kEncApiBitRateMode), STATUS_SUCCESS);
    EXPECT_EQ(Settings()->BitRateMode(), c.bitRateMode);
    EXPECT_EQ(Settings()->BitRatePeak(), c.peakAfter);
    EXPECT_EQ(GetValue<LONG>(0, pelgar::kEncApiBitRateMode), c.mode);
    EXPECT_EQ(GetValue<ULONG>(0, pelgar::kEncApiPeakBitRate), static_cast<ULONG>(c.peakAfter));
    Finish();
    cards.clear();
  }
}

TEST_F(EncoderSettingsTest, EncoderApiBitRateFollowsTheModeAndStaysInItsRange) {
  PluggedCard& card = Plug("kind1.card");
  Start(card);
  ASSERT_EQ(SetValue<LONG>(0, 1, pelgar::kEncApiBitRateMode), STATUS_SUCCESS);
  Commands();
  EXPECT_EQ(SetValue<ULONG>(0, 8000000, pelgar::kEncApiBitRate), STATUS_SUCCESS);
  EXPECT_EQ(Settings()->BitRatePeak(), 8800000);
  EXPECT_EQ(Commands(), "mb0 0x95(0,8000000,18750) -> 0x0\nmb0 0x95(0,8000000,22000) -> 0x0\n");
  EXPECT_EQ(GetValue<ULONG>(0, pelgar::kEncApiBitRate), 8000000u);

  struct Case {
    const char* name;
    const GUID* set;
    ULONG value;
  };
  const Case refused[] = {
      {"rate below the range", &pelgar::kEncApiBitRate, 1499999},
      {"rate above the range", &pelgar::kEncApiBitRate, 8500001},
      {"rate that would overflow the peak", &pelgar::kEncApiBitRate, 0xFFFFFFFF},
      {"peak below the range", &pelgar::kEncApiPeakBitRate, 2249999},
      {"peak above the range", &pelgar::kEncApiPeakBitRate, 9500001},
      {"mode 3", &pelgar::kEncApiBitRateMode, 3},
      {"mode -1", &pelgar::kEncApiBitRateMode, 0xFFFFFFFF},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SetValue<ULONG>(0, c.value, *c.set), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Commands(), "");
  }
  EXPECT_EQ(Settings()->BitRate(), 8000000);
  EXPECT_EQ(Settings()->BitRatePeak(), 8800000);
  EXPECT_EQ(Settings()->EncApiMode(), 1);
  // The edges of the ranges are accepted.
  EXPECT_EQ(SetValue<ULONG>(0, 1500000, pelgar::kEncApiBitRate), STATUS_SUCCESS);
  EXPECT_EQ(SetValue<ULONG>(0, 9500000, pelgar::kEncApiPeakBitRate), STATUS_SUCCESS);
  EXPECT_EQ(Settings()->BitRatePeak(), 9500000);
  Finish();
}

TEST_F(EncoderSettingsTest, EncoderApiItemsDescribeTheirValues) {
  struct Case {
    const GUID* set;
    ULONG type;
    ULONG firstKind;  // members of the first list
    LONG first, last;
    LONG defaultValue;
  };
  const Case cases[] = {
      {&pelgar::kEncApiBitRate, VT_UI4, KSPROPERTY_MEMBER_STEPPEDRANGES, 1500000, 8500000, 4000000},
      {&pelgar::kEncApiPeakBitRate, VT_UI4, KSPROPERTY_MEMBER_STEPPEDRANGES, 2250000, 9500000, 6000000},
      {&pelgar::kEncApiBitRateMode, VT_I4, KSPROPERTY_MEMBER_VALUES, 0, 2, 0},
  };
  for (const Case& c : cases) {
    const KSPROPERTY_SET* set = nullptr;
    for (const KSPROPERTY_SET& s : pelgar::kEncoderPropertySets)
      if (IsEqualGUID(*s.Set, *c.set)) set = &s;
    ASSERT_NE(set, nullptr);
    ASSERT_EQ(set->PropertiesCount, 1u);
    const KSPROPERTY_ITEM& item = set->PropertyItem[0];
    EXPECT_EQ(item.MinProperty, 24u);
    EXPECT_EQ(item.MinData, 4u);
    EXPECT_EQ(item.SerializedSize, 4u);
    auto* values = static_cast<const KSPROPERTY_VALUES*>(item.Values);
    ASSERT_NE(values, nullptr);
    EXPECT_TRUE(IsEqualGUID(values->PropTypeSet.Set, KSPROPTYPESETID_General));
    EXPECT_EQ(values->PropTypeSet.Id, c.type);
    ASSERT_EQ(values->MembersListCount, 2u);
    const KSPROPERTY_MEMBERSLIST& list = values->MembersList[0];
    EXPECT_EQ(list.MembersHeader.MembersFlags, c.firstKind);
    if (c.firstKind == KSPROPERTY_MEMBER_STEPPEDRANGES) {
      auto* range = static_cast<const KSPROPERTY_STEPPING_LONG*>(list.Members);
      EXPECT_EQ(range->SteppingDelta, 1u);
      EXPECT_EQ(range->Bounds.SignedMinimum, c.first);
      EXPECT_EQ(range->Bounds.SignedMaximum, c.last);
    } else {
      auto* members = static_cast<const LONG*>(list.Members);
      ASSERT_EQ(list.MembersHeader.MembersCount, 3u);
      EXPECT_EQ(members[0], c.first);
      EXPECT_EQ(members[2], c.last);
    }
    const KSPROPERTY_MEMBERSLIST& defaults = values->MembersList[1];
    EXPECT_EQ(defaults.MembersHeader.Flags, KSPROPERTY_MEMBER_FLAG_DEFAULT);
    EXPECT_EQ(*static_cast<const LONG*>(defaults.Members), c.defaultValue);
  }
}

}  // namespace
