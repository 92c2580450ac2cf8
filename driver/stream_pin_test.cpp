#include "driver/stream_pin.h"

#include <cstring>

#include "driver/encoder_mailbox.h"
#include "driver/encoder_settings.h"
#include "driver/filters.h"
#include "driver/pelgar_test_fixture.h"
#include "driver/simcard/firmware_image.h"
#include "driver/simcard/mpeg_stream.h"

namespace {

using pelgar::PelgarDevice;

constexpr GUID kMediumEncoderVideo = {0x0F8ED065, 0xF820, 0x4A1F, {0x98, 0x22, 0xEA, 0xAE, 0x04, 0x3A, 0x19, 0xAB}};
constexpr ULONG kMpegPinId = 1;

KSDATAFORMAT MpegFormat() {
  KSDATAFORMAT format{};
  format.FormatSize = sizeof format;
  format.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
  format.SubFormat = MEDIASUBTYPE_MPEG2_PROGRAM;
  format.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  return format;
}

// A started kind-1 card whose encoder runs the test firmware, with an encoder filter open on it.
class StreamPinTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    card = &Plug("kind1.card");
    device = StartWithTestFirmware(*card);
    ASSERT_NE(device, nullptr);
    filter = ks.OpenFilter(device, &pelgar::kEncoderFilterDescriptor);
    ASSERT_NE(filter, nullptr);
  }
  void TearDown() override {
    for (PKSPIN pin : pins) ks.ClosePin(pin);
    for (PKSFILTER f : {filter, second})
      if (f != nullptr) ks.CloseFilter(f);
    EXPECT_EQ(kernel.OutstandingBlocks(pelgar::kPinEditTag), 0u) << "descriptor and framing copies freed";
    if (device != nullptr) {
      ks.Stop(device);
      RemoveAndCheck(device);
    }
    DriverFixture::TearDown();
  }

  PelgarDevice* Dev() { return Context(device); }
  PKSPIN MpegPin(PKSFILTER on) {
    KSDATAFORMAT format = MpegFormat();
    PKSPIN pin = nullptr;
    EXPECT_EQ(ks.CreatePin(on, kMpegPinId, &format, sizeof format, &pin), STATUS_SUCCESS);
    if (pin != nullptr) pins.push_back(pin);
    return pin;
  }

  PluggedCard* card = nullptr;
  PKSDEVICE device = nullptr;
  PKSFILTER filter = nullptr;
  PKSFILTER second = nullptr;
  std::vector<PKSPIN> pins;
};

TEST_F(StreamPinTest, EncoderFilterCarriesItsPinsPropertySetsAndTheCardsMedium) {
  const KSFILTER_DESCRIPTOR& shared = pelgar::kEncoderFilterDescriptor;
  EXPECT_EQ(shared.AutomationTable, &pelgar::kEncoderAutomationTable);
  ASSERT_EQ(shared.PinDescriptorsCount, 3u);
  EXPECT_EQ(shared.CategoriesCount, 2u);
  const struct {
    ULONG flags;
    KSPIN_DATAFLOW flow;
    ULONG necessary;
  } expected[] = {{0x80040, KSPIN_DATAFLOW_IN, 1}, {0x100, KSPIN_DATAFLOW_OUT, 0}, {0x10, KSPIN_DATAFLOW_OUT, 0}};
  for (ULONG i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(shared.PinDescriptors[i].Flags, expected[i].flags);
    EXPECT_EQ(shared.PinDescriptors[i].PinDescriptor.DataFlow, expected[i].flow);
    EXPECT_EQ(shared.PinDescriptors[i].InstancesPossible, 1u);
    EXPECT_EQ(shared.PinDescriptors[i].InstancesNecessary, expected[i].necessary);
  }
  // The open filter's own copy names this card's instance; the shared descriptor stays as it was.
  const KSPIN_DESCRIPTOR& videoIn = filter->Descriptor->PinDescriptors[0].PinDescriptor;
  ASSERT_EQ(videoIn.MediumsCount, 1u);
  EXPECT_TRUE(IsEqualGUID(videoIn.Mediums[0].Set, kMediumEncoderVideo));
  EXPECT_EQ(videoIn.Mediums[0].Id, Dev()->instance);
  EXPECT_EQ(shared.PinDescriptors[0].PinDescriptor.Mediums[0].Id, 0u);
  EXPECT_NE(filter->Descriptor, &shared);
}

TEST_F(StreamPinTest, MpegPinDeliversEveryPackOnceInOrderInItsOwnFraming) {
  PKSPIN pin = MpegPin(filter);
  ASSERT_NE(pin, nullptr);
  const KS_FRAMING_ITEM& framing = pin->Descriptor->AllocatorFraming->FramingItem[0];
  EXPECT_EQ(framing.Frames, pelgar::kMpegFrames);
  EXPECT_EQ(framing.PhysicalRange.MaxFrameSize, pelgar::kMpegFrameBytes);
  EXPECT_EQ(framing.FramingRange.Range.MinFrameSize, pelgar::kMpegFrameBytes);
  EXPECT_EQ(framing.FramingRange.Range.Stepping, 0u);
  EXPECT_EQ(pelgar::kEncoderFilterDescriptor.PinDescriptors[kMpegPinId].AllocatorFraming->FramingItem[0].Frames, 2u)
      << "the template stays shared and unchanged";

  ks.QueueFrames(pin, framing.Frames, framing.FramingRange.Range.MaxFrameSize);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(Dev()->pins[pelgar::kStreamIndexMpeg], pin->Context);
  EXPECT_EQ(Dev()->streamMask, pelgar::kStreamMpeg);
  // The application hands every completed frame straight back.
  size_t handedBack = 0;
  for (int i = 0; i < 40; ++i) {
    kernel.RunFor(25 * ksim::kMillisecond);
    size_t done = ks.CompletedFrames(pin).size();
    ks.QueueFrames(pin, static_cast<ULONG>(done - handedBack), pelgar::kMpegFrameBytes);
    handedBack = done;
  }
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(Dev()->streamMask, 0u);
  EXPECT_EQ(Dev()->pins[pelgar::kStreamIndexMpeg], nullptr);
  kernel.RunFor(10 * ksim::kMillisecond);

  const auto& frames = ks.CompletedFrames(pin);
  simcard::MpegStreamChecker checker;
  for (const auto& f : frames) checker.Feed(f.data.data(), f.data.size());
  const auto& tally = checker.Result();
  EXPECT_GT(tally.packs, 200u);
  EXPECT_EQ(tally.lost, 0u);
  EXPECT_EQ(tally.damaged, 0u);
  EXPECT_EQ(tally.duplicated + tally.reordered, 0u);
  EXPECT_EQ(checker.PendingBytes(), 0u);
  EXPECT_EQ(tally.packs, card->sim->Firmware().PacksDelivered());
  ASSERT_FALSE(frames.empty());
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    const KSSTREAM_HEADER& h = frames[i].header;
    ULONG discontinuity = i == 0 ? KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY : 0;
    if (h.DataUsed != 0) {
      EXPECT_EQ(h.OptionsFlags, KSSTREAM_HEADER_OPTIONSF_DURATIONVALID | discontinuity);
    }
    EXPECT_EQ(h.PresentationTime.Numerator, 1u);
    EXPECT_EQ(h.PresentationTime.Denominator, 1u);
    EXPECT_EQ(h.FrameExtent, pelgar::kMpegFrameBytes);
  }

  // Once completed, no page of a frame is reachable by the card any more.
  uint8_t probe[4];
  for (uint64_t page : frames.front().pages) EXPECT_FALSE(kernel.DmaRead(page, probe, sizeof probe));
  EXPECT_FALSE(kernel.TakeFaults().empty());
}

TEST_F(StreamPinTest, OnlyOnePinOwnsTheMpegSlotAndPauseKeepsIt) {
  second = ks.OpenFilter(device, &pelgar::kEncoderFilterDescriptor);
  ASSERT_NE(second, nullptr);
  PKSPIN first = MpegPin(filter);
  PKSPIN other = MpegPin(second);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(ks.SetPinState(first, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(ks.SetPinState(other, KSSTATE_ACQUIRE), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(other->DeviceState, KSSTATE_STOP);

  ks.QueueFrames(first, 4, pelgar::kMpegFrameBytes);
  ASSERT_EQ(ks.SetPinState(first, KSSTATE_RUN), STATUS_SUCCESS);
  kernel.RunFor(200 * ksim::kMillisecond);
  ASSERT_EQ(ks.SetPinState(first, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(Dev()->streamMask, 0u) << "pause stops the stream";
  EXPECT_EQ(KsPinGetFirstCloneStreamPointer(first), nullptr) << "no buffer stays with the engine";
  EXPECT_EQ(ks.SetPinState(other, KSSTATE_ACQUIRE), STATUS_INSUFFICIENT_RESOURCES) << "the slot stays claimed";

  ASSERT_EQ(ks.SetPinState(first, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(ks.SetPinState(other, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(Dev()->pins[pelgar::kStreamIndexMpeg], other->Context);
}

TEST_F(StreamPinTest, MpegIntersectionAnswersWithThePinsOwnRange) {
  KSDATARANGE wanted = MpegFormat();
  const struct {
    const char* name;
    ULONG length;
    NTSTATUS status;
    ULONG returned;
  } cases[] = {
      {"size query", 0, STATUS_BUFFER_OVERFLOW, 64},
      {"short buffer", 63, STATUS_BUFFER_TOO_SMALL, 0},
      {"exact buffer", 64, STATUS_SUCCESS, 64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> out(80, 0xCC);
    ULONG returned = 0xDEADBEEF;
    EXPECT_EQ(ks.IntersectFormat(filter, kMpegPinId, &wanted, out.data(), c.length, &returned), c.status);
    EXPECT_EQ(returned, c.returned);
    EXPECT_EQ(out[64], 0xCC) << "nothing written past the result";
    if (c.status == STATUS_SUCCESS) {
      KSDATAFORMAT result;
      std::memcpy(&result, out.data(), sizeof result);
      EXPECT_EQ(result.FormatSize, 64u);
      EXPECT_TRUE(IsEqualGUID(result.SubFormat, MEDIASUBTYPE_MPEG2_PROGRAM));
    }
  }
  KSDATARANGE other = wanted;
  other.SubFormat = KSDATAFORMAT_SPECIFIER_NONE;
  uint8_t out[64];
  ULONG returned = 0;
  EXPECT_EQ(ks.IntersectFormat(filter, kMpegPinId, &other, out, sizeof out, &returned), STATUS_NO_MATCH);
  PKSPIN pin = nullptr;
  EXPECT_EQ(ks.CreatePin(filter, kMpegPinId, &other, sizeof other, &pin), STATUS_NO_MATCH);
  EXPECT_EQ(pin, nullptr);
}

}  // namespace
