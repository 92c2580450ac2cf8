// The capture path's cost on this host: nvpelgar on the simulated card streaming through the class-driver
// stand-in, measured in processor time against a plain copy of the same bytes in the same run.
//
// What one iteration of a capture benchmark does: the pin runs for 100 ms of the card's time while the
// application hands every completed buffer straight back. The kernel stand-in meters the driver's own time:
// the time inside its interrupt routine, DPCs and Process dispatch (with the kernel and class-driver services
// they call), less the card's work behind the driver's register and memory accesses (a transfer runs when the
// driver writes its mailbox) and less the stand-in's handing of completed frames to the application. The
// whole simulated path (card, stand-ins, driver) and the card's own work on the same bytes are printed beside.
//
// After the benchmarks the program prints for the program stream and for raw video a line "<stream>
// capture: the driver's own time ... ratio R to a plain copy" with the cost per delivered megabyte and per
// completed buffer, what the real card's rate would cost, and the interrupt and DPC path's sustained request
// rate: requests handled per second of the driver's own time with nothing lost (both streams' runs together).
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/device.h"
#include "driver/dma_engine.h"
#include "driver/filters.h"
#include "driver/kernel/sim/kernel.h"
#include "driver/kernel/sim/ks_class.h"
#include "driver/simcard/card_file.h"
#include "driver/simcard/encoder_firmware.h"
#include "driver/simcard/firmware_image.h"
#include "driver/simcard/mpeg_stream.h"
#include "driver/simcard/sim_card.h"
#include "driver/simcard/stream_checkers.h"
#include "driver/stream_pin.h"

namespace {

// The sample kind-1 board.
std::string CardText() {
  std::ifstream in(std::string(TV_CARDS_DIR) + "/kind1.card");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Totals of the last (longest) call of each benchmark, read by main.
struct Totals {
  double seconds = 0;
  double driver = 0;  // inside the driver's interrupt routine, DPCs and Process (capture runs only)
  uint64_t bytes = 0, buffers = 0, requests = 0;
  bool intact = false;
};
Totals g_copy, g_mpeg, g_mpegCard, g_video, g_videoCard;

// A started card with its encoder up and nvpelgar driving it, and the encoder filter open.
class Rig {
 public:
  Rig() {
    simcard::CardDescription description;
    simcard::ParseCardFile(CardText(), &description);
    card_ = simcard::SimCard::Create(kernel_, description);
    pdo_ = kernel_.AddPhysicalDevice("card");
    simcard::WriteDriverData(description, kernel_.DriverKey(pdo_));
    kernel_.AddDriverFile(simcard::kFirmwareFileName, simcard::TestFirmwareImage());
    kernel_.MeterDriverTime(true);
    ks_ = std::make_unique<ksim::KsClassDriver>(kernel_);
    if (!NT_SUCCESS(ks_->Load(DriverEntry)) || !NT_SUCCESS(ks_->Add(pdo_, &device_))) return;
    ksim::CardResources resources{description.memoryAddress,
                                  static_cast<ULONG>(description.memoryLength),
                                  description.vector,
                                  description.irql,
                                  description.latched,
                                  description.shared,
                                  1};
    if (!NT_SUCCESS(ks_->Start(device_, resources))) return;
    for (int i = 0; i < 10000 && Context()->bringUpStatus == STATUS_PENDING; ++i)
      kernel_.RunFor(10 * ksim::kMillisecond);
    if (Context()->bringUpStatus != STATUS_SUCCESS) return;
    encoder_ = ks_->OpenFilter(device_, &pelgar::kEncoderFilterDescriptor);
  }
  ~Rig() {
    if (pin_ != nullptr) ks_->ClosePin(pin_);
    if (capture_ != nullptr) ks_->CloseFilter(capture_);
    if (encoder_ != nullptr) ks_->CloseFilter(encoder_);
    if (device_ != nullptr) {
      if (device_->Started) ks_->Stop(device_);
      ks_->Remove(device_);
    }
    ks_.reset();
  }

  bool MpegPin() {
    if (encoder_ == nullptr) return false;
    KSDATAFORMAT format{};
    format.FormatSize = sizeof format;
    format.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
    format.SubFormat = MEDIASUBTYPE_MPEG2_PROGRAM;
    format.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    if (!NT_SUCCESS(ks_->CreatePin(encoder_, 1, &format, sizeof format, &pin_))) return false;
    return RunPin();
  }

  // The raw video pin (pin 2 of a video capture filter) with the format its own range intersects to.
  bool VideoPin() {
    if (encoder_ == nullptr) return false;
    capture_ = ks_->OpenFilter(device_, &pelgar::kVideoCaptureFilterDescriptor);
    if (capture_ == nullptr) return false;
    const KSDATARANGE* range = capture_->Descriptor->PinDescriptors[2].PinDescriptor.DataRanges[0];
    ULONG size = 0;
    ks_->IntersectFormat(capture_, 2, range, nullptr, 0, &size);
    std::vector<uint8_t> format(size);
    if (size == 0 || ks_->IntersectFormat(capture_, 2, range, format.data(), size, &size) != STATUS_SUCCESS)
      return false;
    if (!NT_SUCCESS(ks_->CreatePin(capture_, 2, reinterpret_cast<const KSDATAFORMAT*>(format.data()), size, &pin_)))
      return false;
    return RunPin();
  }

  bool RunPin() {
    const KS_FRAMING_ITEM& framing = pin_->Descriptor->AllocatorFraming->FramingItem[0];
    frameBytes_ = framing.FramingRange.Range.MaxFrameSize;
    ks_->QueueFrames(pin_, framing.Frames, frameBytes_);
    return NT_SUCCESS(ks_->SetPinState(pin_, KSSTATE_RUN));
  }

  // Lets the card run for `time`, handing every completed buffer straight back; the bytes and buffers
  // completed meanwhile, their data fed to `feed`.
  template <class Feed>
  void Run(ksim::Time time, Feed feed, uint64_t* bytes, uint64_t* buffers) {
    for (ksim::Time ran = 0; ran < time; ran += 10 * ksim::kMillisecond) {
      kernel_.RunFor(10 * ksim::kMillisecond);
      const auto& done = ks_->CompletedFrames(pin_);
      for (size_t i = seen_; i < done.size(); ++i) {
        *bytes += done[i].data.size();
        *buffers += done[i].data.empty() ? 0 : 1;
        empties_ += done[i].data.empty() ? 1 : 0;
        if (!done[i].data.empty()) feed(done[i].data);
      }
      if (done.size() > seen_) ks_->QueueFrames(pin_, static_cast<ULONG>(done.size() - seen_), frameBytes_);
      seen_ = done.size();
    }
  }

  // Warms up for 200 ms of the card's time, then times the benchmark's iterations of 100 ms each: bytes and
  // buffers delivered, processor and driver time, requests of `stream`.
  template <class Feed>
  Totals Measure(benchmark::State& state, ULONG stream, Feed feed) {
    Totals t;
    uint64_t warmBytes = 0, warmBuffers = 0;
    Run(200 * ksim::kMillisecond, feed, &warmBytes, &warmBuffers);
    const ULONG requestsBefore = Requests(stream);
    const double driverBefore = kernel_.DriverSeconds();
    const double start = CpuSeconds();
    for (auto _ : state) Run(100 * ksim::kMillisecond, feed, &t.bytes, &t.buffers);
    t.seconds = CpuSeconds() - start;
    t.driver = kernel_.DriverSeconds() - driverBefore;
    t.requests = Requests(stream) - requestsBefore;
    return t;
  }

  // Stops the pin and takes in what the stop completed.
  template <class Feed>
  void Stop(Feed feed, uint64_t* bytes, uint64_t* buffers) {
    ks_->SetPinState(pin_, KSSTATE_STOP);
    Run(10 * ksim::kMillisecond, feed, bytes, buffers);
  }

  ULONG Requests(ULONG stream) const { return Context()->dmaEngine->Statistics().requests[stream]; }
  simcard::EncoderFirmware& Firmware() { return card_->Firmware(); }

 private:
  pelgar::PelgarDevice* Context() const { return static_cast<pelgar::PelgarDevice*>(device_->Context); }

  ksim::Kernel kernel_;
  std::unique_ptr<simcard::SimCard> card_;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::unique_ptr<ksim::KsClassDriver> ks_;
  PKSDEVICE device_ = nullptr;
  PKSFILTER encoder_ = nullptr;
  PKSFILTER capture_ = nullptr;
  PKSPIN pin_ = nullptr;
  ULONG frameBytes_ = 0;
  size_t seen_ = 0;
  uint64_t empties_ = 0;  // buffers completed without data

 public:
  uint64_t Empties() const { return empties_; }
};

// A plain copy of one MPEG buffer's worth of bytes: the yardstick.
void BM_PlainCopy(benchmark::State& state) {
  std::vector<uint8_t> from(pelgar::kMpegFrameBytes, 0x5A), to(pelgar::kMpegFrameBytes);
  Totals t;
  const double start = CpuSeconds();
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
    t.bytes += from.size();
  }
  t.seconds = CpuSeconds() - start;
  t.buffers = static_cast<uint64_t>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(t.bytes));
  g_copy = t;
}
BENCHMARK(BM_PlainCopy);

// The program stream through the whole path, 100 ms of the card's time per iteration.
void BM_MpegCapture(benchmark::State& state) {
  Rig rig;
  if (!rig.MpegPin()) {
    state.SkipWithError("the MPEG pin did not run");
    return;
  }
  simcard::MpegStreamChecker checker;
  auto feed = [&](const std::vector<uint8_t>& d) { checker.Feed(d.data(), d.size()); };
  Totals t = rig.Measure(state, pelgar::kStreamIndexMpeg, feed);
  uint64_t stopBytes = 0, stopBuffers = 0;
  rig.Stop(feed, &stopBytes, &stopBuffers);
  const auto& tally = checker.Result();
  t.intact = tally.lost + tally.damaged + tally.duplicated + tally.reordered == 0 && checker.PendingBytes() == 0 &&
             tally.packs == rig.Firmware().PacksDelivered();
  state.SetBytesProcessed(static_cast<int64_t>(t.bytes));
  state.counters["buffers"] = benchmark::Counter(static_cast<double>(t.buffers));
  state.counters["intact"] = t.intact ? 1 : 0;
  g_mpeg = t;
}
BENCHMARK(BM_MpegCapture)->Unit(benchmark::kMillisecond);

// The card's own work on the program stream's bytes: packs made and written into encoder memory word by
// word, moved by DMA into a buffer registered for it, and the stand-in's copy of the completed data.
void BM_MpegCardWork(benchmark::State& state) {
  ksim::Kernel kernel;
  simcard::CardDescription description;
  simcard::ParseCardFile(CardText(), &description);
  auto card = simcard::SimCard::Create(kernel, description);
  std::vector<uint8_t> host(simcard::kMpegPackBytes), record(simcard::kMpegPackBytes);
  const uint64_t physical = kernel.RegisterDmaBuffer(host.data(), host.size());
  Totals t;
  uint64_t n = 0;
  const double start = CpuSeconds();
  for (auto _ : state) {
    auto pack = simcard::MpegPack(n++);
    for (uint32_t k = 0; k < simcard::kMpegPackBytes / 4; ++k)
      card->SetMemoryWord(0x100000 + 4 * k, simcard::MpegPackWord(pack, k));
    std::vector<uint8_t> moved(simcard::kMpegPackBytes);
    for (uint32_t k = 0; k < simcard::kMpegPackBytes / 4; ++k) {
      const uint32_t w = card->MemoryWord(0x100000 + 4 * k);
      std::memcpy(&moved[4 * k], &w, 4);
    }
    kernel.DmaWrite(physical, moved.data(), moved.size());
    std::memcpy(record.data(), host.data(), host.size());
    benchmark::DoNotOptimize(record.data());
    t.bytes += simcard::kMpegPackBytes;
  }
  t.seconds = CpuSeconds() - start;
  kernel.UnregisterDmaBuffer(host.data());
  state.SetBytesProcessed(static_cast<int64_t>(t.bytes));
  g_mpegCard = t;
}
BENCHMARK(BM_MpegCardWork);

// Raw video frames through the whole path, 100 ms of the card's time per iteration.
void BM_VideoCapture(benchmark::State& state) {
  Rig rig;
  if (!rig.VideoPin()) {
    state.SkipWithError("the raw video pin did not run");
    return;
  }
  const simcard::EncoderState& e = rig.Firmware().Encoder();
  simcard::RawVideoChecker checker(e.width, e.height);
  auto feed = [&](const std::vector<uint8_t>& d) { checker.Feed(d.data(), d.size()); };
  Totals t = rig.Measure(state, pelgar::kStreamIndexRawVideo, feed);
  uint64_t stopBytes = 0, stopBuffers = 0;
  rig.Stop(feed, &stopBytes, &stopBuffers);
  const auto& tally = checker.Result();
  // Every frame the card delivered arrived, or the stop cut its transfer short and its buffer came back empty.
  const uint64_t delivered = rig.Firmware().VideoFramesDelivered();
  t.intact = tally.Clean() && (tally.intact == delivered || (tally.intact < delivered && rig.Empties() > 0));
  state.SetBytesProcessed(static_cast<int64_t>(t.bytes));
  state.counters["buffers"] = benchmark::Counter(static_cast<double>(t.buffers));
  state.counters["intact"] = t.intact ? 1 : 0;
  g_video = t;
}
BENCHMARK(BM_VideoCapture)->Unit(benchmark::kMillisecond);

// The card's own work on one 720 x 480 frame: both planes made and written into encoder memory word by word,
// moved by DMA into a registered buffer, and the stand-in's copy of the completed data.
void BM_VideoCardWork(benchmark::State& state) {
  ksim::Kernel kernel;
  simcard::CardDescription description;
  simcard::ParseCardFile(CardText(), &description);
  auto card = simcard::SimCard::Create(kernel, description);
  constexpr uint32_t kLuma = 720 * 480, kFrame = kLuma * 3 / 2;
  std::vector<uint8_t> host(kFrame), record(kFrame), moved(kFrame);
  const uint64_t physical = kernel.RegisterDmaBuffer(host.data(), host.size());
  Totals t;
  uint64_t frame = 0;
  const double start = CpuSeconds();
  for (auto _ : state) {
    for (uint32_t k = 0; k < kFrame; k += 4) {
      const uint32_t plane = k < kLuma ? 0 : 1, at = plane ? k - kLuma : k;
      uint32_t word = 0;
      for (uint32_t b = 0; b < 4; ++b) word |= uint32_t{simcard::RawVideoByte(frame, plane, at + b)} << (8 * b);
      card->SetMemoryWord(0x800000 + k, word);
    }
    for (uint32_t k = 0; k < kFrame; k += 4) {
      const uint32_t w = card->MemoryWord(0x800000 + k);
      std::memcpy(&moved[k], &w, 4);
    }
    kernel.DmaWrite(physical, moved.data(), moved.size());
    std::memcpy(record.data(), host.data(), host.size());
    benchmark::DoNotOptimize(record.data());
    t.bytes += kFrame;
    ++frame;
  }
  t.seconds = CpuSeconds() - start;
  kernel.UnregisterDmaBuffer(host.data());
  state.SetBytesProcessed(static_cast<int64_t>(t.bytes));
  g_videoCard = t;
}
BENCHMARK(BM_VideoCardWork)->Unit(benchmark::kMillisecond);

double PerMegabyte(const Totals& t) { return t.bytes ? t.seconds / (static_cast<double>(t.bytes) / 1e6) : 0; }

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const double copy = PerMegabyte(g_copy);
  std::printf("\nplain copy: %.1f us per MB\n", copy * 1e6);
  const struct {
    const char* name;
    const Totals& path;
    const Totals& card;
    double realRate;  // MB/s of the real card
  } streams[] = {{"mpeg", g_mpeg, g_mpegCard, 1.6}, {"raw video", g_video, g_videoCard, 15.5}};
  for (const auto& s : streams) {
    if (s.path.bytes == 0 || s.path.buffers == 0 || copy <= 0) continue;
    const double total = PerMegabyte(s.path);
    const double card = PerMegabyte(s.card);
    const double megabytes = static_cast<double>(s.path.bytes) / 1e6;
    const double own = s.path.driver / megabytes;  // the driver's own time per MB
    const double perBuffer = s.path.driver / static_cast<double>(s.path.buffers);
    std::printf("%s capture: %.1f us per MB for the whole simulated path, %.1f us per MB of it the card's own work\n",
                s.name, total * 1e6, card * 1e6);
    std::printf(
        "%s capture: the driver's own time (interrupt routine, DPCs, Process) %.2f us per MB, %.2f us per buffer "
        "(%.0f KB average); ratio %.2f to a plain copy%s\n",
        s.name, own * 1e6, perBuffer * 1e6,
        static_cast<double>(s.path.bytes) / static_cast<double>(s.path.buffers) / 1024, own / copy,
        s.path.intact ? "" : " (DATA LOST)");
    std::printf("%s capture: the real card's %.1f MB/s would cost the driver %.3f%% of one processor here\n", s.name,
                s.realRate, own * s.realRate * 100);
  }
  // The card asks for one transfer per frame and stream: 30 a second each for the program stream and raw
  // video at 525 lines, about 27 audio blocks: about 90 requests a second with everything running.
  uint64_t requests = 0;
  double seconds = 0, driverSeconds = 0;
  bool intact = true;
  for (const auto& s : streams) {
    if (s.path.requests == 0) continue;
    requests += s.path.requests;
    seconds += s.path.seconds;
    driverSeconds += s.path.driver;
    intact = intact && s.path.intact;
  }
  if (requests > 0 && seconds > 0 && driverSeconds > 0 && intact)
    std::printf(
        "interrupt and DPC path: %.0f requests per second of the driver's own time with no loss (%.0f per second "
        "of processor time with the simulated card and stand-ins included); the real card asks for about 90 per "
        "second\n",
        static_cast<double>(requests) / driverSeconds, static_cast<double>(requests) / seconds);
  return 0;
}
