#include "driver/aux_pin.h"

#include <cstring>

#include "driver/filters.h"
#include "driver/pelgar_test_fixture.h"
#include "driver/simcard/firmware_image.h"

namespace {

using pelgar::PelgarDevice;

constexpr ULONG kMpegPinId = 1;
constexpr ULONG kAuxPinId = 2;
// What the driver asks the firmware's ring to hold.
constexpr ULONG kRingRecords = 400;
constexpr uint32_t kRecordMagic = 0x52585541;
constexpr uint32_t kMarker = 0xBADBAD00;

// One record as the firmware writes it.
struct Record {
  uint32_t number;
  uint32_t packs;
  uint32_t magic;
  uint32_t ringIndex;
  uint32_t zero[2];
};
static_assert(sizeof(Record) == pelgar::kAuxRecordBytes);

// A started kind-1 card whose encoder runs the test firmware, with an encoder filter open on it.
class AuxPinTest : public DriverFixture {
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
    for (PKSPIN pin : {aux, mpeg})
      if (pin != nullptr) ks.ClosePin(pin);
    ks.CloseFilter(filter);
    EXPECT_EQ(kernel.OutstandingBlocks(pelgar::kPinEditTag), 0u) << "descriptor and framing copies freed";
    ks.Stop(device);
    RemoveAndCheck(device);
    DriverFixture::TearDown();
  }

  static KSDATAFORMAT FormatOf(ULONG pinId) {
    KSDATAFORMAT format = *pelgar::kEncoderFilterDescriptor.PinDescriptors[pinId].PinDescriptor.DataRanges[0];
    format.FormatSize = sizeof format;
    return format;
  }
  PKSPIN Create(ULONG pinId) {
    KSDATAFORMAT format = FormatOf(pinId);
    PKSPIN pin = nullptr;
    EXPECT_EQ(ks.CreatePin(filter, pinId, &format, sizeof format, &pin), STATUS_SUCCESS);
    return pin;
  }
  pelgar::AuxPin* AuxObject() { return static_cast<pelgar::AuxPin*>(aux->Context); }

  // Runs the MPEG pin and the auxiliary pin with their frames queued.
  void RunBoth() {
    mpeg = Create(kMpegPinId);
    aux = Create(kAuxPinId);
    ASSERT_NE(mpeg, nullptr);
    ASSERT_NE(aux, nullptr);
    ks.QueueFrames(mpeg, pelgar::kMpegFrames, pelgar::kMpegFrameBytes);
    ks.QueueFrames(aux, pelgar::kAuxFrames, pelgar::kAuxRecordBytes);
    ASSERT_EQ(ks.SetPinState(aux, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(ks.SetPinState(mpeg, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(Context(device)->streamMask, pelgar::kStreamMpeg | pelgar::kStreamAux);
  }
  // The application hands every completed frame of both pins straight back.
  void HandBack() {
    for (auto [pin, bytes, handed] : {std::tuple{mpeg, pelgar::kMpegFrameBytes, &mpegHanded},
                                      std::tuple{aux, pelgar::kAuxRecordBytes, &auxHanded}}) {
      size_t done = ks.CompletedFrames(pin).size();
      ks.QueueFrames(pin, static_cast<ULONG>(done - *handed), bytes);
      *handed = done;
    }
  }
  void Stream(ksim::Time duration) {
    for (ksim::Time t = 0; t < duration; t += 25 * ksim::kMillisecond) {
      kernel.RunFor(25 * ksim::kMillisecond);
      HandBack();
    }
  }
  void StopBoth() {
    ASSERT_EQ(ks.SetPinState(aux, KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(ks.SetPinState(mpeg, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Context(device)->streamMask, 0u);
  }
  // The records delivered so far, in delivery order; every frame must hold exactly one.
  std::vector<Record> Records() {
    std::vector<Record> out;
    for (const auto& f : ks.CompletedFrames(aux)) {
      EXPECT_EQ(f.header.DataUsed, pelgar::kAuxRecordBytes);
      if (f.data.size() != sizeof(Record)) continue;
      Record r;
      std::memcpy(&r, f.data.data(), sizeof r);
      out.push_back(r);
    }
    return out;
  }
  // Every record the firmware wrote from the set-up on, once each, in order, unchanged.
  static void ExpectTheFirmwaresRecords(const std::vector<Record>& records) {
    uint32_t packs = 0;
    for (size_t i = 0; i < records.size(); ++i) {
      SCOPED_TRACE(i);
      const Record& r = records[i];
      ASSERT_EQ(r.number, i) << "in order, none lost, none twice";
      EXPECT_EQ(r.magic, kRecordMagic);
      EXPECT_EQ(r.ringIndex, i % kRingRecords);
      EXPECT_EQ(r.zero[0], 0u);
      EXPECT_EQ(r.zero[1], 0u);
      EXPECT_GE(r.packs, packs);
      packs = r.packs;
    }
  }

  PluggedCard* card = nullptr;
  PKSDEVICE device = nullptr;
  PKSFILTER filter = nullptr;
  PKSPIN mpeg = nullptr;
  PKSPIN aux = nullptr;
  size_t mpegHanded = 0;
  size_t auxHanded = 0;
};

TEST_F(AuxPinTest, PinHasItsOwnFramingAndAnswersIntersectionWithItsRange) {
  aux = Create(kAuxPinId);
  ASSERT_NE(aux, nullptr);
  const KS_FRAMING_ITEM& framing = aux->Descriptor->AllocatorFraming->FramingItem[0];
  EXPECT_EQ(framing.Frames, 10u);
  EXPECT_EQ(framing.PhysicalRange.MinFrameSize, 24u);
  EXPECT_EQ(framing.PhysicalRange.MaxFrameSize, 24u);
  EXPECT_EQ(framing.FramingRange.Range.MinFrameSize, 24u);
  EXPECT_EQ(framing.FramingRange.Range.MaxFrameSize, 24u);
  EXPECT_EQ(framing.FramingRange.Range.Stepping, 0u);
  EXPECT_EQ(pelgar::kEncoderFilterDescriptor.PinDescriptors[kAuxPinId].AllocatorFraming->FramingItem[0].Frames, 2u)
      << "the template stays shared and unchanged";
  EXPECT_EQ(pelgar::kEncoderFilterDescriptor.PinDescriptors[kAuxPinId].Dispatch, &pelgar::kAuxPinDispatch);
  EXPECT_EQ(AuxObject()->StreamIndex(), pelgar::kStreamIndexAux);

  KSDATARANGE wanted = FormatOf(kAuxPinId);
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
    EXPECT_EQ(ks.IntersectFormat(filter, kAuxPinId, &wanted, out.data(), c.length, &returned), c.status);
    EXPECT_EQ(returned, c.returned);
    EXPECT_EQ(out[64], 0xCC) << "nothing written past the result";
    if (c.status == STATUS_SUCCESS) {
      KSDATAFORMAT result;
      std::memcpy(&result, out.data(), sizeof result);
      EXPECT_EQ(result.FormatSize, 64u);
      EXPECT_TRUE(IsEqualGUID(result.MajorFormat, wanted.MajorFormat));
    }
  }
}

TEST_F(AuxPinTest, FirmwareRecordsArriveInOrderOnceEachAcrossARingWrap) {
  RunBoth();
  EXPECT_EQ(AuxObject()->FirstRecord(), simcard::kAuxRingBase + 4);
  EXPECT_EQ(AuxObject()->RecordCount(), kRingRecords);
  // One record per frame period: the ring of 400 wraps after about 13.4 seconds.
  Stream(14 * ksim::kSecond);
  StopBoth();
  const std::vector<Record> records = Records();
  ASSERT_GT(records.size(), kRingRecords + 5);
  ExpectTheFirmwaresRecords(records);
  EXPECT_EQ(AuxObject()->ReadIndex(), records.size() % kRingRecords);
  const auto& frames = ks.CompletedFrames(aux);
  EXPECT_EQ(frames.front().header.OptionsFlags,
            KSSTREAM_HEADER_OPTIONSF_DURATIONVALID | KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY);
  EXPECT_EQ(frames.back().header.OptionsFlags, KSSTREAM_HEADER_OPTIONSF_DURATIONVALID);
  EXPECT_EQ(frames.back().header.Duration, 0);
}

TEST_F(AuxPinTest, WritePositionOutsideTheRingIsIgnoredAndNothingOutsideItIsRead) {
  RunBoth();
  const ULONG first = simcard::kAuxRingBase + 4;
  const ULONG end = first + kRingRecords * pelgar::kAuxRecordBytes;
  // Behind the ring: words a read past its end would deliver.
  for (ULONG at = end; at < end + 1000 * pelgar::kAuxRecordBytes; at += 4) card->sim->SetMemoryWord(at, kMarker);
  Stream(200 * ksim::kMillisecond);

  const struct {
    const char* name;
    uint32_t position;  // 0: between two records of the ring
  } corrupt[] = {
      {"the ring's end", end},
      {"past the ring", end + 600 * pelgar::kAuxRecordBytes},
      {"the position word itself", simcard::kAuxRingBase},
      {"far outside encoder memory", 0xFFFFFFF0},
      {"between two records", 0},
  };
  for (const auto& c : corrupt) {
    SCOPED_TRACE(c.name);
    // Right after the firmware wrote a record (and its position), before the MPEG transfer of that frame
    // completes, the position is damaged.
    const uint32_t before = card->sim->MemoryWord(simcard::kAuxRingBase);
    for (int i = 0; i < 10000 && card->sim->MemoryWord(simcard::kAuxRingBase) == before; ++i)
      kernel.RunFor(10 * ksim::kMicrosecond);
    const uint32_t valid = card->sim->MemoryWord(simcard::kAuxRingBase);
    ASSERT_NE(valid, before);
    card->sim->SetMemoryWord(simcard::kAuxRingBase, c.position ? c.position : valid + 8);
    const size_t records = ks.CompletedFrames(aux).size();
    const size_t packs = ks.CompletedFrames(mpeg).size();
    const ULONG index = AuxObject()->ReadIndex();
    kernel.RunFor(20 * ksim::kMillisecond);
    EXPECT_GT(ks.CompletedFrames(mpeg).size(), packs) << "MPEG completions looked at the ring";
    EXPECT_EQ(ks.CompletedFrames(aux).size(), records) << "nothing read";
    EXPECT_EQ(AuxObject()->ReadIndex(), index);
    HandBack();
    Stream(50 * ksim::kMillisecond);  // the firmware's next record puts a valid position back
  }
  Stream(100 * ksim::kMillisecond);
  StopBoth();
  const std::vector<Record> records = Records();
  ASSERT_GT(records.size(), 10u);
  ExpectTheFirmwaresRecords(records);
  for (const Record& r : records) EXPECT_NE(r.number, kMarker);
}

TEST_F(AuxPinTest, FrameSmallerThanARecordGetsTheWordsThatFit) {
  mpeg = Create(kMpegPinId);
  aux = Create(kAuxPinId);
  ks.QueueFrames(mpeg, pelgar::kMpegFrames, pelgar::kMpegFrameBytes);
  ks.QueueFrames(aux, 3, 18);  // room for four whole words and two bytes
  ASSERT_EQ(ks.SetPinState(aux, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(ks.SetPinState(mpeg, KSSTATE_RUN), STATUS_SUCCESS);
  kernel.RunFor(200 * ksim::kMillisecond);
  StopBoth();
  const auto& frames = ks.CompletedFrames(aux);
  ASSERT_EQ(frames.size(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(frames[i].header.DataUsed, 16u);
    ASSERT_EQ(frames[i].data.size(), 16u);
    Record r{};
    std::memcpy(&r, frames[i].data.data(), 16);
    EXPECT_EQ(r.number, i);
    EXPECT_EQ(r.magic, kRecordMagic);
    EXPECT_EQ(r.ringIndex, i);
  }
}

TEST_F(AuxPinTest, RingOutsideEncoderMemoryIsNotRead) {
  aux = Create(kAuxPinId);
  ASSERT_NE(aux, nullptr);
  pelgar::AuxPin* pin = AuxObject();
  const struct {
    const char* name;
    ULONG base;
    ULONG first;
    ULONG count;
    bool used;
  } cases[] = {
      {"the firmware's ring", 0x01F00000, 0x01F00004, 400, true},
      {"last record ends at the top", 0x01FFFFE4, 0x01FFFFE8, 1, true},
      {"last record past the top", 0x01FFFFE8, 0x01FFFFEC, 1, false},
      {"count wraps the arithmetic", 0x01F00000, 0x01F00004, 0x0AAAAAAB, false},
      {"no records", 0x01F00000, 0x01F00004, 0, false},
      {"records over the position word", 0x01F00000, 0x01F00000, 400, false},
      {"unaligned position word", 0x01F00002, 0x01F00008, 400, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pin->SetAuxRing(c.base, c.first, c.count);
    EXPECT_EQ(pin->FirstRecord(), c.used ? c.first : 0u);
    EXPECT_EQ(pin->ReadIndex(), 0u);
  }
}

}  // namespace
