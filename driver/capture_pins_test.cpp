#include "driver/capture_pins.h"

#include <cstring>

#include "driver/capture_properties.h"
#include "driver/encoder_settings.h"
#include "driver/filters.h"
#include "driver/pelgar_test_fixture.h"
#include "driver/simcard/encoder_firmware.h"
#include "driver/simcard/firmware_image.h"

namespace {

using pelgar::PelgarDevice;

// Pins of the video capture filter and the encoder filter.
constexpr ULONG kAnalogVideoIn = 0, kAnalogAudioIn = 1, kRawVideo = 2, kRawAudio = 3, kVbi = 4, kHandOver = 5;
constexpr ULONG kEncoderVideoIn = 0;
constexpr ULONG kAudioCaptureOut = 1;

constexpr GUID kMediumCrossbarVideo = {0x0F8ED061, 0xF820, 0x4A1F, {0x98, 0x22, 0xEA, 0xAE, 0x04, 0x3A, 0x19, 0xAB}};
constexpr GUID kMediumCrossbarAudio = {0xF8ED06F0, 0xF820, 0x4A1F, {0x98, 0x22, 0xEA, 0xAE, 0x04, 0x3A, 0x19, 0xAB}};
constexpr GUID kMediumEncoderVideo = {0x0F8ED065, 0xF820, 0x4A1F, {0x98, 0x22, 0xEA, 0xAE, 0x04, 0x3A, 0x19, 0xAB}};
constexpr GUID kAudioIn = {0x3E2D189F, 0xB15C, 0x4447, {0x96, 0xF1, 0xBD, 0x1D, 0x64, 0xFB, 0x99, 0xBA}};
constexpr GUID kAudioCaptureName = {0x9DA02733, 0x7910, 0x40F2, {0x95, 0xDD, 0x04, 0x41, 0x67, 0x6C, 0x9A, 0x9B}};
constexpr GUID kHandOverCategory = {0x4EF89945, 0x4D43, 0x48D7, {0xA4, 0x42, 0xA1, 0xB4, 0xE7, 0x81, 0x30, 0x36}};

// A video format as an application connects with it, from one of the driver's ranges.
KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat(ULONG rangeIndex, LONG width, LONG height) {
  const KS_DATARANGE_VIDEO& range = pelgar::kVideoRanges[rangeIndex];
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  std::memcpy(&format.DataFormat, &range.DataRange, sizeof(KSDATAFORMAT));
  format.DataFormat.FormatSize = sizeof format;
  format.VideoInfoHeader = range.VideoInfoHeader;
  format.VideoInfoHeader.bmiHeader.biWidth = width;
  format.VideoInfoHeader.bmiHeader.biHeight = height;
  format.VideoInfoHeader.bmiHeader.biSizeImage = pelgar::ImageSize(range, height);
  format.DataFormat.SampleSize = format.VideoInfoHeader.bmiHeader.biSizeImage;
  return format;
}

KS_DATAFORMAT_VBIINFOHEADER VbiFormat(const KS_DATARANGE_VBI& range) {
  KS_DATAFORMAT_VBIINFOHEADER format{};
  std::memcpy(&format.DataFormat, &range.DataRange, sizeof(KSDATAFORMAT));
  format.DataFormat.FormatSize = sizeof format;
  format.VBIInfoHeader = range.VBIInfoHeader;
  return format;
}

// A PCM format (82 bytes) at `rate`.
std::vector<uint8_t> PcmFormat(ULONG rate) {
  std::vector<uint8_t> bytes(KSDATAFORMAT_WAVEFORMATEX_BYTES);
  KSDATAFORMAT header;
  std::memcpy(&header, &pelgar::kPcmRange.DataRange, sizeof header);
  header.FormatSize = KSDATAFORMAT_WAVEFORMATEX_BYTES;
  std::memcpy(bytes.data(), &header, sizeof header);
  const WAVEFORMATEX wave = {WAVE_FORMAT_PCM, 2, rate, 4 * rate, 4, 16, 0};
  std::memcpy(bytes.data() + sizeof header, &wave, sizeof wave);
  return bytes;
}

template <class T>
T Read(const std::vector<uint8_t>& bytes, size_t offset = 0) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

const KSPIN_DESCRIPTOR_EX& PinOf(const KSFILTER_DESCRIPTOR* descriptor, ULONG id) {
  return descriptor->PinDescriptors[id];
}

// The range a pin of an open filter carries now.
const KSDATARANGE* RangeOf(PKSFILTER filter, ULONG id) {
  return PinOf(filter->Descriptor, id).PinDescriptor.DataRanges[0];
}

// A started card (kind 1 with the given standard) whose encoder runs the test firmware, with a video
// capture filter open on it.
class CapturePinTest : public DriverFixture {
 protected:
  void SetUp() override { StartCard(1); }
  void StartCard(ULONG standard) {
    DriverFixture::SetUp();
    std::string text = CardText("kind1.card");
    const std::string line = "driverdata VideoStandard 1";
    text.replace(text.find(line), line.size(), "driverdata VideoStandard " + std::to_string(standard));
    card = &PlugText(text);
    device = StartWithTestFirmware(*card);
    ASSERT_NE(device, nullptr);
    filter = OpenCapture();
    ASSERT_NE(filter, nullptr);
  }
  void TearDown() override {
    for (PKSPIN pin : pins) ks.ClosePin(pin);
    for (PKSFILTER f : filters) ks.CloseFilter(f);
    EXPECT_EQ(kernel.OutstandingBlocks(pelgar::kPinEditTag), 0u) << "filter contexts and edited copies freed";
    if (device != nullptr) {
      ks.Stop(device);
      RemoveAndCheck(device);
    }
    DriverFixture::TearDown();
  }

  PelgarDevice* Dev() { return Context(device); }
  PKSFILTER Open(const KSFILTER_DESCRIPTOR* descriptor) {
    PKSFILTER f = ks.OpenFilter(device, descriptor);
    if (f != nullptr) filters.push_back(f);
    return f;
  }
  PKSFILTER OpenCapture() { return Open(&pelgar::kVideoCaptureFilterDescriptor); }
  NTSTATUS Create(PKSFILTER on, ULONG id, const void* format, ULONG size, PKSPIN* pin) {
    NTSTATUS status = ks.CreatePin(on, id, static_cast<const KSDATAFORMAT*>(format), size, pin);
    if (*pin != nullptr) pins.push_back(*pin);
    return status;
  }
  PKSPIN RawVideo(LONG width = 720, LONG height = 480) {
    KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat(pelgar::kNvp2Range525, width, height);
    PKSPIN pin = nullptr;
    EXPECT_EQ(Create(filter, kRawVideo, &format, sizeof format, &pin), STATUS_SUCCESS);
    return pin;
  }
  PKSPIN Vbi() {
    KS_DATAFORMAT_VBIINFOHEADER format =
        VbiFormat(pelgar::g_is525Lines ? pelgar::kVbiRange525 : pelgar::kVbiRange625);
    PKSPIN pin = nullptr;
    EXPECT_EQ(Create(filter, kVbi, &format, sizeof format, &pin), STATUS_SUCCESS);
    return pin;
  }
  void ClosePin(PKSPIN pin) {
    ks.ClosePin(pin);
    pins.erase(std::find(pins.begin(), pins.end(), pin));
  }
  // Lets the card run for `ms` milliseconds, handing every completed frame back at once.
  void Stream(PKSPIN pin, int ms, ULONG bytes) {
    size_t handedBack = ks.CompletedFrames(pin).size();
    for (int t = 0; t < ms; t += 10) {
      kernel.RunFor(10 * ksim::kMillisecond);
      size_t done = ks.CompletedFrames(pin).size();
      if (done > handedBack) ks.QueueFrames(pin, static_cast<ULONG>(done - handedBack), bytes);
      handedBack = done;
    }
  }

  PluggedCard* card = nullptr;
  PKSDEVICE device = nullptr;
  PKSFILTER filter = nullptr;
  std::vector<PKSFILTER> filters;
  std::vector<PKSPIN> pins;
};

// ---- Filters

TEST_F(CapturePinTest, VideoCaptureFilterCarriesItsSixPinsWithTheCardsMediums) {
  const KSFILTER_DESCRIPTOR& shared = pelgar::kVideoCaptureFilterDescriptor;
  EXPECT_EQ(shared.AutomationTable, &pelgar::kVideoCaptureAutomationTable);
  ASSERT_EQ(shared.CategoriesCount, 2u);
  EXPECT_TRUE(IsEqualGUID(shared.Categories[0], KSCATEGORY_VIDEO));
  EXPECT_TRUE(IsEqualGUID(shared.Categories[1], KSCATEGORY_CAPTURE));
  ASSERT_EQ(shared.PinDescriptorsCount, 6u);
  const struct {
    KSPIN_DATAFLOW flow;
    const GUID* category;
    const GUID* name;
    ULONG flags;
    ULONG necessary;
    const GUID* medium;
    ULONG ranges;
    bool framing;
  } expected[] = {
      {KSPIN_DATAFLOW_IN, &PINNAME_VIDEO_ANALOGVIDEOIN, &PINNAME_VIDEO_ANALOGVIDEOIN, 0x40000, 1,
       &kMediumCrossbarVideo, 1, false},
      {KSPIN_DATAFLOW_IN, &kAudioIn, &kAudioIn, 0, 0, &kMediumCrossbarAudio, 1, true},
      {KSPIN_DATAFLOW_OUT, &PINNAME_VIDEO_CAPTURE, &PINNAME_VIDEO_CAPTURE, 0x110, 0, nullptr, 1, true},
      {KSPIN_DATAFLOW_OUT, &PINNAME_VIDEO_CAPTURE, &kAudioCaptureName, 0x10, 0, nullptr, 1, true},
      {KSPIN_DATAFLOW_OUT, &PINNAME_VIDEO_VBI, &PINNAME_VIDEO_VBI, 0x10, 0, nullptr, 2, true},
      {KSPIN_DATAFLOW_OUT, &kHandOverCategory, &kHandOverCategory, 0x80040, 0, &kMediumEncoderVideo, 1, false},
  };
  for (ULONG i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const KSPIN_DESCRIPTOR_EX& own = PinOf(filter->Descriptor, i);
    EXPECT_EQ(own.PinDescriptor.DataFlow, expected[i].flow);
    EXPECT_TRUE(IsEqualGUID(*own.PinDescriptor.Category, *expected[i].category));
    EXPECT_TRUE(IsEqualGUID(*own.PinDescriptor.Name, *expected[i].name));
    EXPECT_EQ(own.Flags, expected[i].flags);
    EXPECT_EQ(own.InstancesPossible, 1u);
    EXPECT_EQ(own.InstancesNecessary, expected[i].necessary);
    EXPECT_EQ(own.PinDescriptor.DataRangesCount, expected[i].ranges);
    EXPECT_EQ(own.AllocatorFraming != nullptr, expected[i].framing);
    if (expected[i].medium == nullptr) {
      EXPECT_EQ(own.PinDescriptor.MediumsCount, 0u);
      continue;
    }
    ASSERT_EQ(own.PinDescriptor.MediumsCount, 1u);
    EXPECT_TRUE(IsEqualGUID(own.PinDescriptor.Mediums[0].Set, *expected[i].medium));
    EXPECT_EQ(own.PinDescriptor.Mediums[0].Id, Dev()->instance) << "the open filter's copy names the card";
    EXPECT_EQ(PinOf(&shared, i).PinDescriptor.Mediums[0].Id, 0u) << "the shared descriptor stays as it was";
  }
  EXPECT_NE(filter->Descriptor, &shared);
  ASSERT_NE(filter->Context, nullptr);
}

TEST_F(CapturePinTest, AudioCaptureAndPlaceholderFiltersCarryTheirPinsAndTopology) {
  const KSFILTER_DESCRIPTOR& audio = pelgar::kAudioCaptureFilterDescriptor;
  ASSERT_EQ(audio.CategoriesCount, 2u);
  EXPECT_TRUE(IsEqualGUID(audio.Categories[0], KSCATEGORY_AUDIO));
  EXPECT_TRUE(IsEqualGUID(audio.Categories[1], KSCATEGORY_CAPTURE));
  ASSERT_EQ(audio.PinDescriptorsCount, 2u);
  EXPECT_EQ(audio.PinDescriptors[0].PinDescriptor.DataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_EQ(audio.PinDescriptors[0].PinDescriptor.Communication, KSPIN_COMMUNICATION_NONE);
  EXPECT_EQ(audio.PinDescriptors[0].Flags, 0x80000u);
  EXPECT_EQ(audio.PinDescriptors[0].PinDescriptor.DataRangesCount, 0u);
  EXPECT_EQ(audio.PinDescriptors[1].Flags, 0x100010u);
  EXPECT_TRUE(IsEqualGUID(*audio.PinDescriptors[1].PinDescriptor.Name, kAudioCaptureName));
  EXPECT_EQ(audio.PinDescriptors[1].PinDescriptor.DataRanges[0], &pelgar::kPcmRange.DataRange);
  ASSERT_EQ(audio.NodeDescriptorsCount, 1u);
  EXPECT_TRUE(IsEqualGUID(*audio.NodeDescriptors[0].Type, KSNODETYPE_DEV_SPECIFIC));
  ASSERT_EQ(audio.ConnectionsCount, 2u);
  const KSTOPOLOGY_CONNECTION in = audio.Connections[0], out = audio.Connections[1];
  EXPECT_EQ(std::tie(in.FromNode, in.FromNodePin, in.ToNode, in.ToNodePin),
            std::make_tuple(KSFILTER_NODE, 0u, 0u, 1u));
  EXPECT_EQ(std::tie(out.FromNode, out.FromNodePin, out.ToNode, out.ToNodePin),
            std::make_tuple(0u, 0u, KSFILTER_NODE, 1u));

  const struct {
    const char* name;
    const KSFILTER_DESCRIPTOR& descriptor;
    const GUID& category;
    ULONG pins;
    ULONG necessary;
    ULONG flags;
  } placeholders[] = {
      {"TV audio", pelgar::TvAudioFilterDescriptor(), KSCATEGORY_TVAUDIO, 2, 1, 0x180040},
      {"crossbar", pelgar::CrossbarFilterDescriptor(), KSCATEGORY_CROSSBAR, 1, 0, 0x80040},
      {"tuner", pelgar::TunerFilterDescriptor(), KSCATEGORY_TVTUNER, 1, 0, 0x80040},
  };
  for (const auto& p : placeholders) {
    SCOPED_TRACE(p.name);
    ASSERT_EQ(p.descriptor.CategoriesCount, 1u);
    EXPECT_TRUE(IsEqualGUID(p.descriptor.Categories[0], p.category));
    ASSERT_EQ(p.descriptor.PinDescriptorsCount, p.pins);
    for (ULONG i = 0; i < p.pins; ++i) {
      EXPECT_EQ(p.descriptor.PinDescriptors[i].Flags, p.flags);
      EXPECT_EQ(p.descriptor.PinDescriptors[i].InstancesNecessary, p.necessary);
      EXPECT_EQ(p.descriptor.PinDescriptors[i].PinDescriptor.DataRangesCount, 0u);
    }
  }
  EXPECT_EQ(pelgar::TvAudioFilterDescriptor().PinDescriptors[0].PinDescriptor.DataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_EQ(pelgar::TvAudioFilterDescriptor().PinDescriptors[1].PinDescriptor.DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(pelgar::TunerFilterDescriptor().PinDescriptors[0].PinDescriptor.Communication, KSPIN_COMMUNICATION_NONE);
}

TEST(DataRanges, VideoRangesCarryTheTableValues) {
  const struct {
    const char* name;
    ULONG index;
    GUID subtype;
    ULONG standards;
    LONG inputHeight, minWidth, height;
    LONGLONG interval;
    LONG minBits, maxBits, bitmapWidth;
    ULONG image, sample, bitRate;
  } rows[] = {
      {"NVP2 525", pelgar::kNvp2Range525, pelgar::kSubtypeNvp2, 0xA07, 480, 320, 480, 333667, 11059200, 124416000,
       720, 518400, 518400, 124416000},
      {"NVP1 525", pelgar::kNvp1Range525, pelgar::kSubtypeNvp1, 0xA07, 240, 320, 240, 333667, 5529600, 62208000, 320,
       518400, 115200, 27648000},
      {"NVP2 625", pelgar::kNvp2Range625, pelgar::kSubtypeNvp2, 0x1FF5F0, 576, 352, 576, 400000, 14598144, 124416000,
       720, 622080, 622080, 124416000},
      {"NVP1 625", pelgar::kNvp1Range625, pelgar::kSubtypeNvp1, 0x1FF5F0, 288, 352, 288, 400000, 7299072, 62208000,
       352, 622080, 152064, 30412800},
  };
  EXPECT_EQ(pelgar::kSubtypeNvp2.Data1, 0x3250564Eu) << "the FourCC's first character in the lowest byte";
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const KS_DATARANGE_VIDEO& v = pelgar::kVideoRanges[r.index];
    EXPECT_EQ(v.DataRange.FormatSize, 296u);
    EXPECT_EQ(v.DataRange.SampleSize, r.sample);
    EXPECT_TRUE(IsEqualGUID(v.DataRange.MajorFormat, KSDATAFORMAT_TYPE_VIDEO));
    EXPECT_TRUE(IsEqualGUID(v.DataRange.SubFormat, r.subtype));
    EXPECT_TRUE(IsEqualGUID(v.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO));
    EXPECT_EQ(std::tie(v.bFixedSizeSamples, v.bTemporalCompression), std::make_tuple(1, 1));
    EXPECT_EQ(std::tie(v.StreamDescriptionFlags, v.MemoryAllocationFlags), std::make_tuple(2u, 0u));
    const KS_VIDEO_STREAM_CONFIG_CAPS& c = v.ConfigCaps;
    EXPECT_EQ(c.VideoStandard, r.standards);
    EXPECT_EQ(std::tie(c.InputSize.cx, c.InputSize.cy), std::make_tuple(720, r.inputHeight));
    EXPECT_EQ(std::tie(c.MinOutputSize.cx, c.MinOutputSize.cy), std::make_tuple(r.minWidth, r.height));
    EXPECT_EQ(std::tie(c.MaxOutputSize.cx, c.MaxOutputSize.cy), std::make_tuple(720, r.height));
    EXPECT_EQ(std::tie(c.MinCroppingSize.cx, c.MaxCroppingSize.cy), std::make_tuple(r.minWidth, r.height));
    EXPECT_EQ(std::tie(c.CropGranularityX, c.CropAlignY, c.OutputGranularityX, c.StretchTapsX, c.ShrinkTapsY),
              std::make_tuple(1, 1, 1, 0, 0));
    EXPECT_EQ(std::tie(c.MinFrameInterval, c.MaxFrameInterval), std::make_tuple(r.interval, r.interval));
    EXPECT_EQ(std::tie(c.MinBitsPerSecond, c.MaxBitsPerSecond), std::make_tuple(r.minBits, r.maxBits));
    const KS_VIDEOINFOHEADER& h = v.VideoInfoHeader;
    EXPECT_EQ(h.rcSource.right, 0);
    EXPECT_EQ(h.dwBitRate, r.bitRate);
    EXPECT_EQ(h.AvgTimePerFrame, r.interval);
    EXPECT_EQ(std::tie(h.bmiHeader.biWidth, h.bmiHeader.biHeight), std::make_tuple(r.bitmapWidth, r.height));
    EXPECT_EQ(std::tie(h.bmiHeader.biBitCount, h.bmiHeader.biPlanes), std::make_tuple(USHORT{12}, USHORT{1}));
    EXPECT_EQ(h.bmiHeader.biSizeImage, r.image);
  }
}

TEST(DataRanges, VbiAndPcmRangesCarryTheTableValues) {
  const struct {
    const char* name;
    const KS_DATARANGE_VBI& range;
    ULONG sample, standard;
    LONG lines;
    ULONG start, end;
    LONGLONG interval;
    LONG bits;
  } rows[] = {{"525", pelgar::kVbiRange525, 17280, 1, 12, 10, 21, 333667, 8294400},
              {"625", pelgar::kVbiRange625, 25920, 16, 18, 6, 23, 400000, 10368000}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const KS_DATARANGE_VBI& v = r.range;
    EXPECT_EQ(v.DataRange.FormatSize, 256u);
    EXPECT_EQ(v.DataRange.SampleSize, r.sample);
    EXPECT_TRUE(IsEqualGUID(v.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_RAW8));
    EXPECT_EQ(v.StreamDescriptionFlags, 16u);
    EXPECT_EQ(std::tie(v.ConfigCaps.InputSize.cx, v.ConfigCaps.InputSize.cy), std::make_tuple(1440, r.lines));
    EXPECT_EQ(v.ConfigCaps.MinFrameInterval, r.interval);
    EXPECT_EQ(v.ConfigCaps.MaxBitsPerSecond, r.bits);
    const KS_VBIINFOHEADER& h = v.VBIInfoHeader;
    EXPECT_EQ(std::tie(h.StartLine, h.EndLine, h.VideoStandard), std::make_tuple(r.start, r.end, r.standard));
    EXPECT_EQ(h.SamplingFrequency, 27000000u);
    EXPECT_EQ(std::tie(h.MinLineStartTime, h.MaxLineStartTime, h.ActualLineStartTime, h.ActualLineEndTime),
              std::make_tuple(255u, 900u, 820u, 5942u));
    EXPECT_EQ(std::tie(h.SamplesPerLine, h.StrideInBytes, h.BufferSize), std::make_tuple(1440u, 1440u, r.sample));
  }
  const KSDATARANGE_AUDIO& pcm = pelgar::kPcmRange;
  EXPECT_EQ(pcm.DataRange.FormatSize, 88u);
  EXPECT_EQ(pcm.DataRange.SampleSize, 4u);
  EXPECT_EQ(std::tie(pcm.MaximumChannels, pcm.MinimumBitsPerSample, pcm.MaximumBitsPerSample),
            std::make_tuple(2u, 16u, 16u));
  EXPECT_EQ(std::tie(pcm.MinimumSampleFrequency, pcm.MaximumSampleFrequency), std::make_tuple(32000u, 48000u));
  EXPECT_EQ(pelgar::kAnalogVideoRange.DataRange.FormatSize, 112u);
}

// ---- Range switching

TEST_F(CapturePinTest, StreamTypeElevenSwitchesPinsTwoAndFiveOfEveryOpenFilter) {
  PKSFILTER other = OpenCapture();
  ASSERT_NE(other, nullptr);
  const KSDATARANGE* nvp2 = &pelgar::kVideoRanges[pelgar::kNvp2Range525].DataRange;
  const KSDATARANGE* nvp1 = &pelgar::kVideoRanges[pelgar::kNvp1Range525].DataRange;
  for (PKSFILTER f : {filter, other}) {
    EXPECT_EQ(RangeOf(f, kRawVideo), nvp2);
    EXPECT_EQ(RangeOf(f, kHandOver), nvp2);
  }
  const uint64_t acquisitions = ks.DeviceAcquisitions();
  ASSERT_EQ(Dev()->settings->SetStreamType(11), STATUS_SUCCESS);
  EXPECT_GT(ks.DeviceAcquisitions(), acquisitions) << "the filters are walked under the device mutex";
  for (PKSFILTER f : {filter, other}) {
    EXPECT_EQ(RangeOf(f, kRawVideo), nvp1);
    EXPECT_EQ(RangeOf(f, kHandOver), nvp1);
  }
  EXPECT_EQ(pelgar::kVideoCaptureFilterDescriptor.PinDescriptors[kRawVideo].PinDescriptor.DataRanges[0], nvp2)
      << "the shared descriptor keeps its range";
  PKSFILTER later = OpenCapture();
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(RangeOf(later, kRawVideo), nvp1) << "a filter opened afterwards starts with the switched range";

  ASSERT_EQ(Dev()->settings->SetStreamType(10), STATUS_SUCCESS);
  for (PKSFILTER f : {filter, other, later}) EXPECT_EQ(RangeOf(f, kHandOver), nvp2);
  EXPECT_EQ(pelgar::SelectVideoRange(true, false), pelgar::kNvp1Range625);
  EXPECT_EQ(pelgar::SelectVideoRange(false, false), pelgar::kNvp2Range625);
}

TEST_F(CapturePinTest, AChangeOfLineCountSwitchesTheOpenFiltersRanges) {
  const KSDATARANGE* nvp2For525 = &pelgar::kVideoRanges[pelgar::kNvp2Range525].DataRange;
  const KSDATARANGE* nvp2For625 = &pelgar::kVideoRanges[pelgar::kNvp2Range625].DataRange;
  ASSERT_EQ(RangeOf(filter, kRawVideo), nvp2For525);
  ASSERT_EQ(pelgar::ChangeVideoStandard(Dev(), 0x10), STATUS_SUCCESS);  // 625 lines
  EXPECT_EQ(RangeOf(filter, kRawVideo), nvp2For625);
  EXPECT_EQ(RangeOf(filter, kHandOver), nvp2For625);
  ASSERT_EQ(pelgar::ChangeVideoStandard(Dev(), 0x1), STATUS_SUCCESS);  // back to 525 lines
  EXPECT_EQ(RangeOf(filter, kRawVideo), nvp2For525);
  EXPECT_EQ(RangeOf(filter, kHandOver), nvp2For525);
}

class CapturePin625Test : public CapturePinTest {
 protected:
  void SetUp() override { StartCard(16); }
};

TEST_F(CapturePin625Test, A625LineCardSelectsThe625Ranges) {
  EXPECT_FALSE(pelgar::g_is525Lines);
  EXPECT_EQ(RangeOf(filter, kRawVideo), &pelgar::kVideoRanges[pelgar::kNvp2Range625].DataRange);
  ASSERT_EQ(Dev()->settings->SetStreamType(2), STATUS_SUCCESS);
  EXPECT_EQ(RangeOf(filter, kHandOver), &pelgar::kVideoRanges[pelgar::kNvp1Range625].DataRange);
}

// ---- Raw video

TEST_F(CapturePinTest, RawVideoDeliversBothPlanesOfEveryFrameWithFrameInformation) {
  PKSPIN pin = RawVideo();
  ASSERT_NE(pin, nullptr);
  const KS_FRAMING_ITEM& framing = pin->Descriptor->AllocatorFraming->FramingItem[0];
  EXPECT_EQ(framing.Frames, 10u);
  EXPECT_EQ(framing.FramingRange.Range.MaxFrameSize, 518400u);
  EXPECT_EQ(framing.PhysicalRange.MinFrameSize, 518400u);
  EXPECT_EQ(std::make_tuple(Dev()->settings->Width(), Dev()->settings->Height()), std::make_tuple(720, 480))
      << "the format's size is the encoder's frame size";

  ks.QueueFrames(pin, 10, 518400);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(Dev()->streamMask, pelgar::kStreamRawVideo);
  Stream(pin, 300, 518400);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);

  const auto& frames = ks.CompletedFrames(pin);
  ASSERT_GE(frames.size(), 8u);
  ULONGLONG expectedFrame = 0;
  size_t full = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& f = frames[i];
    if (f.header.DataUsed == 0) continue;  // stopped before its transfer
    ASSERT_EQ(f.header.DataUsed, 518400u);
    ++full;
    EXPECT_EQ(f.header.Duration, 333667);
    EXPECT_EQ(f.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DURATIONVALID, KSSTREAM_HEADER_OPTIONSF_DURATIONVALID);
    EXPECT_EQ(f.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, 0u) << "no clock was assigned";
    uint64_t frame = Read<uint32_t>(f.data);
    EXPECT_EQ(frame, expectedFrame++) << "every frame once, in order";
    bool luma = true, chroma = true;
    for (uint32_t k = 0; k < 345600; k += 97) luma = luma && f.data[k] == simcard::RawVideoByte(frame, 0, k);
    for (uint32_t k = 0; k < 172800; k += 89)
      chroma = chroma && f.data[345600 + k] == simcard::RawVideoByte(frame, 1, k);
    EXPECT_TRUE(luma);
    EXPECT_TRUE(chroma);
    ASSERT_GE(f.extendedHeader.size(), sizeof(KS_FRAME_INFO));
    auto info = Read<KS_FRAME_INFO>(f.extendedHeader);
    EXPECT_EQ(info.ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
    EXPECT_EQ(info.dwFrameFlags, 0u);
    EXPECT_EQ(info.PictureNumber, static_cast<LONGLONG>(i + 1));
    EXPECT_EQ(info.DropCount, 0);
  }
  EXPECT_GE(full, 8u);
  EXPECT_NE(frames[0].header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY, 0u);
}

TEST_F(CapturePinTest, HalfHeightRawVideoCarriesFramesOfTheEncodersSize) {
  ASSERT_EQ(Dev()->settings->SetStreamType(11), STATUS_SUCCESS);
  KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat(pelgar::kNvp1Range525, 352, 240);
  PKSPIN pin = nullptr;
  ASSERT_EQ(Create(filter, kRawVideo, &format, sizeof format, &pin), STATUS_SUCCESS);
  ks.QueueFrames(pin, 10, 518400);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  Stream(pin, 200, 518400);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  constexpr uint32_t kLuma = 352 * 240, kChroma = kLuma / 2;
  size_t full = 0;
  for (const auto& f : ks.CompletedFrames(pin)) {
    if (f.header.DataUsed == 0) continue;
    ASSERT_GE(f.data.size(), kLuma + kChroma);
    const uint64_t frame = Read<uint32_t>(f.data);
    bool same = true;
    for (uint32_t k = 0; k < kLuma; k += 61) same = same && f.data[k] == simcard::RawVideoByte(frame, 0, k);
    for (uint32_t k = 0; k < kChroma; k += 59) same = same && f.data[kLuma + k] == simcard::RawVideoByte(frame, 1, k);
    EXPECT_TRUE(same) << "frame " << frame;
    ++full;
  }
  EXPECT_GE(full, 4u);
}

TEST_F(CapturePinTest, DroppedFramesCountsTheFramesThatFoundNoBuffer) {
  PKSPIN pin = RawVideo();
  ASSERT_NE(pin, nullptr);
  ks.QueueFrames(pin, 2, 518400);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  kernel.RunFor(400 * ksim::kMillisecond);  // about 12 frames, two buffers
  const ULONGLONG drops = static_cast<pelgar::StreamPin*>(pin->Context)->Drops();
  EXPECT_GE(drops, 8u);
  EXPECT_EQ(drops, Dev()->dmaEngine->Statistics().dropped[pelgar::kStreamIndexRawVideo]);

  KSPROPERTY_DROPPEDFRAMES_CURRENT_S value;
  std::memset(&value, 0xCC, sizeof value);
  ULONG_PTR returned = 0;
  ASSERT_EQ(ks.PinProperty(pin, PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, KSPROPERTY_TYPE_GET,
                           &value, sizeof value, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 48u);
  EXPECT_EQ(value.PictureNumber, 2);
  EXPECT_EQ(value.DropCount, static_cast<LONGLONG>(drops));
  EXPECT_EQ(value.AverageFrameSize, 518400u);
  ks.QueueFrames(pin, 1, 518400);
  kernel.RunFor(50 * ksim::kMillisecond);
  const auto& frames = ks.CompletedFrames(pin);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_GE(Read<KS_FRAME_INFO>(frames[2].extendedHeader).DropCount, static_cast<LONGLONG>(drops))
      << "the frame information carries the count";
  EXPECT_EQ(ks.PinProperty(pin, PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, KSPROPERTY_TYPE_GET,
                           &value, 40, &returned),
            STATUS_BUFFER_TOO_SMALL);

  // Acquiring from stop starts the counters again.
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(static_cast<pelgar::StreamPin*>(pin->Context)->Drops(), 0u);
}

TEST_F(CapturePinTest, RawVideoFormatIsCheckedAgainstTheSwitchedRange) {
  const struct {
    const char* name;
    LONG width, height;
    LONG sizeDelta;    // added to the right image size
    int field;         // 0 none, 1 bit count 16, 2 other compression, 3 other specifier
    ULONG formatSize;  // 0: the whole format
    NTSTATUS status;
  } cases[] = {
      {"720x480 with 518400 bytes", 720, 480, 0, 0, 0, STATUS_SUCCESS},
      {"one byte more than the image", 720, 480, 1, 0, 0, STATUS_INVALID_PARAMETER},
      {"narrowest width", 320, 480, 0, 0, 0, STATUS_SUCCESS},
      {"top-down bitmap", 720, -480, 0, 0, 0, STATUS_SUCCESS},
      {"zero width", 0, 480, 0, 0, 0, STATUS_NO_MATCH},
      {"width below the range", 319, 480, 0, 0, 0, STATUS_NO_MATCH},
      {"width above the range", 721, 480, 0, 0, 0, STATUS_NO_MATCH},
      {"negative width", -720, 480, 0, 0, 0, STATUS_NO_MATCH},
      {"height of the other standard", 720, 576, 0, 0, 0, STATUS_NO_MATCH},
      {"zero height", 720, 0, 0, 0, 0, STATUS_NO_MATCH},
      {"16 bits per pixel", 720, 480, 0, 1, 0, STATUS_NO_MATCH},
      {"other compression", 720, 480, 0, 2, 0, STATUS_NO_MATCH},
      {"format shorter than its structure", 720, 480, 0, 0, 151, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat(pelgar::kNvp2Range525, c.width, c.height);
    format.VideoInfoHeader.bmiHeader.biSizeImage += c.sizeDelta;
    if (c.field == 1) format.VideoInfoHeader.bmiHeader.biBitCount = 16;
    if (c.field == 2) format.VideoInfoHeader.bmiHeader.biCompression = pelgar::kSubtypeNvp1.Data1;
    std::vector<uint8_t> bytes(sizeof format);
    std::memcpy(bytes.data(), &format, sizeof format);
    if (c.formatSize != 0) {
      bytes.resize(c.formatSize);
      KSDATAFORMAT header = format.DataFormat;
      header.FormatSize = c.formatSize;
      std::memcpy(bytes.data(), &header, sizeof header);
    }
    PKSPIN pin = nullptr;
    EXPECT_EQ(Create(filter, kRawVideo, bytes.data(), static_cast<ULONG>(bytes.size()), &pin), c.status);
    if (pin != nullptr) ClosePin(pin);
  }
  // Half-height stream types take NVP1 formats, whose image is twice the height's share.
  ASSERT_EQ(Dev()->settings->SetStreamType(11), STATUS_SUCCESS);
  KS_DATAFORMAT_VIDEOINFOHEADER half = VideoFormat(pelgar::kNvp1Range525, 352, 240);
  EXPECT_EQ(half.VideoInfoHeader.bmiHeader.biSizeImage, 518400u);
  PKSPIN pin = nullptr;
  EXPECT_EQ(Create(filter, kRawVideo, &half, sizeof half, &pin), STATUS_SUCCESS);
  EXPECT_EQ(std::make_tuple(Dev()->settings->Width(), Dev()->settings->Height()), std::make_tuple(352, 240));
}

TEST_F(CapturePinTest, RawVideoCreateIsRefusedWhileAStreamRunsAtAnotherSize) {
  PKSPIN first = RawVideo();
  ASSERT_NE(first, nullptr);
  ks.QueueFrames(first, 4, 518400);
  ASSERT_EQ(ks.SetPinState(first, KSSTATE_RUN), STATUS_SUCCESS);
  PKSFILTER other = OpenCapture();
  KS_DATAFORMAT_VIDEOINFOHEADER narrow = VideoFormat(pelgar::kNvp2Range525, 352, 480);
  PKSPIN pin = nullptr;
  EXPECT_EQ(Create(other, kRawVideo, &narrow, sizeof narrow, &pin), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(pin, nullptr);
  EXPECT_EQ(Dev()->settings->Width(), 720);
}

TEST_F(CapturePinTest, RawVideoFormatChangeKeepsTheSizeAndWaitsForTheBuffers) {
  PKSPIN pin = RawVideo();
  ASSERT_NE(pin, nullptr);
  KS_DATAFORMAT_VIDEOINFOHEADER same = VideoFormat(pelgar::kNvp2Range525, 720, 480);
  same.VideoInfoHeader.dwBitRate = 1;  // what a change may touch
  KS_DATAFORMAT_VIDEOINFOHEADER taller = VideoFormat(pelgar::kNvp2Range525, 720, 470);
  KS_DATAFORMAT_VIDEOINFOHEADER flipped = VideoFormat(pelgar::kNvp2Range525, 720, -480);
  EXPECT_EQ(ks.ChangeFormat(pin, &taller.DataFormat, sizeof taller), STATUS_NO_MATCH);
  EXPECT_EQ(ks.ChangeFormat(pin, &flipped.DataFormat, sizeof flipped), STATUS_NO_MATCH);
  EXPECT_EQ(ks.ChangeFormat(pin, &same.DataFormat, sizeof same), STATUS_SUCCESS);
  EXPECT_EQ(static_cast<pelgar::RawVideoPin*>(pin->Context)->Format().VideoInfoHeader.dwBitRate, 1u);

  ks.QueueFrames(pin, 4, 518400);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 1000 && KsPinGetFirstCloneStreamPointer(pin) == nullptr; ++i)
    kernel.RunFor(100 * ksim::kMicrosecond);
  ASSERT_NE(KsPinGetFirstCloneStreamPointer(pin), nullptr) << "a frame's transfer is under way";
  EXPECT_EQ(ks.ChangeFormat(pin, &same.DataFormat, sizeof same), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(CapturePinTest, RawVideoIntersectionAnswersWithTheCallersVideoInfo) {
  KS_DATARANGE_VIDEO wanted = pelgar::kVideoRanges[pelgar::kNvp2Range525];
  wanted.VideoInfoHeader.bmiHeader.biWidth = 640;
  wanted.VideoInfoHeader.dwBitRate = 7;
  const struct {
    const char* name;
    int change;  // 0 none, 1 caps differ, 2 FormatSize not 256 + biSize, 3 short range, 4 width 0, 5 flags
    ULONG length;
    NTSTATUS status;
    ULONG returned;
  } cases[] = {
      {"size query", 0, 0, STATUS_BUFFER_OVERFLOW, 152},
      {"short buffer", 0, 151, STATUS_BUFFER_TOO_SMALL, 0},
      {"exact buffer", 0, 152, STATUS_SUCCESS, 152},
      {"other caps", 1, 152, STATUS_NO_MATCH, 0},
      {"format size not the bitmap's", 2, 152, STATUS_NO_MATCH, 0},
      {"range shorter than its structure", 3, 152, STATUS_INVALID_PARAMETER, 0},
      {"zero width", 4, 152, STATUS_NO_MATCH, 0},
      {"other flag words", 5, 152, STATUS_NO_MATCH, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KS_DATARANGE_VIDEO range = wanted;
    if (c.change == 1) range.ConfigCaps.MinBitsPerSecond += 1;
    if (c.change == 2) range.DataRange.FormatSize = 300;
    if (c.change == 3) range.DataRange.FormatSize = 295;
    if (c.change == 4) range.VideoInfoHeader.bmiHeader.biWidth = 0;
    if (c.change == 5) range.StreamDescriptionFlags = 1;
    std::vector<uint8_t> out(200, 0xCC);
    ULONG returned = 0xDEADBEEF;
    EXPECT_EQ(ks.IntersectFormat(filter, kRawVideo, &range.DataRange, out.data(), c.length, &returned), c.status);
    EXPECT_EQ(returned, c.returned);
    EXPECT_EQ(out[152], 0xCC) << "nothing written past the result";
    if (c.status != STATUS_SUCCESS) continue;
    auto result = Read<KS_DATAFORMAT_VIDEOINFOHEADER>(out);
    EXPECT_EQ(result.DataFormat.FormatSize, 152u);
    EXPECT_EQ(result.DataFormat.SampleSize, 518400u);
    EXPECT_TRUE(IsEqualGUID(result.DataFormat.SubFormat, pelgar::kSubtypeNvp2));
    EXPECT_EQ(result.VideoInfoHeader.dwBitRate, 7u);
    EXPECT_EQ(result.VideoInfoHeader.bmiHeader.biWidth, 640);
    EXPECT_EQ(result.VideoInfoHeader.bmiHeader.biSizeImage, 518400u);
    PKSPIN pin = nullptr;
    EXPECT_EQ(Create(filter, kRawVideo, out.data(), 152, &pin), STATUS_SUCCESS) << "the result connects";
  }
}

// ---- Raw audio

TEST_F(CapturePinTest, RawAudioDeliversThePayloadOfEveryBlockInTenMillisecondFrames) {
  const std::vector<uint8_t> format = PcmFormat(48000);
  PKSPIN pin = nullptr;
  ASSERT_EQ(Create(filter, kRawAudio, format.data(), static_cast<ULONG>(format.size()), &pin), STATUS_SUCCESS);
  const KS_FRAMING_ITEM& framing = pin->Descriptor->AllocatorFraming->FramingItem[0];
  EXPECT_EQ(framing.Frames, 10u);
  EXPECT_EQ(framing.FramingRange.Range.MaxFrameSize, 1920u);
  ks.QueueFrames(pin, 10, 1920);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  Stream(pin, 200, 1920);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);

  std::vector<uint8_t> received;
  for (const auto& f : ks.CompletedFrames(pin)) {
    EXPECT_EQ(f.header.Duration, 100000);
    received.insert(received.end(), f.data.begin(), f.data.end());
  }
  ASSERT_GE(received.size(), 10u * 1764);
  std::vector<uint8_t> expected;
  for (uint64_t n = 0; expected.size() < received.size(); ++n) {
    auto block = simcard::RawAudioBlock(n, 48000);
    expected.insert(expected.end(), block.begin() + 12, block.end());
  }
  expected.resize(received.size());
  EXPECT_TRUE(received == expected) << "every payload byte once, in order, the block headers left out";
}

TEST_F(CapturePinTest, RawAudioCreateTakesOnlyTheEncodersRate) {
  const struct {
    ULONG samplingCode;
    ULONG rate;
    ULONG frameBytes;
  } rates[] = {{0, 44100, 1764}, {2, 32000, 1280}, {1, 48000, 1920}};
  for (const auto& r : rates) {
    SCOPED_TRACE(r.rate);
    ASSERT_EQ(Dev()->settings->SetAudioSamplingRate(r.samplingCode), STATUS_SUCCESS);
    for (ULONG other : {32000u, 44100u, 48000u}) {
      const std::vector<uint8_t> format = PcmFormat(other);
      PKSPIN pin = nullptr;
      EXPECT_EQ(Create(filter, kRawAudio, format.data(), static_cast<ULONG>(format.size()), &pin),
                other == r.rate ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
      if (pin == nullptr) continue;
      EXPECT_EQ(pin->Descriptor->AllocatorFraming->FramingItem[0].FramingRange.Range.MinFrameSize, r.frameBytes);
      ClosePin(pin);
    }
  }
  std::vector<uint8_t> shortFormat = PcmFormat(48000);
  shortFormat.resize(80);
  KSDATAFORMAT header = Read<KSDATAFORMAT>(shortFormat);
  header.FormatSize = 80;
  std::memcpy(shortFormat.data(), &header, sizeof header);
  PKSPIN pin = nullptr;
  EXPECT_EQ(Create(filter, kRawAudio, shortFormat.data(), 80, &pin), STATUS_INVALID_PARAMETER)
      << "a format shorter than its structure";
}

TEST_F(CapturePinTest, TwoRawAudioPinsCannotRunTogether) {
  PKSFILTER audio = Open(&pelgar::kAudioCaptureFilterDescriptor);
  ASSERT_NE(audio, nullptr);
  const std::vector<uint8_t> format = PcmFormat(48000);
  PKSPIN first = nullptr, second = nullptr;
  ASSERT_EQ(Create(audio, kAudioCaptureOut, format.data(), static_cast<ULONG>(format.size()), &first),
            STATUS_SUCCESS);
  ASSERT_EQ(Create(filter, kRawAudio, format.data(), static_cast<ULONG>(format.size()), &second), STATUS_SUCCESS);
  ASSERT_EQ(ks.SetPinState(first, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(ks.SetPinState(second, KSSTATE_ACQUIRE), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Dev()->pins[pelgar::kStreamIndexRawAudio], first->Context);
  ASSERT_EQ(ks.SetPinState(first, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(ks.SetPinState(second, KSSTATE_ACQUIRE), STATUS_SUCCESS) << "the slot is free again";
  EXPECT_EQ(ks.SetPinState(first, KSSTATE_ACQUIRE), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(CapturePinTest, RawAudioIntersectionAnswersWithThe82BytePcmFormat) {
  ASSERT_EQ(Dev()->settings->SetAudioSamplingRate(0), STATUS_SUCCESS);
  const struct {
    const char* name;
    int change;  // 0 none, 1 other channels, 2 other frequencies, 3 short range
    ULONG length;
    NTSTATUS status;
    ULONG returned;
  } cases[] = {
      {"size query", 0, 0, STATUS_BUFFER_OVERFLOW, 82},
      {"short buffer", 0, 81, STATUS_BUFFER_TOO_SMALL, 0},
      {"exact buffer", 0, 82, STATUS_SUCCESS, 82},
      {"other channel count", 1, 82, STATUS_NO_MATCH, 0},
      {"other frequencies", 2, 82, STATUS_NO_MATCH, 0},
      {"range shorter than its structure", 3, 82, STATUS_INVALID_PARAMETER, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KSDATARANGE_AUDIO range = pelgar::kPcmRange;
    if (c.change == 1) range.MaximumChannels = 1;
    if (c.change == 2) range.MaximumSampleFrequency = 44100;
    if (c.change == 3) range.DataRange.FormatSize = 84;
    std::vector<uint8_t> out(100, 0xCC);
    ULONG returned = 0xDEADBEEF;
    EXPECT_EQ(ks.IntersectFormat(filter, kRawAudio, &range.DataRange, out.data(), c.length, &returned), c.status);
    EXPECT_EQ(returned, c.returned);
    EXPECT_EQ(out[82], 0xCC);
    if (c.status != STATUS_SUCCESS) continue;
    EXPECT_EQ(Read<KSDATAFORMAT>(out).FormatSize, 82u);
    auto wave = Read<WAVEFORMATEX>(out, sizeof(KSDATAFORMAT));
    EXPECT_EQ(wave.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(std::make_tuple(wave.nChannels, wave.nSamplesPerSec, wave.nAvgBytesPerSec),
              std::make_tuple(USHORT{2}, 44100u, 176400u));
    EXPECT_EQ(std::make_tuple(wave.nBlockAlign, wave.wBitsPerSample, wave.cbSize),
              std::make_tuple(USHORT{4}, USHORT{16}, USHORT{0}));
    PKSPIN pin = nullptr;
    EXPECT_EQ(Create(filter, kRawAudio, out.data(), 82, &pin), STATUS_SUCCESS) << "the result connects";
  }
}

// ---- VBI

TEST_F(CapturePinTest, VbiPinTakesTheStandardsTableAndItsFraming) {
  PKSPIN pin = Vbi();
  ASSERT_NE(pin, nullptr);
  const KS_FRAMING_ITEM& framing = pin->Descriptor->AllocatorFraming->FramingItem[0];
  EXPECT_EQ(framing.Frames, 8u);
  EXPECT_EQ(framing.FramingRange.Range.MaxFrameSize, 17280u);
  const struct {
    const char* name;
    int change;  // 0 none, 1 start line, 2 samples per line, 3 buffer size, 4 sample size, 5 short, 6 625 table
    NTSTATUS status;
  } cases[] = {
      {"the 525-line table", 0, STATUS_SUCCESS},
      {"other start line", 1, STATUS_NO_MATCH},
      {"other samples per line", 2, STATUS_NO_MATCH},
      {"other buffer size", 3, STATUS_NO_MATCH},
      {"sample size not the buffer size", 4, STATUS_NO_MATCH},
      {"format shorter than its structure", 5, STATUS_INVALID_PARAMETER},
      {"the other standard's table", 6, STATUS_NO_MATCH},
  };
  PKSFILTER other = OpenCapture();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KS_DATAFORMAT_VBIINFOHEADER format = VbiFormat(c.change == 6 ? pelgar::kVbiRange625 : pelgar::kVbiRange525);
    if (c.change == 1) format.VBIInfoHeader.StartLine = 11;
    if (c.change == 2) format.VBIInfoHeader.SamplesPerLine = 720;
    if (c.change == 3) format.VBIInfoHeader.BufferSize += 1;
    if (c.change == 4) format.DataFormat.SampleSize += 1;
    ULONG size = sizeof format;
    if (c.change == 5) size = format.DataFormat.FormatSize = 108;
    PKSPIN created = nullptr;
    EXPECT_EQ(Create(other, kVbi, &format, size, &created), c.status);
    if (created != nullptr) ClosePin(created);
  }
}

TEST_F(CapturePinTest, VbiIntersectionAnswersWithTheRangesTable) {
  const struct {
    const char* name;
    const KS_DATARANGE_VBI& range;
    int change;  // 0 none, 1 caps, 2 info header, 3 short
    ULONG length;
    NTSTATUS status;
    ULONG returned;
  } cases[] = {
      {"525 size query", pelgar::kVbiRange525, 0, 0, STATUS_BUFFER_OVERFLOW, 112},
      {"525 short buffer", pelgar::kVbiRange525, 0, 111, STATUS_BUFFER_TOO_SMALL, 0},
      {"525", pelgar::kVbiRange525, 0, 112, STATUS_SUCCESS, 112},
      {"625", pelgar::kVbiRange625, 0, 112, STATUS_SUCCESS, 112},
      {"other caps", pelgar::kVbiRange525, 1, 112, STATUS_NO_MATCH, 0},
      {"other line table", pelgar::kVbiRange625, 2, 112, STATUS_NO_MATCH, 0},
      {"range shorter than its structure", pelgar::kVbiRange525, 3, 112, STATUS_INVALID_PARAMETER, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KS_DATARANGE_VBI range = c.range;
    if (c.change == 1) range.ConfigCaps.MaxBitsPerSecond += 1;
    if (c.change == 2) range.VBIInfoHeader.ActualLineStartTime = 821;
    if (c.change == 3) range.DataRange.FormatSize = 252;
    std::vector<uint8_t> out(120, 0xCC);
    ULONG returned = 0xDEADBEEF;
    EXPECT_EQ(ks.IntersectFormat(filter, kVbi, &range.DataRange, out.data(), c.length, &returned), c.status);
    EXPECT_EQ(returned, c.returned);
    EXPECT_EQ(out[112], 0xCC);
    if (c.status != STATUS_SUCCESS) continue;
    auto result = Read<KS_DATAFORMAT_VBIINFOHEADER>(out);
    EXPECT_EQ(result.DataFormat.FormatSize, 112u);
    EXPECT_EQ(result.DataFormat.SampleSize, c.range.DataRange.SampleSize);
    EXPECT_EQ(result.VBIInfoHeader.BufferSize, c.range.VBIInfoHeader.BufferSize);
  }
}

// The sample bytes of line `line` (of the frame's lines) the firmware writes into VBI buffer `written`.
uint8_t VbiSample(uint32_t written, uint32_t line, uint32_t sample) {
  return static_cast<uint8_t>(0x10 + (written * 7 + line * 13 + sample + 4) % 0xE0);
}

TEST_F(CapturePinTest, VbiDeliversBothFieldsAndTheTunerRecordAfterRun) {
  PKSPIN pin = Vbi();
  ASSERT_NE(pin, nullptr);
  ks.QueueFrames(pin, 8, 17280);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(Dev()->streamMask, pelgar::kStreamVbi);
  Stream(pin, 300, 17280);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);

  const auto& frames = ks.CompletedFrames(pin);
  ASSERT_GE(frames.size(), 8u);
  size_t checked = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& f = frames[i];
    ASSERT_GE(f.extendedHeader.size(), sizeof(KS_VBI_FRAME_INFO));
    auto info = Read<KS_VBI_FRAME_INFO>(f.extendedHeader);
    const ULONG field = i % 2 == 0 ? 1 : 2;
    EXPECT_EQ(info.ExtendedHeaderSize, sizeof(KS_VBI_FRAME_INFO));
    EXPECT_EQ(info.dwFrameFlags, i == 0 ? 0x31 : field) << "the tuner record comes with the first buffer";
    EXPECT_EQ(info.PictureNumber, static_cast<LONGLONG>(i + 1));
    EXPECT_EQ(info.dwSamplingFrequency, 27000000u);
    if (i == 0) {
      EXPECT_EQ(std::make_tuple(info.TvTunerChangeInfo.dwFlags, info.TvTunerChangeInfo.dwCountryCode,
                                info.TvTunerChangeInfo.dwAnalogVideoStandard, info.TvTunerChangeInfo.dwChannel),
                std::make_tuple(2u, 1u, 1u, 4u));
      EXPECT_EQ(info.VBIInfoHeader.StartLine, 10u);
      EXPECT_EQ(info.VBIInfoHeader.BufferSize, 17280u);
    }
    EXPECT_EQ(f.header.Duration, 166833);
    if (f.header.DataUsed == 0) continue;
    ASSERT_EQ(f.header.DataUsed, 12u * 1440);
    // The buffer's number follows from its first sample; every line of the field must agree with it.
    uint32_t written = 0;
    while (written < 224 && VbiSample(written, (field - 1) * 12, 0) != f.data[0]) ++written;
    bool same = true;
    for (uint32_t line = 0; line < 12; ++line)
      for (uint32_t k = 0; k < 1440; k += 37)
        same = same && f.data[line * 1440 + k] == VbiSample(written, (field - 1) * 12 + line, k);
    EXPECT_TRUE(same);
    ++checked;
  }
  EXPECT_GE(checked, 8u);
}

// Staged VBI buffers for ParseVbi: 12-byte header, then one 1456-byte record per line (start code, 1440
// samples, padding), as big-endian words.
struct StagedVbi {
  std::vector<uint8_t> bytes;
  void Record(uint32_t at, uint8_t code, uint8_t fill) {
    bytes[at] = 0xFF, bytes[at + 1] = 0, bytes[at + 2] = 0, bytes[at + 3] = code;
    std::memset(&bytes[at + 4], fill, 1440);
  }
  void SwapWords() {
    for (size_t k = 0; k + 4 <= bytes.size(); k += 4)
      std::swap(bytes[k], bytes[k + 3]), std::swap(bytes[k + 1], bytes[k + 2]);
  }
};

class VbiParse625Test : public CapturePinTest {
 protected:
  // A 625-line card whose VBI ring the engine has taken over (a VBI pin ran once).
  void SetUp() override {
    StartCard(16);
    PKSPIN pin = Vbi();
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(ks.SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    ClosePin(pin);
    ASSERT_TRUE(Dev()->vbiRing->Enabled());
  }
};

TEST_F(VbiParse625Test, FieldsAreExtractedByTheLineRules) {
  ASSERT_FALSE(pelgar::g_is525Lines);
  const pelgar::VbiRing* ring = Dev()->vbiRing;
  ASSERT_EQ(ring->LinesPerField(), 18u);
  const uint8_t c1 = ring->StartCode(0), c2 = ring->StartCode(1);
  const ULONG size = ring->BufferSize();
  const struct {
    const char* name;
    int damage;          // 0 none, 1 field 1 line 18 without code, 2 field 1 lines 5 and 6 without code,
                         // 3 field 2 line 18 without code, 4 field 2's last line cut short
    ULONG frameBytes;    // of the pin's buffers
    ULONG used1, used2;  // DataUsed of the two fields
  } cases[] = {
      {"both fields whole", 0, 25920, 25920, 25920},
      {"18th line of field 1 without start code", 1, 25920, 25920, 25920},
      {"two middle lines of field 1 without start code", 2, 25920, 0, 25920},
      {"18th line of field 2 without start code", 3, 25920, 25920, 25920},
      {"field 2 runs past the buffer", 4, 25920, 25920, 0},
      {"buffers too small for a field", 0, 25919, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StagedVbi staged{std::vector<uint8_t>(size, 0)};
    for (uint32_t line = 0; line < 36; ++line)
      staged.Record(12 + line * 1456, line < 18 ? c1 : c2, static_cast<uint8_t>(0x20 + line));
    if (c.damage == 1) staged.bytes[12 + 17 * 1456 + 3] = 0x11;
    if (c.damage == 2) staged.bytes[12 + 4 * 1456] = staged.bytes[12 + 5 * 1456] = 0x7F;
    if (c.damage == 3) staged.bytes[12 + 35 * 1456 + 3] = 0x11;
    if (c.damage == 4) staged.bytes.resize(12 + 35 * 1456 + 4 + 1439);
    staged.SwapWords();

    PKSPIN pin = Vbi();
    ASSERT_NE(pin, nullptr);
    ks.QueueFrames(pin, 2, c.frameBytes);
    auto* vbi = static_cast<pelgar::VbiPin*>(pin->Context);
    const size_t messages = kernel.DebugOutput().size();
    vbi->ParseVbi(staged.bytes.data(), 1, static_cast<ULONG>(staged.bytes.size()));
    std::vector<std::string> expectedMessages;
    char text[64];
    for (int f = 0; f < 2; ++f) {
      std::snprintf(text, sizeof text, "VBI successful.  start code = %x\n", f == 0 ? c1 : c2);
      if ((f == 0 ? c.damage != 2 : c.damage != 4)) expectedMessages.push_back(text);
    }
    EXPECT_EQ(std::vector<std::string>(kernel.DebugOutput().begin() + static_cast<long>(messages),
                                       kernel.DebugOutput().end()),
              expectedMessages)
        << "one message per field found whole";
    const auto& frames = ks.CompletedFrames(pin);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].header.DataUsed, c.used1);
    EXPECT_EQ(frames[1].header.DataUsed, c.used2);
    EXPECT_EQ(Read<KS_VBI_FRAME_INFO>(frames[0].extendedHeader).dwFrameFlags, 1u);
    EXPECT_EQ(Read<KS_VBI_FRAME_INFO>(frames[1].extendedHeader).dwFrameFlags, 2u);
    for (int f = 0; f < 2; ++f) {
      if (frames[f].header.DataUsed == 0) continue;
      for (uint32_t line = 0; line < 18; ++line) {
        const bool empty = (f == 0 && c.damage == 1 && line == 17) || (f == 1 && c.damage == 3 && line == 17);
        const uint8_t want = empty ? 0 : static_cast<uint8_t>(0x20 + f * 18 + line);
        EXPECT_EQ(frames[f].data[line * 1440], want) << "field " << f + 1 << " line " << line;
        EXPECT_EQ(frames[f].data[line * 1440 + 1439], want) << "field " << f + 1 << " line " << line;
      }
    }
    ClosePin(pin);
  }
}

TEST_F(VbiParse625Test, AFieldWithoutABufferCountsAsDropped) {
  PKSPIN pin = Vbi();
  ASSERT_NE(pin, nullptr);
  auto* vbi = static_cast<pelgar::VbiPin*>(pin->Context);
  std::vector<uint8_t> staged(Dev()->vbiRing->BufferSize(), 0);
  vbi->ParseVbi(staged.data(), 1, static_cast<ULONG>(staged.size()));
  EXPECT_EQ(vbi->Drops(), 2u);
  ks.QueueFrames(pin, 1, 25920);
  vbi->ParseVbi(staged.data(), 1, static_cast<ULONG>(staged.size()));
  EXPECT_EQ(vbi->Drops(), 3u);
  ASSERT_EQ(ks.CompletedFrames(pin).size(), 1u);
  EXPECT_EQ(ks.CompletedFrames(pin)[0].header.DataUsed, 0u) << "no start codes: the field has no data";
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S value{};
  ULONG_PTR returned = 0;
  ASSERT_EQ(ks.PinProperty(pin, PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, KSPROPERTY_TYPE_GET,
                           &value, sizeof value, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(value.DropCount, 3);
  EXPECT_EQ(value.AverageFrameSize, 25920u);
}

TEST_F(VbiParse625Test, VbiPinPresetsThe625LineTunerRecord) {
  PKSPIN pin = Vbi();
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(pin->Descriptor->AllocatorFraming->FramingItem[0].FramingRange.Range.MaxFrameSize, 25920u);
  ks.QueueFrames(pin, 8, 25920);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  Stream(pin, 100, 25920);
  const auto& frames = ks.CompletedFrames(pin);
  ASSERT_FALSE(frames.empty());
  auto info = Read<KS_VBI_FRAME_INFO>(frames[0].extendedHeader);
  EXPECT_EQ(info.dwFrameFlags, 0x31u);
  EXPECT_EQ(std::make_tuple(info.TvTunerChangeInfo.dwCountryCode, info.TvTunerChangeInfo.dwAnalogVideoStandard,
                            info.TvTunerChangeInfo.dwChannel),
            std::make_tuple(49u, 16u, 4u));
  EXPECT_EQ(info.VBIInfoHeader.StartLine, 6u);
  EXPECT_EQ(frames[0].header.Duration, 200000);
  EXPECT_EQ(frames[0].header.DataUsed, 25920u);
}

// ---- Format-only pins

TEST_F(CapturePinTest, AnalogInputPassesTunerChangesToTheVbiPin) {
  PKSPIN vbi = Vbi();
  ASSERT_NE(vbi, nullptr);
  KS_DATARANGE_ANALOGVIDEO analog = pelgar::kAnalogVideoRange;
  PKSPIN input = nullptr;
  ASSERT_EQ(Create(filter, kAnalogVideoIn, &analog, sizeof analog, &input), STATUS_SUCCESS);

  // A record that is not 16 bytes is refused and consumed.
  const uint8_t odd[15] = {};
  ks.QueueData(input, odd, sizeof odd);
  EXPECT_EQ(pelgar::AnalogVideoInProcess(input), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ks.PendingFrames(input), 0u);
  EXPECT_EQ(pelgar::AnalogVideoInProcess(input), STATUS_UNSUCCESSFUL) << "no frame";

  const KS_TVTUNER_CHANGE_INFO change = {0x1, 1, 1, 27};
  ks.QueueData(input, &change, sizeof change);
  EXPECT_EQ(pelgar::AnalogVideoInProcess(input), STATUS_SUCCESS);
  EXPECT_EQ(ks.CompletedFrames(input).size(), 2u);

  // The change arrives with the VBI pin's next buffer (here: the first after run).
  ks.QueueFrames(vbi, 4, 17280);
  ASSERT_EQ(ks.SetPinState(vbi, KSSTATE_RUN), STATUS_SUCCESS);
  Stream(vbi, 100, 17280);
  const auto& frames = ks.CompletedFrames(vbi);
  ASSERT_GE(frames.size(), 2u);
  auto first = Read<KS_VBI_FRAME_INFO>(frames[0].extendedHeader);
  EXPECT_EQ(first.dwFrameFlags, 0x31u);
  EXPECT_EQ(first.TvTunerChangeInfo.dwChannel, 27u);
  EXPECT_EQ(Read<KS_VBI_FRAME_INFO>(frames[1].extendedHeader).dwFrameFlags, 2u);

  // While running, a change is reported with the next buffer.
  ASSERT_EQ(ks.SetPinState(input, KSSTATE_PAUSE), STATUS_SUCCESS);
  const KS_TVTUNER_CHANGE_INFO next = {0x1, 1, 1, 31};
  const size_t before = frames.size();
  ks.QueueData(input, &next, sizeof next);
  EXPECT_EQ(ks.PendingFrames(input), 0u) << "processed as it arrived";
  Stream(vbi, 100, 17280);
  ASSERT_GT(frames.size(), before);
  auto reported = Read<KS_VBI_FRAME_INFO>(frames[before].extendedHeader);
  EXPECT_EQ(reported.dwFrameFlags & 0x30, 0x30u);
  EXPECT_EQ(reported.TvTunerChangeInfo.dwChannel, 31u);
}

TEST_F(CapturePinTest, HandOverIntersectionCarriesTheCallersVideoInfo) {
  KS_DATARANGE_VIDEO wanted = pelgar::kVideoRanges[pelgar::kNvp2Range525];
  wanted.VideoInfoHeader.bmiHeader.biWidth = 480;
  const struct {
    const char* name;
    ULONG standards;
    LONG width;
    ULONG length;
    NTSTATUS status;
    ULONG returned;
  } cases[] = {
      {"size query", 0xA07, 480, 0, STATUS_BUFFER_OVERFLOW, 152},
      {"100-byte buffer", 0xA07, 480, 100, STATUS_BUFFER_TOO_SMALL, 0},
      {"151-byte buffer", 0xA07, 480, 151, STATUS_BUFFER_TOO_SMALL, 0},
      {"exact buffer", 0xA07, 480, 152, STATUS_SUCCESS, 152},
      {"no standard in common", 0x1FF5F0, 480, 152, STATUS_NO_MATCH, 0},
      {"card's standard not in the mask", 0x2, 480, 152, STATUS_NO_MATCH, 0},
      {"zero width", 0xA07, 0, 152, STATUS_NO_MATCH, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KS_DATARANGE_VIDEO range = wanted;
    range.ConfigCaps.VideoStandard = c.standards;
    range.VideoInfoHeader.bmiHeader.biWidth = c.width;
    std::vector<uint8_t> out(160, 0xCC);
    ULONG returned = 0xDEADBEEF;
    EXPECT_EQ(ks.IntersectFormat(filter, kHandOver, &range.DataRange, out.data(), c.length, &returned), c.status);
    EXPECT_EQ(returned, c.returned);
    EXPECT_EQ(out[152], 0xCC);
    if (c.status != STATUS_SUCCESS) continue;
    auto result = Read<KS_DATAFORMAT_VIDEOINFOHEADER>(out);
    EXPECT_EQ(result.DataFormat.FormatSize, 152u);
    EXPECT_TRUE(IsEqualGUID(result.DataFormat.SubFormat, pelgar::kSubtypeNvp2));
    EXPECT_EQ(result.VideoInfoHeader.bmiHeader.biWidth, 480);
  }
}

TEST_F(CapturePinTest, EncoderVideoInputTakesTheFrameSizeOfItsStandard) {
  PKSFILTER encoder = Open(&pelgar::kEncoderFilterDescriptor);
  ASSERT_NE(encoder, nullptr);
  const KSPIN_DESCRIPTOR& videoIn = encoder->Descriptor->PinDescriptors[kEncoderVideoIn].PinDescriptor;
  ASSERT_EQ(videoIn.DataRangesCount, 4u);
  EXPECT_EQ(videoIn.DataRanges[1], &pelgar::kVideoRanges[pelgar::kNvp1Range525].DataRange);
  const struct {
    const char* name;
    ULONG range;
    LONG width, height;
    NTSTATUS status;
  } cases[] = {
      {"720x576 on a 525-line card", pelgar::kNvp2Range625, 720, 576, STATUS_INVALID_PARAMETER},
      {"zero width", pelgar::kNvp2Range525, 0, 480, STATUS_INVALID_PARAMETER},
      {"width outside every range", pelgar::kNvp2Range525, 800, 480, STATUS_INVALID_PARAMETER},
      {"352x240", pelgar::kNvp1Range525, 352, 240, STATUS_SUCCESS},
      {"480x480", pelgar::kNvp2Range525, 480, 480, STATUS_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat(c.range, c.width, c.height);
    PKSPIN pin = nullptr;
    EXPECT_EQ(Create(encoder, kEncoderVideoIn, &format, sizeof format, &pin), c.status);
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(std::make_tuple(Dev()->settings->Width(), Dev()->settings->Height()),
                std::make_tuple(c.width, c.height));
    }
    if (pin != nullptr) ClosePin(pin);
  }
}

TEST_F(CapturePin625Test, EncoderVideoInputRefusesA480LineFormat) {
  PKSFILTER encoder = Open(&pelgar::kEncoderFilterDescriptor);
  KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat(pelgar::kNvp2Range525, 720, 480);
  PKSPIN pin = nullptr;
  EXPECT_EQ(Create(encoder, kEncoderVideoIn, &format, sizeof format, &pin), STATUS_INVALID_PARAMETER);
  format = VideoFormat(pelgar::kNvp2Range625, 720, 576);
  EXPECT_EQ(Create(encoder, kEncoderVideoIn, &format, sizeof format, &pin), STATUS_SUCCESS);
  EXPECT_EQ(Dev()->settings->Height(), 576);
}

// ---- Reference clock

TEST_F(CapturePinTest, BuffersCarryTheClocksTimeWhileThePinHoldsIt) {
  PKSPIN pin = RawVideo();
  ASSERT_NE(pin, nullptr);
  ks.AssignClock(pin);
  ks.QueueFrames(pin, 10, 518400);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(ks.ClockReferences(pin), 1u) << "taken at acquire";
  Stream(pin, 200, 518400);
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(ks.ClockReferences(pin), 1u) << "kept while paused";
  ASSERT_EQ(ks.SetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(ks.ClockReferences(pin), 0u) << "released at stop";
  const auto& frames = ks.CompletedFrames(pin);
  ASSERT_GE(frames.size(), 4u);
  LONGLONG last = -1;
  for (const auto& f : frames) {
    if (f.header.DataUsed == 0) continue;
    EXPECT_NE(f.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, 0u);
    EXPECT_GT(f.header.PresentationTime.Time, last);
    EXPECT_EQ(f.header.PresentationTime.Numerator, 1u);
    last = f.header.PresentationTime.Time;
  }
  EXPECT_GT(last, 0);
  EXPECT_LE(last, 200 * ksim::kMillisecond + 10 * ksim::kMillisecond);
}

// ---- Low resources

TEST_F(CapturePinTest, EachAllocationOfFiltersAndPinsFailsCleanly) {
  const KS_DATAFORMAT_VIDEOINFOHEADER video = VideoFormat(pelgar::kNvp2Range525, 720, 480);
  const KS_DATAFORMAT_VBIINFOHEADER vbi = VbiFormat(pelgar::kVbiRange525);
  const std::vector<uint8_t> pcm = PcmFormat(48000);
  const struct {
    const char* name;
    ULONG pin;  // ~0u: the filter itself
    const void* format;
    ULONG size;
  } objects[] = {{"filter", ~0u, nullptr, 0},
                 {"raw video", kRawVideo, &video, sizeof video},
                 {"raw audio", kRawAudio, pcm.data(), static_cast<ULONG>(pcm.size())},
                 {"VBI", kVbi, &vbi, sizeof vbi}};
  for (const auto& o : objects) {
    SCOPED_TRACE(o.name);
    const uint64_t before = kernel.Allocations(pelgar::kPinEditTag);
    const size_t held = kernel.OutstandingBlocks(pelgar::kPinEditTag);  // the fixture's filter
    int refused = 0;
    for (uint64_t n = 1; n < 16; ++n) {
      const size_t injected = kernel.InjectedFailures().size();
      kernel.FailNthRequest(n);
      PKSPIN pin = nullptr;
      PKSFILTER made = nullptr;
      const bool ok =
          o.pin == ~0u
              ? (made = ks.OpenFilter(device, &pelgar::kVideoCaptureFilterDescriptor)) != nullptr
              : NT_SUCCESS(ks.CreatePin(filter, o.pin, static_cast<const KSDATAFORMAT*>(o.format), o.size, &pin));
      kernel.FailNthRequest(0);
      const bool failedOne = kernel.InjectedFailures().size() > injected;
      if (made != nullptr) ks.CloseFilter(made);
      if (pin != nullptr) ks.ClosePin(pin);
      EXPECT_EQ(kernel.OutstandingBlocks(pelgar::kPinEditTag), held) << "request " << n;
      if (!failedOne) {
        EXPECT_TRUE(ok) << "nothing failed at request " << n;
        break;
      }
      EXPECT_FALSE(ok) << "request " << n << " failed and the object was made";
      ++refused;
    }
    EXPECT_GE(refused, 2) << "the context and the descriptor copies";
    EXPECT_GT(kernel.Allocations(pelgar::kPinEditTag), before);
  }
}

}  // namespace
