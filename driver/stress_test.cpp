// Capture under stress: streams run while the card's interrupts arrive in bursts (the processor held at
// high IRQL while the card goes on, with extra interrupt sources raised meanwhile), while the application
// withholds its buffers for a while (the driver starves), and while pins are paused, stopped and run again.
// Each stretch between entering run and leaving it is one capture of the card's (its numbering starts
// again), checked at the receiving end: every unit the card moved into a buffer arrived once, in order and
// unchanged, or its buffer came back empty and marked as a discontinuity. Afterwards no pool block is left
// and no page of any buffer is still reachable by the card.
//
// The schedule comes from a fixed seed, so every run does the same.
#include <functional>
#include <memory>

#include "driver/capture_pins.h"
#include "driver/dma_engine.h"
#include "driver/encoder_mailbox.h"
#include "driver/filters.h"
#include "driver/pelgar_test_fixture.h"
#include "driver/simcard/encoder_firmware.h"
#include "driver/simcard/firmware_image.h"
#include "driver/simcard/mpeg_stream.h"
#include "driver/simcard/stream_checkers.h"
#include "driver/stream_pin.h"

namespace {

constexpr ULONG kMpegPinId = 1;
constexpr ULONG kRawVideoPinId = 2;

// A small linear congruential generator: the same schedule on every host.
class Schedule {
 public:
  uint32_t Next(uint32_t below) {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state_ >> 33) % below;
  }

 private:
  uint64_t state_ = 0x5EED;
};

// One stream under stress: its pin, the application's share of its buffers, and the stretches it ran.
struct StressedStream {
  std::string name;
  PKSPIN pin = nullptr;
  ULONG frames = 0, frameBytes = 0;
  size_t handedBack = 0;    // completed frames the application has queued again
  size_t segmentStart = 0;  // first completed frame of the stretch that runs now
  uint64_t deliveredAtStart = 0;
  // The card's count of units it moved into host memory.
  std::function<uint64_t()> delivered;
  // Checks the data of one stretch's frames and returns the units that arrived intact.
  std::function<uint64_t(const std::vector<ksim::KsClassDriver::CompletedFrame>&, size_t, size_t)> receive;
  uint64_t segments = 0, units = 0, emptied = 0;
};

class StressTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    card = &Plug("kind1.card");
    device = StartWithTestFirmware(*card);
    ASSERT_NE(device, nullptr);
    encoder = ks.OpenFilter(device, &pelgar::kEncoderFilterDescriptor);
    ASSERT_NE(encoder, nullptr);
  }
  void TearDown() override {
    for (auto& s : streams)
      if (s->pin != nullptr) ks.ClosePin(s->pin);
    for (PKSFILTER f : {capture, encoder})
      if (f != nullptr) ks.CloseFilter(f);
    if (device != nullptr) {
      ks.Stop(device);
      RemoveAndCheck(device);
    }
    DriverFixture::TearDown();
  }

  simcard::EncoderFirmware& Firmware() { return card->sim->Firmware(); }

  StressedStream& AddMpeg() {
    KSDATAFORMAT format{};
    format.FormatSize = sizeof format;
    format.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
    format.SubFormat = MEDIASUBTYPE_MPEG2_PROGRAM;
    format.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    auto s = std::make_unique<StressedStream>();
    s->name = "mpeg";
    EXPECT_EQ(ks.CreatePin(encoder, kMpegPinId, &format, sizeof format, &s->pin), STATUS_SUCCESS);
    s->delivered = [this] { return Firmware().PacksDelivered(); };
    s->receive = [](const auto& frames, size_t from, size_t to) {
      simcard::MpegStreamChecker checker;
      for (size_t i = from; i < to; ++i) checker.Feed(frames[i].data.data(), frames[i].data.size());
      const auto& t = checker.Result();
      EXPECT_EQ(t.damaged + t.duplicated + t.reordered, 0u);
      EXPECT_EQ(checker.PendingBytes(), 0u);
      return t.packs;
    };
    return Framed(std::move(s));
  }

  // The raw video pin of a video capture filter, connected with the format its own range intersects to.
  StressedStream& AddVideo() {
    capture = ks.OpenFilter(device, &pelgar::kVideoCaptureFilterDescriptor);
    EXPECT_NE(capture, nullptr);
    auto s = std::make_unique<StressedStream>();
    s->name = "video";
    if (capture != nullptr) {
      const KSDATARANGE* range = capture->Descriptor->PinDescriptors[kRawVideoPinId].PinDescriptor.DataRanges[0];
      ULONG size = 0;
      EXPECT_EQ(ks.IntersectFormat(capture, kRawVideoPinId, range, nullptr, 0, &size), STATUS_BUFFER_OVERFLOW);
      std::vector<uint8_t> format(size);
      EXPECT_EQ(ks.IntersectFormat(capture, kRawVideoPinId, range, format.data(), size, &size), STATUS_SUCCESS);
      EXPECT_EQ(
          ks.CreatePin(capture, kRawVideoPinId, reinterpret_cast<const KSDATAFORMAT*>(format.data()), size, &s->pin),
          STATUS_SUCCESS);
    }
    s->delivered = [this] { return Firmware().VideoFramesDelivered(); };
    s->receive = [this](const auto& frames, size_t from, size_t to) {
      simcard::RawVideoChecker checker(Firmware().Encoder().width, Firmware().Encoder().height);
      for (size_t i = from; i < to; ++i)
        if (!frames[i].data.empty()) checker.Feed(frames[i].data.data(), frames[i].data.size());
      const auto& t = checker.Result();
      EXPECT_EQ(t.damaged + t.duplicated + t.reordered, 0u);
      return t.intact;
    };
    return Framed(std::move(s));
  }

  StressedStream& Framed(std::unique_ptr<StressedStream> s) {
    if (s->pin != nullptr) {
      const KS_FRAMING_ITEM& framing = s->pin->Descriptor->AllocatorFraming->FramingItem[0];
      s->frames = framing.Frames;
      s->frameBytes = framing.FramingRange.Range.MaxFrameSize;
    }
    streams.push_back(std::move(s));
    return *streams.back();
  }

  // Moves the card's time on while the processor is held at high IRQL: the card's interrupts and the extra
  // sources raised meanwhile wait and then arrive together.
  void Burst(ksim::Time held, unsigned extra) {
    const auto piece = static_cast<ULONG>(held / ksim::kMicrosecond / (extra + 1));
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    for (unsigned i = 0; i < extra; ++i) {
      KeStallExecutionProcessor(piece);
      card->sim->RaiseInterrupt(simcard::kThirdSource);
    }
    KeStallExecutionProcessor(piece);
    KeLowerIrql(old);
  }

  // The application gives back every buffer the pin completed since it last did.
  void HandBack(StressedStream& s) {
    const size_t done = ks.CompletedFrames(s.pin).size();
    if (done > s.handedBack) ks.QueueFrames(s.pin, static_cast<ULONG>(done - s.handedBack), s.frameBytes);
    s.handedBack = done;
  }

  void EnterRun(StressedStream& s) {
    s.segmentStart = ks.CompletedFrames(s.pin).size();
    s.deliveredAtStart = s.delivered();
    ASSERT_EQ(ks.SetPinState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  }

  // The stretch since EnterRun ended: every unit the card delivered arrived once and in order, or the
  // buffers it went into came back empty and marked.
  void CheckStretch(StressedStream& s) {
    SCOPED_TRACE(s.name + " stretch " + std::to_string(s.segments));
    const auto& frames = ks.CompletedFrames(s.pin);
    const size_t end = frames.size();
    uint64_t emptied = 0;
    bool first = true;
    for (size_t i = s.segmentStart; i < end; ++i) {
      const KSSTREAM_HEADER& h = frames[i].header;
      const bool marked = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
      if (h.DataUsed == 0) {
        EXPECT_TRUE(marked) << "an empty buffer is a discontinuity";
        emptied += 1;
      } else if (first) {
        EXPECT_TRUE(marked) << "the first data after run follows a discontinuity";
        first = false;
      }
    }
    const uint64_t received = s.receive(frames, s.segmentStart, end);
    const uint64_t delivered = s.delivered() - s.deliveredAtStart;
    EXPECT_LE(received, delivered);
    if (received < delivered) {
      EXPECT_GT(emptied, 0u) << "units the card delivered went missing unmarked";
    }
    s.segments += 1;
    s.units += received;
    s.emptied += emptied;
  }

  // Runs the streams through `rounds` stretches of the schedule: bursts, starvation, pause or stop.
  void Stress(unsigned rounds) {
    Schedule schedule;
    for (auto& s : streams) ks.QueueFrames(s->pin, s->frames, s->frameBytes);
    unsigned starving = 0;  // steps the application still holds on to what it got; may span stretches
    for (unsigned round = 0; round < rounds; ++round) {
      for (auto& s : streams) EnterRun(*s);
      for (unsigned step = 0; step < 60; ++step) {
        if (schedule.Next(4) == 0) Burst((1 + schedule.Next(6)) * ksim::kMillisecond, schedule.Next(4));
        kernel.RunFor(10 * ksim::kMillisecond);
        if (starving == 0 && schedule.Next(12) == 0) starving = 20 + schedule.Next(150);
        if (starving > 0) {
          starving -= 1;
          continue;
        }
        for (auto& s : streams) HandBack(*s);
      }
      // Leave run: pause keeps the slot, stop releases it; either ends the card's capture.
      const KSSTATE to = schedule.Next(2) == 0 ? KSSTATE_STOP : KSSTATE_PAUSE;
      for (auto& s : streams) ASSERT_EQ(ks.SetPinState(s->pin, to), STATUS_SUCCESS);
      kernel.RunFor(5 * ksim::kMillisecond);
      for (auto& s : streams) CheckStretch(*s);
    }
    for (auto& s : streams) ASSERT_EQ(ks.SetPinState(s->pin, KSSTATE_STOP), STATUS_SUCCESS);
  }

  // After the pins closed: no copy of theirs is left, and no page of any buffer is reachable by the card.
  void CheckClean() {
    std::vector<uint64_t> pages;
    for (auto& s : streams) {
      for (const auto& f : ks.CompletedFrames(s->pin))
        if (!f.pages.empty()) pages.push_back(f.pages.front());
      ks.ClosePin(s->pin);
      s->pin = nullptr;
    }
    for (PKSFILTER* f : {&capture, &encoder}) {
      if (*f != nullptr) ks.CloseFilter(*f);
      *f = nullptr;
    }
    EXPECT_EQ(kernel.OutstandingBlocks(pelgar::kPinEditTag), 0u);
    EXPECT_THAT(kernel.Faults(), ::testing::IsEmpty());
    uint8_t probe[4];
    size_t reachable = 0;
    for (uint64_t page : pages) reachable += kernel.DmaRead(page, probe, sizeof probe) ? 1 : 0;
    EXPECT_EQ(reachable, 0u);
    EXPECT_EQ(kernel.TakeFaults().size(), pages.size()) << "each probe reached unregistered memory";
  }

  PluggedCard* card = nullptr;
  PKSDEVICE device = nullptr;
  PKSFILTER encoder = nullptr;
  PKSFILTER capture = nullptr;
  std::vector<std::unique_ptr<StressedStream>> streams;
};

TEST_F(StressTest, MpegSurvivesBurstsStarvationAndRestarts) {
  StressedStream& mpeg = AddMpeg();
  ASSERT_NE(mpeg.pin, nullptr);
  Stress(8);
  EXPECT_EQ(mpeg.segments, 8u);
  EXPECT_GT(mpeg.units, 500u) << "the stress still moved data";
  EXPECT_GT(Firmware().PacksDropped() + Firmware().PacksOverflowed(), 0u) << "starvation cost the card data";
  EXPECT_EQ(Context(device)->streamMask, 0u);
  CheckClean();
}

TEST_F(StressTest, MpegAndRawVideoTogetherSurviveBurstsStarvationAndRestarts) {
  StressedStream& mpeg = AddMpeg();
  StressedStream& video = AddVideo();
  ASSERT_NE(mpeg.pin, nullptr);
  ASSERT_NE(video.pin, nullptr);
  Stress(6);
  EXPECT_GT(mpeg.units, 400u);
  EXPECT_GT(video.units, 40u) << "the stress still moved frames";
  EXPECT_GT(Firmware().VideoFramesDropped() + Firmware().VideoFramesOverflowed(), 0u)
      << "starvation cost the card frames";
  EXPECT_EQ(Context(device)->streamMask, 0u);
  CheckClean();
}

TEST_F(StressTest, AStopWhileTheDriverWaitsForBuffersDoesNotStallTheNextRun) {
  StressedStream& mpeg = AddMpeg();
  ASSERT_NE(mpeg.pin, nullptr);
  // Two buffers and none given back: the driver soon holds the encoder's request for want of buffers.
  ks.QueueFrames(mpeg.pin, 2, mpeg.frameBytes);
  EnterRun(mpeg);
  kernel.RunFor(500 * ksim::kMillisecond);
  ASSERT_TRUE(Context(device)->dmaEngine->RetryPending());
  ASSERT_EQ(ks.SetPinState(mpeg.pin, KSSTATE_STOP), STATUS_SUCCESS);
  CheckStretch(mpeg);
  EXPECT_FALSE(Context(device)->dmaEngine->RetryPending());

  // The held request was answered (its data dropped), so the encoder asks again in the next run.
  HandBack(mpeg);
  ks.QueueFrames(mpeg.pin, mpeg.frames, mpeg.frameBytes);
  EnterRun(mpeg);
  for (int i = 0; i < 50; ++i) {
    kernel.RunFor(10 * ksim::kMillisecond);
    HandBack(mpeg);
  }
  ASSERT_EQ(ks.SetPinState(mpeg.pin, KSSTATE_STOP), STATUS_SUCCESS);
  const uint64_t first = mpeg.units;
  CheckStretch(mpeg);
  EXPECT_GT(mpeg.units - first, 100u) << "half a second at 6 Mbit/s is about 180 packs";
  CheckClean();
}

}  // namespace
