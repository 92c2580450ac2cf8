#include "driver/dma_engine.h"

#include <deque>

#include "driver/encoder_mailbox.h"
#include "driver/pelgar_test_fixture.h"
#include "driver/simcard/firmware_image.h"
#include "driver/simcard/mpeg_stream.h"

namespace {

using pelgar::CaptureBuffer;
using pelgar::CaptureDmaEngine;
using pelgar::PelgarDevice;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// A running pin as the engine sees it: buffers of host memory whose mappings are registered with the physical
// map one by one (so they lie apart on the bus, as the pages of a locked buffer do), queued in order, and
// the buffers the engine completed.
class TestStream : public pelgar::CaptureStream {
 public:
  struct Buffer {
    std::vector<uint8_t> memory;
    std::vector<pelgar::BufferMapping> mappings;
    CaptureBuffer capture{};
  };

  TestStream(ksim::Kernel& kernel, ULONG index, ULONG bufferBytes, ULONG mappingBytes)
      : kernel_(kernel), index_(index), bufferBytes_(bufferBytes), mappingBytes_(mappingBytes) {}
  ~TestStream() {
    for (auto& b : all_)
      for (ULONG off = 0; off < b->memory.size(); off += mappingBytes_) kernel_.UnregisterDmaBuffer(&b->memory[off]);
  }

  void AddBuffers(size_t n) {
    for (size_t i = 0; i < n; ++i) {
      auto b = std::make_unique<Buffer>();
      b->memory.assign(bufferBytes_, 0xEE);
      for (ULONG off = 0; off < bufferBytes_; off += mappingBytes_) {
        ULONG bytes = std::min(mappingBytes_, bufferBytes_ - off);
        PHYSICAL_ADDRESS pa;
        pa.QuadPart = static_cast<LONGLONG>(kernel_.RegisterDmaBuffer(&b->memory[off], bytes));
        b->mappings.push_back({pa, bytes});
      }
      b->capture.mappings = b->mappings.data();
      b->capture.mappingCount = static_cast<ULONG>(b->mappings.size());
      b->capture.data = b->memory.data();
      b->capture.frameExtent = bufferBytes_;
      queue_.push_back(b.get());
      all_.push_back(std::move(b));
    }
  }

  ULONG StreamIndex() const override { return index_; }
  ULONG BufferSize() const override { return bufferBytes_; }
  CaptureBuffer* TakeBuffer() override {
    if (queue_.empty()) return nullptr;
    Buffer* b = queue_.front();
    queue_.pop_front();
    return &b->capture;
  }
  void CompleteBuffer(CaptureBuffer* buffer) override {
    for (auto& b : all_)
      if (&b->capture == buffer) completed.push_back(b.get());
  }
  void ParseVbi(const UCHAR*, ULONG count, ULONG bufferSize) override { vbiParsed.push_back({count, bufferSize}); }
  void SetAuxRing(ULONG base, ULONG first, ULONG count) override { auxRing = {base, first, count}; }
  void ReadAuxRecords() override { auxReads += 1; }

  // The stream bytes of the completed buffers in order, swapped back from the encoder's word order.
  std::vector<uint8_t> Received() const {
    std::vector<uint8_t> bytes;
    for (const Buffer* b : completed)
      bytes.insert(bytes.end(), b->memory.begin(), b->memory.begin() + b->capture.dataUsed);
    simcard::SwapWordBytes(bytes.data(), bytes.size());
    return bytes;
  }
  size_t Queued() const { return queue_.size(); }

  std::vector<Buffer*> completed;
  std::vector<std::pair<ULONG, ULONG>> vbiParsed;
  std::array<ULONG, 3> auxRing{};
  int auxReads = 0;

 private:
  ksim::Kernel& kernel_;
  ULONG index_, bufferBytes_, mappingBytes_;
  std::deque<Buffer*> queue_;
  std::vector<std::unique_ptr<Buffer>> all_;
};

// A started kind-1 card whose encoder runs the test firmware.
class DmaEngineTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    card = &Plug("kind1.card");
    device = StartWithTestFirmware(*card);
    ASSERT_NE(device, nullptr);
    engine = Dev()->dmaEngine;
    mailbox0 = Dev()->mailbox->MailboxOffset();
  }
  void TearDown() override {
    if (engine != nullptr)
      for (ULONG i = 0; i < pelgar::kStreamSlots; ++i) Locked([&] { engine->Detach(i); });
    if (device != nullptr) {
      if (device->Started) ks.Stop(device);
      RemoveAndCheck(device);
    }
    streams.clear();
    DriverFixture::TearDown();
  }

  PelgarDevice* Dev() { return Context(device); }
  template <class F>
  void Locked(F f) {
    KeWaitForSingleObject(&Dev()->lock, Executive, KernelMode, FALSE, nullptr);
    f();
    KeReleaseMutex(&Dev()->lock, FALSE);
  }
  TestStream& Stream(ULONG index, ULONG bufferBytes, ULONG mappingBytes, size_t buffers) {
    streams.push_back(std::make_unique<TestStream>(kernel, index, bufferBytes, mappingBytes));
    streams.back()->AddBuffers(buffers);
    return *streams.back();
  }
  NTSTATUS Attach(TestStream& s) {
    NTSTATUS status;
    Locked([&] { status = engine->Attach(&s); });
    return status;
  }
  NTSTATUS Command(ULONG code, std::initializer_list<ULONG> args) { return Dev()->mailbox->Send(code, args); }

  // Plays the firmware's side by hand (the firmware itself is told to take no command): a request or done
  // report with its interrupt, then the command the engine posted in mailbox 1, which is freed again.
  void Request(ULONG stream, ULONG address, ULONG count, ULONG address2 = 0, ULONG count2 = 0) {
    card->sim->SetMemoryWord(mailbox0 + 736, stream);
    card->sim->SetMemoryWord(mailbox0 + 740, address);
    card->sim->SetMemoryWord(mailbox0 + 744, count);
    card->sim->SetMemoryWord(mailbox0 + 748, address2);
    card->sim->SetMemoryWord(mailbox0 + 752, count2);
    card->sim->RaiseInterrupt(simcard::kDmaRequest);
    kernel.RunUntilIdle();
  }
  void Done(ULONG stream) {
    card->sim->SetMemoryWord(mailbox0 + 660, stream);
    card->sim->RaiseInterrupt(simcard::kDmaDone);
    kernel.RunUntilIdle();
  }
  struct Posted {
    ULONG code, list, count;
  };
  Posted TakePosted() {
    const ULONG box = mailbox0 + 80;
    Posted p{card->sim->MemoryWord(box + 4), card->sim->MemoryWord(box + 16), card->sim->MemoryWord(box + 20)};
    EXPECT_EQ(card->sim->MemoryWord(box), 3u) << "a command was posted";
    card->sim->SetMemoryWord(box, 0);
    return p;
  }
  std::vector<pelgar::DmaDescriptor> List(ULONG physical, size_t count) {
    std::vector<pelgar::DmaDescriptor> d(count);
    EXPECT_TRUE(kernel.DmaRead(physical, d.data(), count * sizeof(pelgar::DmaDescriptor)));
    return d;
  }
  void Silence() { card->sim->Firmware().SetSilent(true); }

  PluggedCard* card = nullptr;
  PKSDEVICE device = nullptr;
  CaptureDmaEngine* engine = nullptr;
  ULONG mailbox0 = 0;
  std::vector<std::unique_ptr<TestStream>> streams;
};

// ---- The program stream end to end

TEST_F(DmaEngineTest, ProgramStreamArrivesWholeInTheStreamBuffers) {
  TestStream& mpeg = Stream(pelgar::kStreamIndexMpeg, 0x10000, 4096, 64);
  ASSERT_EQ(Attach(mpeg), STATUS_SUCCESS);
  ASSERT_EQ(Command(0x81, {0, 0}), STATUS_SUCCESS);
  kernel.RunFor(500 * ksim::kMillisecond);
  ASSERT_EQ(Command(0x82, {1, 0, 0}), STATUS_SUCCESS);
  kernel.RunFor(10 * ksim::kMillisecond);

  simcard::MpegStreamChecker checker;
  std::vector<uint8_t> bytes = mpeg.Received();
  checker.Feed(bytes.data(), bytes.size());
  const auto& tally = checker.Result();
  EXPECT_GT(tally.packs, 100u);
  EXPECT_EQ(tally.lost, 0u);
  EXPECT_EQ(tally.damaged, 0u);
  EXPECT_EQ(tally.duplicated + tally.reordered, 0u);
  EXPECT_EQ(tally.packs, card->sim->Firmware().PacksDelivered());
  for (const simcard::DmaTransfer& t : card->sim->Firmware().Transfers()) {
    ASSERT_FALSE(t.descriptors.empty());
    for (size_t i = 0; i + 1 < t.descriptors.size(); ++i) EXPECT_FALSE(t.descriptors[i].last);
    EXPECT_TRUE(t.descriptors.back().last);
    EXPECT_TRUE(t.completed);
  }
  for (const TestStream::Buffer* b : mpeg.completed) EXPECT_EQ(b->capture.flags, 0u);
}

TEST_F(DmaEngineTest, StarvedProgramStreamWaitsForBuffersAndLosesNoBytesItWasGiven) {
  TestStream& mpeg = Stream(pelgar::kStreamIndexMpeg, 4096, 4096, 1);
  ASSERT_EQ(Attach(mpeg), STATUS_SUCCESS);
  ASSERT_EQ(Command(0x81, {0, 0}), STATUS_SUCCESS);
  kernel.RunFor(1000 * ksim::kMillisecond);
  EXPECT_TRUE(engine->RetryPending()) << "the first request needs more than one buffer";
  EXPECT_THAT(mpeg.completed, IsEmpty());

  mpeg.AddBuffers(300);
  engine->RetryPendingRequest();
  EXPECT_FALSE(engine->RetryPending());
  kernel.RunFor(300 * ksim::kMillisecond);
  ASSERT_EQ(Command(0x82, {1, 0, 0}), STATUS_SUCCESS);
  kernel.RunFor(10 * ksim::kMillisecond);

  simcard::MpegStreamChecker checker;
  std::vector<uint8_t> bytes = mpeg.Received();
  checker.Feed(bytes.data(), bytes.size());
  EXPECT_GT(checker.Result().packs, 50u);
  EXPECT_GT(checker.Result().lost, 0u) << "the firmware's ring ran full while the pin had no buffers";
  EXPECT_EQ(checker.Result().lost, card->sim->Firmware().PacksOverflowed());
  EXPECT_EQ(checker.Result().damaged, 0u);
  EXPECT_EQ(checker.Result().duplicated + checker.Result().reordered, 0u);
}

// ---- Descriptor lists, with the firmware's side played by hand

TEST_F(DmaEngineTest, DescriptorsFollowTheMappingsAndNeverReachPastABuffer) {
  Silence();
  struct Case {
    const char* name;
    ULONG bufferBytes, mappingBytes, buffers, count;
    std::vector<ULONG> counts;    // descriptor byte counts
    std::vector<ULONG> dataUsed;  // per buffer completed
  } cases[] = {
      {"1000 bytes into one page: padded to 1024", 4096, 4096, 1, 1000, {1024}, {1000}},
      {"three pages: one descriptor each", 12288, 4096, 1, 12000, {4096, 4096, 3840}, {12000}},
      {"padding stops at the mapping's end", 4000, 4000, 1, 3900, {4000}, {3900}},
      {"the second buffer takes the rest", 1000, 1000, 2, 1500, {1000, 512}, {1000, 500}},
      {"two buffers", 2048, 2048, 2, 3000, {2048, 1024}, {2048, 952}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestStream& mpeg = Stream(pelgar::kStreamIndexMpeg, c.bufferBytes, c.mappingBytes, c.buffers);
    ASSERT_EQ(Attach(mpeg), STATUS_SUCCESS);
    Request(0, 0x100000, c.count);
    Posted p = TakePosted();
    EXPECT_EQ(p.code, 0xCCu);
    ASSERT_NE(p.list, 0u);
    std::vector<pelgar::DmaDescriptor> list = List(p.list, c.counts.size());
    ULONG source = 0x100000, total = 0;
    for (size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[i].source, source);
      EXPECT_EQ(list[i].control & pelgar::kDescriptorCountMask, c.counts[i]);
      EXPECT_EQ((list[i].control & pelgar::kDescriptorLast) != 0, i + 1 == list.size());
      EXPECT_EQ(list[i].control & 0x7FFC0000u, 0u);
      source += c.counts[i];
      total += c.counts[i];
    }
    EXPECT_EQ(p.count, total);
    Done(0);
    std::vector<ULONG> used;
    for (const TestStream::Buffer* b : mpeg.completed) used.push_back(b->capture.dataUsed);
    EXPECT_EQ(used, c.dataUsed);
    Locked([&] { engine->Detach(0); });
  }
}

TEST_F(DmaEngineTest, AListNeverHoldsMoreDescriptorsThanItsPage) {
  Silence();
  TestStream& mpeg = Stream(pelgar::kStreamIndexMpeg, 256 * 400, 256, 1);
  ASSERT_EQ(Attach(mpeg), STATUS_SUCCESS);
  Request(0, 0x100000, 256 * 339);  // 339 descriptors, two kept free for VBI
  Posted fits = TakePosted();
  EXPECT_NE(fits.list, 0u);
  EXPECT_TRUE(List(fits.list, 339).back().control & pelgar::kDescriptorLast);
  Done(0);
  ASSERT_EQ(mpeg.completed.size(), 1u);
  EXPECT_EQ(mpeg.completed[0]->capture.dataUsed, 256u * 339);

  mpeg.AddBuffers(1);
  Request(0, 0x100000, 256 * 340);
  Posted refused = TakePosted();
  EXPECT_EQ(refused.list, 0u) << "answered without a list: the firmware drops the data";
  EXPECT_EQ(refused.count, 256u * 340);
  ASSERT_EQ(mpeg.completed.size(), 2u);
  EXPECT_EQ(mpeg.completed[1]->capture.dataUsed, 0u);
  EXPECT_EQ(mpeg.completed[1]->capture.flags, pelgar::kBufferDiscontinuity);
  EXPECT_EQ(engine->Statistics().refused[0], 1u);
  Done(0);
}

TEST_F(DmaEngineTest, StarvedBuffersGoBackEmptyWithADiscontinuity) {
  Silence();
  TestStream& mpeg = Stream(pelgar::kStreamIndexMpeg, 4096, 4096, 1);
  ASSERT_EQ(Attach(mpeg), STATUS_SUCCESS);
  Request(0, 0x100000, 8192);
  EXPECT_TRUE(engine->RetryPending());
  EXPECT_EQ(card->sim->MemoryWord(mailbox0 + 80), 0u) << "no answer while starved";

  // A new request replaces the one that never got its list: its buffer holds nothing a transfer wrote.
  mpeg.AddBuffers(2);
  Request(0, 0x140000, 4096);
  ASSERT_GE(mpeg.completed.size(), 1u);
  EXPECT_EQ(mpeg.completed[0]->capture.dataUsed, 0u);
  EXPECT_EQ(mpeg.completed[0]->capture.flags, pelgar::kBufferDiscontinuity);
  Posted p = TakePosted();
  EXPECT_NE(p.list, 0u);
  Done(0);
  ASSERT_EQ(mpeg.completed.size(), 2u);
  EXPECT_EQ(mpeg.completed[1]->capture.dataUsed, 4096u);
  EXPECT_EQ(mpeg.completed[1]->capture.flags, 0u);

  // Starved again, then the pin leaves run.
  Request(0, 0x100000, 8192);
  EXPECT_TRUE(engine->RetryPending());
  Locked([&] { engine->Detach(0); });
  EXPECT_FALSE(engine->RetryPending());
  ASSERT_EQ(mpeg.completed.size(), 3u);
  EXPECT_EQ(mpeg.completed[2]->capture.dataUsed, 0u);
  EXPECT_EQ(mpeg.completed[2]->capture.flags, pelgar::kBufferDiscontinuity);
  EXPECT_EQ(engine->Statistics().emptied[0], 2u);
}

TEST_F(DmaEngineTest, RequestsWithoutAPinOrForUnknownStreamsAreNotListed) {
  TestStream& aux = Stream(pelgar::kStreamIndexAux, 0, 4096, 0);
  ASSERT_EQ(Attach(aux), STATUS_SUCCESS);  // the firmware answers the record ring's set-up
  EXPECT_EQ(aux.auxRing[0], 0x1F00000u);
  EXPECT_EQ(aux.auxRing[1], 0x1F00004u);
  EXPECT_EQ(aux.auxRing[2], 400u);
  Silence();
  Request(0, 0x100000, 4096);
  Posted p = TakePosted();
  EXPECT_EQ(p.list, 0u);
  EXPECT_EQ(p.count, 4096u);
  Request(1, 0x800000, 4096);
  EXPECT_EQ(TakePosted().list, 0u);
  Request(3, 0, 0);
  EXPECT_EQ(card->sim->MemoryWord(mailbox0 + 80), 0u) << "stream 3 gets no answer";
  EXPECT_EQ(engine->Statistics().ignoredRequests, 1u);
  Done(0);
  EXPECT_EQ(aux.auxReads, 1) << "records are read after every program-stream transfer";
}

TEST_F(DmaEngineTest, ARequestRaisedWhileMaskedFindsThePinThatUnmasked) {
  Silence();
  Request(0, 0x100000, 2048);
  EXPECT_EQ(engine->Statistics().requests[0], 0u) << "no pin attached: the sources are masked";
  TestStream& mpeg = Stream(pelgar::kStreamIndexMpeg, 4096, 4096, 1);
  ASSERT_EQ(Attach(mpeg), STATUS_SUCCESS);
  kernel.RunUntilIdle();
  Posted p = TakePosted();
  EXPECT_NE(p.list, 0u) << "answered with a list into the pin's buffer";
  Done(0);
  ASSERT_EQ(mpeg.completed.size(), 1u);
  EXPECT_EQ(mpeg.completed[0]->capture.dataUsed, 2048u);
}

// ---- Raw video and raw audio

TEST_F(DmaEngineTest, RawVideoPlanesShareOneBuffer) {
  Silence();
  TestStream& video = Stream(pelgar::kStreamIndexRawVideo, 3 * 4096, 4096, 1);
  ASSERT_EQ(Attach(video), STATUS_SUCCESS);
  Request(1, 0x800000, 6000, 0x802000, 3000);
  Posted p = TakePosted();
  std::vector<pelgar::DmaDescriptor> list = List(p.list, 4);
  EXPECT_EQ(list[0].source, 0x800000u);
  EXPECT_EQ(list[0].control, 4096u);
  EXPECT_EQ(list[1].control, 2048u) << "6000 - 4096 padded to 2048";
  EXPECT_EQ(list[2].source, 0x802000u) << "the second plane starts where the first one's padding ends";
  EXPECT_EQ(list[2].destination, list[1].destination + 2048);
  EXPECT_EQ(list[2].control, 2048u);
  EXPECT_EQ(list[3].source, 0x802800u);
  EXPECT_EQ(list[3].control, pelgar::kDescriptorLast | 1024u);
  Done(1);
  ASSERT_EQ(video.completed.size(), 1u);
  EXPECT_EQ(video.completed[0]->capture.dataUsed, 6144u + 3000u);
  Request(1, 0x800000, 6000, 0x802000, 3000);  // no buffer left: the frame is dropped
  EXPECT_EQ(TakePosted().list, 0u);
  Done(1);
}

TEST_F(DmaEngineTest, AudioBlocksLoseTheirHeaderAndOddSizesAreDropped) {
  Silence();
  TestStream& audio = Stream(pelgar::kStreamIndexRawAudio, 3000, 3000, 4);
  ASSERT_EQ(Attach(audio), STATUS_SUCCESS);
  const struct {
    ULONG count;
    bool listed;
  } cases[] = {{1776, true}, {12, false}, {5, false}, {8192 + 12, true}, {8192 + 13, false}, {0xFFFFFFFF, false}};
  ULONG refused = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    Request(2, 0x600000, c.count);
    Posted p = TakePosted();
    if (c.listed) {
      ASSERT_NE(p.list, 0u);
      std::vector<pelgar::DmaDescriptor> list = List(p.list, 1);
      EXPECT_EQ(list[0].source, 0x600000u + 12);
      EXPECT_EQ(list[0].destination, Dev()->commonBuffer2.pa.u.LowPart);
      EXPECT_EQ(list[0].control, pelgar::kDescriptorLast | (c.count - 12));
    } else {
      EXPECT_EQ(p.list, 0u);
      EXPECT_EQ(p.count, c.count);
      refused += 1;
    }
    EXPECT_EQ(engine->Statistics().audioRefused, refused);
    Done(2);
  }
  // 1764 bytes, then 8192: the first buffer of 3000 fills from both, then two more and a part-full one.
  ASSERT_EQ(audio.completed.size(), 3u);
  for (const TestStream::Buffer* b : audio.completed) EXPECT_EQ(b->capture.dataUsed, 3000u);
  Locked([&] { engine->Detach(2); });
  ASSERT_EQ(audio.completed.size(), 4u);
  EXPECT_EQ(audio.completed[3]->capture.dataUsed, 1764u + 8192u - 9000u) << "completed with what it holds";
}

TEST_F(DmaEngineTest, AudioWithoutABufferIsCountedAndTheNextBufferShowsTheGap) {
  Silence();
  TestStream& audio = Stream(pelgar::kStreamIndexRawAudio, 1000, 1000, 1);
  ASSERT_EQ(Attach(audio), STATUS_SUCCESS);
  Request(2, 0x600000, 1776);  // 1764 bytes: 1000 fit the one buffer
  ASSERT_NE(TakePosted().list, 0u);
  Done(2);
  ASSERT_EQ(audio.completed.size(), 1u);
  EXPECT_EQ(audio.completed[0]->capture.flags, 0u);
  EXPECT_EQ(engine->Statistics().audioLostBytes, 764u);

  audio.AddBuffers(2);
  Request(2, 0x600000, 1776);
  ASSERT_NE(TakePosted().list, 0u);
  Done(2);
  ASSERT_EQ(audio.completed.size(), 2u);
  EXPECT_EQ(audio.completed[1]->capture.flags, pelgar::kBufferDiscontinuity) << "the first buffer after the loss";
  EXPECT_EQ(engine->Statistics().audioLostBytes, 764u) << "the second buffer holds the rest";
  Locked([&] { engine->Detach(2); });
  ASSERT_EQ(audio.completed.size(), 3u);
  EXPECT_EQ(audio.completed[2]->capture.flags, 0u);
  EXPECT_EQ(audio.completed[2]->capture.dataUsed, 764u);
}

TEST_F(DmaEngineTest, RawAudioArrivesAsTheFirmwareMadeIt) {
  TestStream& audio = Stream(pelgar::kStreamIndexRawAudio, 1764 * 2, 1764 * 2, 40);
  ASSERT_EQ(Attach(audio), STATUS_SUCCESS);
  ASSERT_EQ(Command(0x81, {1, 0}), STATUS_SUCCESS);
  kernel.RunFor(200 * ksim::kMillisecond);
  ASSERT_EQ(Command(0x82, {1, 1, 0}), STATUS_SUCCESS);
  kernel.RunFor(10 * ksim::kMillisecond);
  ASSERT_GE(audio.completed.size(), 3u);
  std::vector<uint8_t> received;
  for (const TestStream::Buffer* b : audio.completed)
    received.insert(received.end(), b->memory.begin(), b->memory.begin() + b->capture.dataUsed);
  uint32_t rate = simcard::AudioRate(card->sim->Firmware().Encoder().audioWord);
  for (size_t n = 0; n < received.size() / 1764; ++n) {
    auto block = simcard::RawAudioBlock(n, rate);
    ASSERT_TRUE(std::equal(block.begin() + 12, block.end(), received.begin() + n * 1764)) << "block " << n;
  }
}

// ---- VBI staging

TEST(VbiRing, RingsThatDoNotFitTheStagingBufferOrEncoderMemoryAreRefused) {
  ksim::Kernel kernel;
  PHYSICAL_ADDRESS pa{};
  pelgar::VbiRing* ring = nullptr;
  ASSERT_EQ(pelgar::VbiRing::Create(nullptr, nullptr, pa, 104960, &ring), STATUS_SUCCESS);
  const struct {
    const char* name;
    ULONG offset, size, count;
    NTSTATUS status;
  } cases[] = {
      {"625 lines: two copies fill the staging buffer", 0x1E00000, 52432, 8, STATUS_SUCCESS},
      {"525 lines", 0x1E00000, 34960, 8, STATUS_SUCCESS},
      {"two copies one unit too many", 0x1E00000, 52432 + 256, 8, STATUS_INVALID_PARAMETER},
      {"last copy ends at the end of encoder memory", 0x2000000 - 8 * 52432 + 52432 - 52480, 52432, 8,
       STATUS_SUCCESS},
      {"last copy past encoder memory", 0x2000000 - 8 * 52432, 52432, 8, STATUS_INVALID_PARAMETER},
      {"count overflowing the address arithmetic", 0x1E00000, 52432, 0x80000000, STATUS_INVALID_PARAMETER},
      {"no buffers", 0x1E00000, 52432, 0, STATUS_INVALID_PARAMETER},
      {"empty buffers", 0x1E00000, 0, 8, STATUS_INVALID_PARAMETER},
      {"no room for the position word", 0, 52432, 8, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ring->Configure(c.offset, c.size, c.count, 18, 0x25, 0x62), c.status);
    EXPECT_EQ(ring->Enabled(), NT_SUCCESS(c.status));
  }
  pelgar::VbiRing::Destroy(ring);
  EXPECT_THAT(kernel.CheckUnload(), IsEmpty());
}

TEST_F(DmaEngineTest, VbiBuffersRideBehindTheProgramStream) {
  Silence();
  const pelgar::VbiLayout& layout = Dev()->mailbox->Vbi();
  ASSERT_TRUE(layout.valid);
  TestStream& mpeg = Stream(pelgar::kStreamIndexMpeg, 4096, 4096, 8);
  TestStream& vbi = Stream(pelgar::kStreamIndexVbi, 0, 4096, 0);
  ASSERT_EQ(Attach(mpeg), STATUS_SUCCESS);
  ASSERT_EQ(Attach(vbi), STATUS_SUCCESS);
  const ULONG o = layout.ringOffset, s = layout.bufferSize;
  const ULONG staged = (s & ~255u) + 256;
  const struct {
    const char* name;
    ULONG position;              // buffer the firmware completed last
    std::vector<ULONG> sources;  // ring buffers staged
  } cases[] = {
      {"d = 1, firmware in buffer 3: buffers 2 and 3", 3, {2, 3}},
      {"nothing new", 3, {}},
      {"d = 4, firmware in buffer 4: buffer 4 alone", 4, {4}},
      {"wrapping: firmware in buffer 0 with d = 5: buffers 7 and 0", 0, {7, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    card->sim->SetMemoryWord(o - 4, o + c.position * s);
    Request(0, 0x100000, 2048);
    Posted p = TakePosted();
    std::vector<pelgar::DmaDescriptor> list = List(p.list, 1 + c.sources.size());
    for (size_t j = 0; j < c.sources.size(); ++j) {
      EXPECT_EQ(list[1 + j].source, o + c.sources[j] * s);
      EXPECT_EQ(list[1 + j].destination, Dev()->commonBuffer1.pa.u.LowPart + j * s);
      EXPECT_EQ(list[1 + j].control & pelgar::kDescriptorCountMask, staged);
    }
    EXPECT_TRUE(list.back().control & pelgar::kDescriptorLast);
    if (!c.sources.empty()) {
      EXPECT_FALSE(list[0].control & pelgar::kDescriptorLast) << "only the final one is last";
    }
    Done(0);
    if (!c.sources.empty()) {
      ASSERT_FALSE(vbi.vbiParsed.empty());
      EXPECT_EQ(vbi.vbiParsed.back(), (std::pair<ULONG, ULONG>{static_cast<ULONG>(c.sources.size()), s}));
      vbi.vbiParsed.clear();
    } else {
      EXPECT_THAT(vbi.vbiParsed, IsEmpty());
    }
  }
}

TEST_F(DmaEngineTest, AVbiRingTooLargeForTheStagingBufferLeavesVbiOff) {
  // Three frames per buffer: the ring lies inside encoder memory, but two of its buffers do not fit the
  // staging buffer.
  card->sim->Firmware().ReportVbiRing(3, 8, 0x1E00000);
  NTSTATUS configured = STATUS_PENDING;
  Locked([&] { configured = Dev()->mailbox->ConfigureVbi(Dev()); });
  ASSERT_EQ(configured, STATUS_SUCCESS);
  ASSERT_TRUE(Dev()->mailbox->Vbi().valid);
  Silence();
  TestStream& mpeg = Stream(pelgar::kStreamIndexMpeg, 4096, 4096, 2);
  TestStream& vbi = Stream(pelgar::kStreamIndexVbi, 0, 4096, 0);
  ASSERT_EQ(Attach(mpeg), STATUS_SUCCESS);
  ASSERT_EQ(Attach(vbi), STATUS_SUCCESS);
  EXPECT_FALSE(Dev()->vbiRing->Enabled());
  const pelgar::VbiLayout& layout = Dev()->mailbox->Vbi();
  card->sim->SetMemoryWord(layout.ringOffset - 4, layout.ringOffset + 3 * layout.bufferSize);
  Request(0, 0x100000, 2048);
  Posted p = TakePosted();
  std::vector<pelgar::DmaDescriptor> list = List(p.list, 1);
  EXPECT_EQ(list[0].control, pelgar::kDescriptorLast | 2048u) << "the program stream alone";
  EXPECT_EQ(p.count, 2048u);
  Done(0);
  EXPECT_THAT(vbi.vbiParsed, IsEmpty());
}

// ---- Interrupts

TEST_F(DmaEngineTest, OneSourceIsAcknowledgedPerInterruptAndTheLastDetachMasksThemAll) {
  Silence();
  TestStream& mpeg = Stream(pelgar::kStreamIndexMpeg, 4096, 4096, 4);
  card->sim->ClearRegisterLog();
  ASSERT_EQ(Attach(mpeg), STATUS_SUCCESS);
  EXPECT_EQ(card->sim->Register(0x48) & simcard::kAllSources, 0u);
  card->sim->ClearRegisterLog();
  card->sim->SetMemoryWord(mailbox0 + 736, 0);
  card->sim->SetMemoryWord(mailbox0 + 740, 0x100000);
  card->sim->SetMemoryWord(mailbox0 + 744, 2048);
  card->sim->SetMemoryWord(mailbox0 + 660, 0);
  card->sim->RaiseInterrupt(simcard::kDmaRequest | simcard::kDmaDone | simcard::kThirdSource);
  kernel.RunUntilIdle();
  std::vector<ULONG> acknowledged;
  for (const simcard::RegisterAccess& a : card->sim->RegisterLog())
    if (a.write && a.offset == 0x40) acknowledged.push_back(a.value);
  EXPECT_THAT(acknowledged, ElementsAre(0x80000000u, 0x08000000u, 0x40000000u));
  EXPECT_EQ(engine->Statistics().thirdSource, 1u);
  TakePosted();
  ASSERT_EQ(mpeg.completed.size(), 1u) << "the done report completed the request listed just before";
  Locked([&] { engine->Detach(0); });
  EXPECT_EQ(card->sim->Register(0x48) & simcard::kAllSources, simcard::kAllSources);
}

}  // namespace
