#include "driver/tools/pelgarsim_capture.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "driver/encoder_settings.h"
#include "driver/filters.h"
#include "driver/kernel/sim/ks_class.h"
#include "driver/simcard/capture_files.h"
#include "driver/simcard/encoder_firmware.h"
#include "driver/simcard/mpeg_stream.h"
#include "driver/simcard/sim_card.h"

namespace pelgarsim {
namespace {

// The card's time the pins run between looks at their completed buffers, and the most a --buffers run
// waits for them.
constexpr ksim::Time kStep = 10 * ksim::kMillisecond;
constexpr ksim::Time kBuffersLimit = 120 * ksim::kSecond;

// Streams this driver has pins for. The others are reported as not built yet.
const std::vector<std::string> kBuilt = {"mpeg", "video", "audio", "vbi", "aux"};

bool Has(const KSFILTER_DESCRIPTOR* d, const GUID& category) {
  for (ULONG i = 0; d != nullptr && i < d->CategoriesCount; ++i)
    if (IsEqualGUID(d->Categories[i], category)) return true;
  return false;
}

struct OpenFilter {
  std::string name;
  PKSFILTER filter = nullptr;
};

// A pin's own first data range that intersects with itself gives the format an application would connect
// with; null when there is none.
std::optional<std::vector<uint8_t>> FormatFor(ksim::KsClassDriver& ks, PKSFILTER filter, ULONG pinId,
                                              const KSDATARANGE* range) {
  ULONG size = 0;
  NTSTATUS status = ks.IntersectFormat(filter, pinId, range, nullptr, 0, &size);
  if (status != STATUS_BUFFER_OVERFLOW || size < sizeof(KSDATAFORMAT)) return std::nullopt;
  std::vector<uint8_t> format(size);
  ULONG returned = 0;
  if (ks.IntersectFormat(filter, pinId, range, format.data(), size, &returned) != STATUS_SUCCESS) return std::nullopt;
  format.resize(returned);
  return format;
}

bool RangeMatches(const KSPIN_DESCRIPTOR& p, const GUID& major, const GUID* sub) {
  for (ULONG r = 0; r < p.DataRangesCount; ++r) {
    const KSDATARANGE* range = p.DataRanges[r];
    if (range == nullptr) continue;
    if (sub != nullptr ? IsEqualGUID(range->SubFormat, *sub) : IsEqualGUID(range->MajorFormat, major)) return true;
  }
  return false;
}

// The output pin an application picks for a stream on a filter: the MPEG program stream by its subtype,
// the others by their major format; the raw video pin is the one without a medium (the other video output
// only hands the format to the encoder).
std::optional<ULONG> StreamPinOf(const std::string& stream, const KSFILTER_DESCRIPTOR* d) {
  for (ULONG i = 0; d != nullptr && i < d->PinDescriptorsCount; ++i) {
    const KSPIN_DESCRIPTOR& p = d->PinDescriptors[i].PinDescriptor;
    if (p.DataFlow != KSPIN_DATAFLOW_OUT) continue;
    bool match = false;
    if (stream == "mpeg") match = RangeMatches(p, MEDIASUBTYPE_MPEG2_PROGRAM, &MEDIASUBTYPE_MPEG2_PROGRAM);
    if (stream == "aux") match = RangeMatches(p, pelgar::kAuxRecordsType, nullptr);
    if (stream == "video") match = RangeMatches(p, KSDATAFORMAT_TYPE_VIDEO, nullptr) && p.MediumsCount == 0;
    if (stream == "audio") match = RangeMatches(p, KSDATAFORMAT_TYPE_AUDIO, nullptr);
    if (stream == "vbi") match = RangeMatches(p, KSDATAFORMAT_TYPE_VBI, nullptr);
    if (match) return i;
  }
  return std::nullopt;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty()) return false;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 16 ||
      digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
    return false;
  uint64_t v = std::stoull(digits, nullptr, hex ? 16 : 10);
  if (v > max) return false;
  *value = v;
  return true;
}

// The field sizes of the block-valued private properties, in bytes.
std::vector<int> BlockFields(ULONG id) {
  if (id == 1) return {4, 4, 4};
  if (id == 10) return {4, 1, 1, 2, 2, 2, 2, 2, 2};
  return {};
}

// The data size of a private encoder property that can be set; 0 when it has none.
ULONG SettableSize(ULONG id) {
  for (const KSPROPERTY_SET& set : pelgar::kEncoderPropertySets) {
    if (!IsEqualGUID(*set.Set, pelgar::kEncoderPropertySet)) continue;
    for (ULONG i = 0; i < set.PropertiesCount; ++i)
      if (set.PropertyItem[i].PropertyId == id && set.PropertyItem[i].SetPropertyHandler != nullptr)
        return set.PropertyItem[i].MinData;
  }
  return 0;
}

std::string FileName(const std::string& dir, const std::string& name) {
  return (std::filesystem::path(dir) / name).string();
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// What arrives on one stream: its checker and the file it goes to.
class Receiver {
 public:
  Receiver(const std::string& stream, simcard::SimCard& card, const std::string& outDir, CaptureResult& result)
      : stream_(stream), card_(card), outDir_(outDir), result_(result) {}

  void Take(const std::vector<uint8_t>& data) {
    const simcard::EncoderState& e = card_.Firmware().Encoder();
    if (stream_ == "mpeg") {
      mpeg_.Feed(data.data(), data.size());
      Append("capture.mpg", data);
    } else if (stream_ == "video") {
      if (!video_) video_.emplace(e.width, e.height);
      video_->Feed(data.data(), data.size());
      ++pictures_;
      if (!outDir_.empty() && data.size() == video_->FrameBytes()) {
        char name[32];
        std::snprintf(name, sizeof name, "video-%06u.png", static_cast<unsigned>(pictures_));
        std::vector<uint8_t> rgb =
            simcard::FrameRgb(data.data(), data.data() + e.width * e.height, e.width, e.height);
        Write(name, simcard::PngRgb(rgb.data(), e.width, e.height));
      }
    } else if (stream_ == "audio") {
      audio_.Feed(data.data(), data.size());
      pcm_.insert(pcm_.end(), data.begin(), data.end());
    } else if (stream_ == "vbi") {
      if (!vbi_) vbi_.emplace(e.vbi.args[5] / 2);
      vbi_->Feed(data.data(), data.size());
      Append("vbi-lines.raw", data);
    } else if (stream_ == "aux") {
      if (!aux_) aux_.emplace(e.auxRecords);
      aux_->Feed(data.data(), data.size());
      Append("aux-records.bin", data);
    }
  }

  // The stream's tally and its accounting against what the card made and delivered. Units the card moved
  // into host memory whose buffers the driver gave back empty and marked as a discontinuity (a transfer cut
  // short by the stop) count as dropped.
  void Finish(StreamResult& r, uint64_t emptied) {
    const simcard::EncoderFirmware& f = card_.Firmware();
    const simcard::EncoderState& e = f.Encoder();
    if (stream_ == "mpeg") {
      const auto& t = mpeg_.Result();
      r.tally = {t.packs, t.lost, t.duplicated, t.reordered, t.damaged, t.next};
      r.dropped = (f.PacksMade() - t.packs) * simcard::kMpegPackBytes;
      r.intact = r.tally.Clean() && mpeg_.PendingBytes() == 0 && Accounted(t.packs, f.PacksDelivered(), emptied);
    } else if (stream_ == "video") {
      if (video_) r.tally = video_->Result();
      const uint64_t frameBytes = uint64_t{e.width} * e.height * 3 / 2;
      r.dropped = (f.VideoFramesMade() - r.tally.intact) * frameBytes;
      r.intact = r.tally.Clean() && Accounted(r.tally.intact, f.VideoFramesDelivered(), emptied);
    } else if (stream_ == "audio") {
      r.tally = audio_.Result();
      constexpr uint64_t kBlockPcm = simcard::kAudioBlockBytes - 12;
      const uint64_t blocks = r.tally.intact / simcard::kAudioBlockFrames;
      r.dropped = (f.AudioBlocksMade() - blocks) * kBlockPcm;
      r.intact = r.tally.Clean() && audio_.PendingBytes() == 0 && r.tally.intact % simcard::kAudioBlockFrames == 0 &&
                 Accounted(blocks, f.AudioBlocksDelivered(), emptied);
      if (!outDir_.empty())
        Write("audio.wav", simcard::WavPcm16(pcm_.data(), pcm_.size(), simcard::AudioRate(e.audioWord), 2));
    } else if (stream_ == "vbi") {
      const uint32_t lines = e.vbi.args[5] / 2;
      if (vbi_) r.tally = vbi_->Result();
      // Fields the card wrote that never reached the pin: the driver stages at most the newest two ring
      // buffers per program-stream transfer.
      const uint64_t fields = 2 * uint64_t{e.vbi.written};
      r.dropped = (fields > r.tally.intact ? fields - r.tally.intact : 0) * lines * simcard::kVbiLineBytes;
      r.intact = r.tally.Clean() && r.tally.next <= fields;
    } else if (stream_ == "aux") {
      if (aux_) r.tally = aux_->Result();
      r.dropped = r.tally.lost * simcard::kAuxRecordBytes;
      r.intact = r.tally.Clean();
    }
  }

 private:
  // Every unit the card moved into host memory arrived, or some went into buffers the driver gave back
  // empty and marked.
  static bool Accounted(uint64_t received, uint64_t delivered, uint64_t emptied) {
    return received == delivered || (received < delivered && emptied > 0);
  }

  void Append(const char* name, const std::vector<uint8_t>& data) {
    if (outDir_.empty()) return;
    const std::string path = FileName(outDir_, name);
    std::ofstream out(path, std::ios::binary | (opened_ ? std::ios::app : std::ios::trunc));
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!opened_) result_.files.push_back(path);
    opened_ = true;
    if (!out) result_.error = "cannot write " + path;
  }
  void Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = FileName(outDir_, name);
    if (!WriteFile(path, bytes)) result_.error = "cannot write " + path;
    result_.files.push_back(path);
  }

  std::string stream_;
  simcard::SimCard& card_;
  std::string outDir_;
  CaptureResult& result_;
  bool opened_ = false;
  uint64_t pictures_ = 0;
  simcard::MpegStreamChecker mpeg_;
  std::optional<simcard::RawVideoChecker> video_;
  simcard::RawAudioChecker audio_;
  std::vector<uint8_t> pcm_;
  std::optional<simcard::VbiChecker> vbi_;
  std::optional<simcard::AuxRecordChecker> aux_;
};

// One pin the run created: a stream pin with its buffers, or a pin of a join.
struct RunPin {
  std::string stream;  // empty for a joined pin
  PKSPIN pin = nullptr;
  ULONG frames = 0, frameBytes = 0;
  size_t seen = 0;       // completed frames already looked at (and handed back)
  uint64_t emptied = 0;  // completed with no data and marked as a discontinuity
  StreamResult result;
  std::unique_ptr<Receiver> receiver;  // stream pins
};

}  // namespace

const std::vector<std::string>& StreamNames() {
  static const std::vector<std::string> names = {"mpeg", "video", "audio", "vbi", "aux"};
  return names;
}

bool StreamBuilt(const std::string& name, std::string* why) {
  for (const std::string& b : kBuilt)
    if (b == name) return true;
  *why = "the " + name + " stream is not built yet";
  return false;
}

bool ParseStreamList(const std::string& text, std::vector<std::string>* streams, std::string* error) {
  std::vector<std::string> parsed;
  size_t at = 0;
  while (true) {
    const size_t comma = text.find(',', at);
    const std::string name = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    bool known = false;
    for (const std::string& n : StreamNames()) known = known || n == name;
    if (!known) {
      *error = "unknown stream '" + name + "' (mpeg, video, audio, vbi, aux)";
      return false;
    }
    for (const std::string& p : parsed) {
      if (p == name) {
        *error = "stream '" + name + "' given twice";
        return false;
      }
    }
    if (!StreamBuilt(name, error)) return false;
    parsed.push_back(name);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  *streams = parsed;
  return true;
}

bool ParseSet(const std::string& text, PropertyWrite* write, std::string* error) {
  const size_t eq = text.find('=');
  uint64_t id = 0;
  if (eq == std::string::npos || !ParseNumber(text.substr(0, eq), 0xFFFFFFFF, &id)) {
    *error = "--set needs ID=VALUE, not '" + text + "'";
    return false;
  }
  const ULONG size = SettableSize(static_cast<ULONG>(id));
  if (size == 0) {
    *error = "private encoder property " + std::to_string(id) + " cannot be set";
    return false;
  }
  std::vector<std::string> fields;
  for (size_t at = eq + 1;;) {
    const size_t comma = text.find(',', at);
    fields.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  std::vector<int> sizes = BlockFields(static_cast<ULONG>(id));
  if (sizes.empty()) sizes = {static_cast<int>(size)};
  if (fields.size() != sizes.size()) {
    *error = "property " + std::to_string(id) + " takes " + std::to_string(sizes.size()) + " value(s), not " +
             std::to_string(fields.size());
    return false;
  }
  PropertyWrite w;
  w.id = static_cast<ULONG>(id);
  w.text = text;
  for (size_t i = 0; i < fields.size(); ++i) {
    uint64_t v = 0;
    const uint64_t max = sizes[i] == 4 ? 0xFFFFFFFF : (uint64_t{1} << (8 * sizes[i])) - 1;
    if (!ParseNumber(fields[i], max, &v)) {
      *error = "bad value '" + fields[i] + "' for property " + std::to_string(id) + " (" +
               std::to_string(8 * sizes[i]) + "-bit number)";
      return false;
    }
    for (int b = 0; b < sizes[i]; ++b) w.value.push_back(static_cast<uint8_t>(v >> (8 * b)));
  }
  w.value.resize(size, 0);  // the block's padding
  *write = w;
  return true;
}

bool CaptureResult::Clean() const {
  if (!error.empty()) return false;
  for (const auto& s : sets)
    if (!NT_SUCCESS(s.second)) return false;
  for (const StreamResult& s : streams)
    if (!s.intact) return false;
  return true;
}

CaptureResult Capture(ksim::Kernel& kernel, ksim::KsClassDriver& ks, PKSDEVICE device, simcard::SimCard& card,
                      const CaptureRequest& request) {
  CaptureResult result;
  if (!request.outDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(request.outDir, ec);
    if (ec) {
      result.error = "cannot make the folder " + request.outDir;
      return result;
    }
  }

  // The filters of the card: the static ones of the device descriptor and the factories' ones.
  std::vector<OpenFilter> filters;
  auto open = [&](const std::string& name, const KSFILTER_DESCRIPTOR* d) {
    PKSFILTER f = ks.OpenFilter(device, d);
    if (f == nullptr) result.error = "the " + name + " filter did not open";
    filters.push_back({name, f});
    if (f != nullptr) result.filters.push_back(name);
    return f;
  };
  const KSFILTER_DESCRIPTOR* encoderDescriptor = nullptr;
  const KSFILTER_DESCRIPTOR* audioDescriptor = nullptr;
  const KSFILTER_DESCRIPTOR* captureDescriptor = nullptr;
  const KSDEVICE_DESCRIPTOR* dd = ks.Descriptor();
  for (ULONG i = 0; dd != nullptr && i < dd->FilterDescriptorsCount; ++i) {
    const KSFILTER_DESCRIPTOR* d = dd->FilterDescriptors[i];
    if (d->ReferenceGuid != nullptr && IsEqualGUID(*d->ReferenceGuid, pelgar::kEncoderReference))
      encoderDescriptor = d;
    if (d->ReferenceGuid != nullptr && IsEqualGUID(*d->ReferenceGuid, pelgar::kAudioCaptureReference))
      audioDescriptor = d;
  }
  std::vector<std::pair<std::string, const KSFILTER_DESCRIPTOR*>> upstream;  // tuner, crossbar, TV audio
  for (PKSFILTERFACTORY factory : ks.Factories(device)) {
    const KSFILTER_DESCRIPTOR* d = factory->FilterDescriptor;
    if (Has(d, KSCATEGORY_VIDEO) && Has(d, KSCATEGORY_CAPTURE)) captureDescriptor = d;
    if (Has(d, KSCATEGORY_TVTUNER)) upstream.emplace_back("tuner", d);
    if (Has(d, KSCATEGORY_CROSSBAR)) upstream.emplace_back("crossbar", d);
    if (Has(d, KSCATEGORY_TVAUDIO)) upstream.emplace_back("TV audio", d);
  }
  PKSFILTER encoder = encoderDescriptor ? open("encoder", encoderDescriptor) : nullptr;
  PKSFILTER capture = captureDescriptor && captureDescriptor->PinDescriptorsCount > 0
                          ? open("video capture", captureDescriptor)
                          : nullptr;
  // The filters in front of the capture filter are part of an application's graph too.
  for (const auto& [name, d] : upstream)
    if (result.error.empty() && d->PinDescriptorsCount > 0) open(name, d);
  PKSFILTER audioCapture = nullptr;
  if (encoder == nullptr && result.error.empty()) result.error = "the card has no encoder filter";

  std::vector<std::unique_ptr<RunPin>> pins;
  auto create = [&](PKSFILTER filter, ULONG id, const std::vector<uint8_t>& format, const std::string& stream) {
    PKSPIN pin = nullptr;
    NTSTATUS status = ks.CreatePin(filter, id, reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                                   static_cast<ULONG>(format.size()), &pin);
    if (!NT_SUCCESS(status)) {
      char text[96];
      std::snprintf(text, sizeof text, "pin %u did not open (0x%08X)", static_cast<unsigned>(id),
                    static_cast<unsigned>(status));
      result.error = (stream.empty() ? std::string("a joined ") : stream + " ") + text;
      return static_cast<RunPin*>(nullptr);
    }
    auto run = std::make_unique<RunPin>();
    run->stream = stream;
    run->pin = pin;
    run->result.name = stream;
    if (!stream.empty()) run->receiver = std::make_unique<Receiver>(stream, card, request.outDir, result);
    if (const KSALLOCATOR_FRAMING_EX* framing = pin->Descriptor->AllocatorFraming) {
      run->frames = framing->FramingItem[0].Frames;
      run->frameBytes = framing->FramingItem[0].FramingRange.Range.MaxFrameSize;
    }
    pins.push_back(std::move(run));
    return pins.back().get();
  };

  // Private encoder properties, before any pin exists.
  for (const PropertyWrite& w : request.sets) {
    if (encoder == nullptr) break;
    std::vector<uint8_t> data = w.value;
    ULONG_PTR returned = 0;
    NTSTATUS status = ks.Property(encoder, encoder->Descriptor->AutomationTable, pelgar::kEncoderPropertySet, w.id,
                                  KSPROPERTY_TYPE_SET, data.data(), static_cast<ULONG>(data.size()), &returned);
    result.sets.emplace_back(w.text, status);
  }

  // Pins joined through their mediums: an output and an input of two open filters with the same medium get
  // a format the output's intersection gives for one of the input's ranges.
  for (size_t a = 0; a < filters.size() && result.error.empty(); ++a) {
    const KSFILTER_DESCRIPTOR* da = filters[a].filter ? filters[a].filter->Descriptor : nullptr;
    for (ULONG i = 0; da != nullptr && i < da->PinDescriptorsCount; ++i) {
      const KSPIN_DESCRIPTOR& out = da->PinDescriptors[i].PinDescriptor;
      if (out.DataFlow != KSPIN_DATAFLOW_OUT) continue;
      for (size_t b = 0; b < filters.size(); ++b) {
        const KSFILTER_DESCRIPTOR* db = filters[b].filter ? filters[b].filter->Descriptor : nullptr;
        for (ULONG j = 0; b != a && db != nullptr && j < db->PinDescriptorsCount; ++j) {
          const KSPIN_DESCRIPTOR& in = db->PinDescriptors[j].PinDescriptor;
          bool same = false;
          for (ULONG m = 0; in.DataFlow == KSPIN_DATAFLOW_IN && m < out.MediumsCount; ++m)
            for (ULONG n = 0; n < in.MediumsCount; ++n)
              same = same ||
                     (IsEqualGUID(out.Mediums[m].Set, in.Mediums[n].Set) && out.Mediums[m].Id == in.Mediums[n].Id);
          if (!same) continue;
          std::optional<std::vector<uint8_t>> format;
          for (ULONG r = 0; r < in.DataRangesCount && !format; ++r)
            format = FormatFor(ks, filters[a].filter, i, in.DataRanges[r]);
          const std::string join =
              filters[a].name + " pin " + std::to_string(i) + " -> " + filters[b].name + " pin " + std::to_string(j);
          if (!format) {
            result.error = "no format joins " + join;
            break;
          }
          if (create(filters[a].filter, i, *format, "") && create(filters[b].filter, j, *format, ""))
            result.joins.push_back(join);
        }
      }
    }
  }
  // The crossbar's outputs reach the capture filter's inputs through their mediums; the input pins are
  // connected with their own range.
  for (const ksim::PinlessFilter& pf : ks.PinlessFilters()) {
    for (size_t m = 0; m < pf.mediums.size() && capture != nullptr && result.error.empty(); ++m) {
      if (m >= pf.outputs.size() || !pf.outputs[m]) continue;
      const KSFILTER_DESCRIPTOR* d = capture->Descriptor;
      for (ULONG j = 0; j < d->PinDescriptorsCount; ++j) {
        const KSPIN_DESCRIPTOR& in = d->PinDescriptors[j].PinDescriptor;
        if (in.DataFlow != KSPIN_DATAFLOW_IN || in.DataRangesCount == 0) continue;
        for (ULONG n = 0; n < in.MediumsCount; ++n) {
          if (!IsEqualGUID(in.Mediums[n].Set, pf.mediums[m].Set) || in.Mediums[n].Id != pf.mediums[m].Id) continue;
          const KSDATARANGE* range = in.DataRanges[0];
          std::vector<uint8_t> format(reinterpret_cast<const uint8_t*>(range),
                                      reinterpret_cast<const uint8_t*>(range) + range->FormatSize);
          if (create(capture, j, format, ""))
            result.joins.push_back("crossbar output " + std::to_string(m) + " -> video capture pin " +
                                   std::to_string(j));
        }
      }
    }
  }

  // One pin per stream, with the format its own range intersects to.
  for (const std::string& stream : request.streams) {
    if (!result.error.empty()) break;
    PKSFILTER on = stream == "mpeg" || stream == "aux" ? encoder : capture;
    std::optional<ULONG> id = on ? StreamPinOf(stream, on->Descriptor) : std::nullopt;
    if (!id && stream == "audio" && audioDescriptor != nullptr && audioDescriptor->PinDescriptorsCount > 0) {
      audioCapture = audioCapture ? audioCapture : open("audio capture", audioDescriptor);
      on = audioCapture;
      id = on ? StreamPinOf(stream, on->Descriptor) : std::nullopt;
    }
    if (!id) {
      result.error = "no filter of the card has a pin for the " + stream + " stream";
      break;
    }
    const KSPIN_DESCRIPTOR& p = on->Descriptor->PinDescriptors[*id].PinDescriptor;
    std::optional<std::vector<uint8_t>> format;
    for (ULONG r = 0; r < p.DataRangesCount && !format; ++r) format = FormatFor(ks, on, *id, p.DataRanges[r]);
    if (!format) {
      result.error = "the " + stream + " pin answers no format";
      break;
    }
    RunPin* run = create(on, *id, *format, stream);
    if (run != nullptr && (run->frames == 0 || run->frameBytes == 0))
      result.error = "the " + stream + " pin has no allocator framing";
  }

  // Run: joined pins first, then the stream pins; every completed buffer goes straight back.
  for (auto& run : pins) {
    if (!result.error.empty()) break;
    if (!run->stream.empty()) ks.QueueFrames(run->pin, run->frames, run->frameBytes);
    NTSTATUS status = ks.SetPinState(run->pin, KSSTATE_RUN);
    if (!NT_SUCCESS(status)) {
      char text[64];
      std::snprintf(text, sizeof text, " pin did not run (0x%08X)", static_cast<unsigned>(status));
      result.error = (run->stream.empty() ? std::string("a joined") : "the " + run->stream) + text;
    }
  }
  auto collect = [&](bool handBack) {
    for (auto& run : pins) {
      if (run->stream.empty()) continue;
      Receiver& receiver = *run->receiver;
      const auto& done = ks.CompletedFrames(run->pin);
      for (size_t i = run->seen; i < done.size(); ++i) {
        const KSSTREAM_HEADER& h = done[i].header;
        const bool marked = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
        if (marked) ++run->result.discontinuities;
        if (h.DataUsed == 0) {
          if (marked) ++run->emptied;
          continue;
        }
        ++run->result.buffers;
        run->result.bytes += done[i].data.size();
        receiver.Take(done[i].data);
      }
      if (handBack && done.size() > run->seen)
        ks.QueueFrames(run->pin, static_cast<ULONG>(done.size() - run->seen), run->frameBytes);
      run->seen = done.size();
    }
  };
  const ksim::Time start = kernel.Now();
  if (result.error.empty()) {
    while (true) {
      kernel.RunFor(kStep);
      collect(true);
      const ksim::Time ran = kernel.Now() - start;
      if (request.duration > 0) {
        if (ran >= request.duration) break;
        continue;
      }
      bool enough = true;
      for (auto& run : pins)
        if (!run->stream.empty() && run->result.buffers < request.buffers) enough = false;
      if (enough) break;
      if (ran >= kBuffersLimit) {
        result.error = "the streams did not deliver " + std::to_string(request.buffers) + " buffers in " +
                       std::to_string(kBuffersLimit / ksim::kSecond) + " s";
        break;
      }
    }
  }
  result.ran = kernel.Now() - start;

  // Stop the stream pins first (newest first), then the joins; what the stop completes is looked at too.
  for (auto it = pins.rbegin(); it != pins.rend(); ++it)
    if (!(*it)->stream.empty()) ks.SetPinState((*it)->pin, KSSTATE_STOP);
  for (auto it = pins.rbegin(); it != pins.rend(); ++it)
    if ((*it)->stream.empty()) ks.SetPinState((*it)->pin, KSSTATE_STOP);
  kernel.RunFor(kStep);
  collect(false);
  for (auto& run : pins)
    if (run->receiver) run->receiver->Finish(run->result, run->emptied);
  for (auto it = pins.rbegin(); it != pins.rend(); ++it) ks.ClosePin((*it)->pin);
  for (auto it = filters.rbegin(); it != filters.rend(); ++it)
    if (it->filter != nullptr) ks.CloseFilter(it->filter);

  // Report the streams in their fixed order.
  for (const std::string& name : StreamNames())
    for (auto& run : pins)
      if (run->stream == name) result.streams.push_back(run->result);
  return result;
}

}  // namespace pelgarsim
