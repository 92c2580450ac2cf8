#include "driver/encoder_settings.h"

#include "driver/decoders.h"
#include "driver/device.h"
#include "driver/driver_services.h"
#include "driver/encoder_mailbox.h"
#include "driver/filters.h"
#include "driver/i2c_bus.h"
#include "driver/peripherals.h"

namespace pelgar {

namespace {

// Command codes of the encoder parameters.
constexpr ULONG kFrameSize = 0x91;
constexpr ULONG kBitRate = 0x95;
constexpr ULONG kGop = 0x97;
constexpr ULONG kFilterMode = 0x9B;
constexpr ULONG kFilterLevels = 0x9D;
constexpr ULONG kCoring = 0x9F;
constexpr ULONG kSpatialFilterType = 0xA1;
constexpr ULONG kInverseTelecine = 0xB1;
constexpr ULONG kStreamType = 0xB9;
constexpr ULONG kAudio = 0xBD;
constexpr ULONG kVersion = 0xC4;
constexpr ULONG kClosedGop = 0xC5;

// Rates travel to the firmware in units of 400 bit/s; the muxed rate only for stream type 13.
constexpr ULONG kRateUnit = 400;
constexpr LONG kMuxedStreamType = 13;

// Stream types and the heights of full- and half-height frames.
constexpr LONG kStreamTypes[] = {2, 10, 11, 12, 13, 14, 15};
constexpr LONG kFullHeights[] = {480, 576};
constexpr LONG kHalfHeights[] = {240, 288};

// Noise-filter ranges.
constexpr LONG kMedianMax = 4;
constexpr SHORT kTemporalLevelMax = 31;
constexpr SHORT kSpatialLevelMax = 15;
constexpr SHORT kThresholdMax = 255;
constexpr SHORT kTunerDefaultLevel = 8;  // what the kind-78 tuner's boards need

// The driver version returned with the firmware version.
constexpr LONG kDriverVersion[4] = {2, 0, 17, 0};

// Output control values of the two peripherals.
constexpr UCHAR kB8On = 0x17, kB8Off = 0x57;
constexpr UCHAR k24On = 0x00, k24Off = 0xD0;

template <class T, size_t N>
bool OneOf(T value, const T (&list)[N]) {
  for (T candidate : list)
    if (candidate == value) return true;
  return false;
}

bool ValidFilter(const NoiseFilterBlock& b) {
  auto threshold = [](SHORT v) { return v >= 0 && v <= kThresholdMax; };
  return b.medianType >= 0 && b.medianType <= kMedianMax && b.temporalStatic <= 1 && b.spatialStatic <= 1 &&
         b.temporalLevel >= 0 && b.temporalLevel <= kTemporalLevelMax && b.spatialLevel >= 0 &&
         b.spatialLevel <= kSpatialLevelMax && threshold(b.lumaLow) && threshold(b.lumaHigh) &&
         threshold(b.chromaLow) && threshold(b.chromaHigh);
}

}  // namespace

// ---- Creation and registry

NTSTATUS EncoderSettings::Create(PelgarDevice* device, EncoderSettings** settings) {
  *settings = NewTagged<EncoderSettings>(std::source_location::current(), device);
  if (*settings == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  (*settings)->Load();
  return STATUS_SUCCESS;
}

void EncoderSettings::Destroy(EncoderSettings* settings) { DeleteTagged(settings); }

EncoderSettings::EncoderSettings(PelgarDevice* device)
    : device_(device),
      bitRateMode_(1),
      bitRate_(5000000),
      bitRatePeak_(7000000),
      gopPictures_(15),
      gopBFrames_(3),
      closedGop_(false),
      inverseTelecine_(false),
      audioWord_(AudioWord::kDefault),
      streamType_(14),
      width_(720),
      height_(480),
      filter_{},
      muxedRate_(0),
      encApiMode_(0) {
  const bool tuner78 = device->tunerType == kIfDemodulatorTunerType;
  filter_.medianType = tuner78 ? 3 : 0;
  filter_.temporalStatic = 1;
  filter_.spatialStatic = 1;
  filter_.temporalLevel = kTunerDefaultLevel;
  filter_.spatialLevel = tuner78 ? kTunerDefaultLevel : 0;
  filter_.lumaLow = kThresholdMax;
  filter_.lumaHigh = 0;
  filter_.chromaLow = kThresholdMax;
  filter_.chromaHigh = 0;
}

// Values outside a field's range keep the default: a stored value must never spill into a neighbour.
void EncoderSettings::Load() {
  auto read = [this](PCSTR name, ULONG fallback) {
    ULONG value = fallback;
    device_->ReadValue(name, &value);
    return value;
  };
  auto readRate = [&](PCSTR name, LONG fallback) {
    ULONG value = read(name, static_cast<ULONG>(fallback));
    return value <= 0x7FFFFFFF ? static_cast<LONG>(value) : fallback;
  };
  bitRateMode_ = read("BitRateMode", 1) == 0 ? 0 : 1;
  bitRate_ = readRate("BitRate", bitRate_);
  bitRatePeak_ = readRate("BitRatePeak", bitRatePeak_);
  gopPictures_ = static_cast<LONG>(read("GOPNumberOfPictures", 15) & 0xFF);
  gopBFrames_ = readRate("GOPNumberOfBFrames", gopBFrames_);
  closedGop_ = (read("ClosedGOP", 0) & 0xFF) != 0;
  inverseTelecine_ = (read("InverseTelecine", 0) & 0xFF) != 0;
  struct Field {
    PCSTR name;
    ULONG shift, mask, min, max;
  };
  const Field fields[] = {
      {"AudioSamplingRate", AudioWord::kSamplingShift, AudioWord::kSamplingMask, 0, AudioWord::kSamplingMax},
      {"AudioDataRate", AudioWord::kDataRateShift, AudioWord::kDataRateMask, AudioWord::kDataRateMin,
       AudioWord::kDataRateMax},
      {"AudioOutputMode", AudioWord::kOutputModeShift, AudioWord::kOutputModeMask, 0, AudioWord::kOutputModeMax},
      {"AudioCRC", AudioWord::kCrcShift, AudioWord::kCrcMask, 0, AudioWord::kCrcMax},
  };
  for (const Field& f : fields) {
    ULONG value = read(f.name, audioWord_ >> f.shift & f.mask);
    if (value >= f.min && value <= f.max) audioWord_ = (audioWord_ & ~(f.mask << f.shift)) | value << f.shift;
  }
  LONG type = readRate("MPEGStreamType", streamType_);
  if (OneOf(type, kStreamTypes)) streamType_ = type;
  filter_.temporalStatic = (read("IsStaticTemporal", filter_.temporalStatic) & 0xFF) != 0 ? 1 : 0;
  filter_.spatialStatic = (read("IsStaticSpatial", filter_.spatialStatic) & 0xFF) != 0 ? 1 : 0;
  const bool tuner78 = device_->tunerType == kIfDemodulatorTunerType;
  ULONG temporal = read("StaticTemporalLevel", 0xFFFFFFFF);
  if (temporal != 0xFFFFFFFF)
    filter_.temporalLevel = tuner78                                ? kTunerDefaultLevel
                            : temporal <= ULONG(kTemporalLevelMax) ? static_cast<SHORT>(temporal)
                                                                   : filter_.temporalLevel;
  ULONG spatial = read("StaticSpatialLevel", 0xFFFFFFFF);
  if (spatial != 0xFFFFFFFF)
    filter_.spatialLevel = tuner78                              ? kTunerDefaultLevel
                           : spatial <= ULONG(kSpatialLevelMax) ? static_cast<SHORT>(spatial)
                                                                : filter_.spatialLevel;
  muxedRate_ = readRate("MuxedDataRate", 0);
  encApiMode_ = bitRateMode_ == 0 ? kEncApiVariablePeak : kEncApiConstant;
}

void EncoderSettings::Persist(PCSTR name, ULONG value) const {
  device_->WriteValue(name, value);  // a failed write keeps the value for this session only
}

// ---- Commands

NTSTATUS EncoderSettings::SendBitRate() {
  ULONG muxed = streamType_ == kMuxedStreamType && muxedRate_ >= bitRate_ ? static_cast<ULONG>(muxedRate_) : 0;
  return device_->mailbox->Send(kBitRate, {static_cast<ULONG>(bitRateMode_), static_cast<ULONG>(bitRate_),
                                           static_cast<ULONG>(bitRatePeak_) / kRateUnit, muxed / kRateUnit, 0});
}

NTSTATUS EncoderSettings::SendFilters() {
  EncoderMailbox* m = device_->mailbox;
  ULONG dynamic = (filter_.spatialStatic ? 0u : 1u) | (filter_.temporalStatic ? 0u : 2u);
  NTSTATUS status = m->Send(kSpatialFilterType, {1, 1});
  if (NT_SUCCESS(status)) status = m->Send(kFilterMode, {dynamic, static_cast<ULONG>(filter_.medianType)});
  if (NT_SUCCESS(status))
    status = m->Send(kCoring, {static_cast<ULONG>(filter_.lumaHigh), static_cast<ULONG>(filter_.lumaLow),
                               static_cast<ULONG>(filter_.chromaHigh), static_cast<ULONG>(filter_.chromaLow)});
  if (NT_SUCCESS(status))
    status =
        m->Send(kFilterLevels, {static_cast<ULONG>(filter_.spatialLevel), static_cast<ULONG>(filter_.temporalLevel)});
  return status;
}

NTSTATUS EncoderSettings::SendAudio() { return device_->mailbox->Send(kAudio, {audioWord_}); }

NTSTATUS EncoderSettings::SendParameters() {
  EncoderMailbox* m = device_->mailbox;
  NTSTATUS status = m->Send(kGop, {static_cast<ULONG>(gopPictures_), static_cast<ULONG>(gopBFrames_)});
  if (NT_SUCCESS(status)) status = m->Send(kClosedGop, {closedGop_ ? 1u : 0u});
  if (NT_SUCCESS(status)) status = m->Send(kStreamType, {static_cast<ULONG>(streamType_)});
  if (NT_SUCCESS(status)) status = SendBitRate();
  if (NT_SUCCESS(status)) status = m->Send(kInverseTelecine, {inverseTelecine_ ? 1u : 0u});
  if (NT_SUCCESS(status)) status = SendAudio();
  if (NT_SUCCESS(status)) status = m->Send(kFrameSize, {static_cast<ULONG>(height_), static_cast<ULONG>(width_)});
  if (NT_SUCCESS(status)) status = SendFilters();
  return status;
}

// ---- Setters

template <class Apply>
NTSTATUS EncoderSettings::Locked(bool same, Apply apply) {
  LockDevice(device_);
  NTSTATUS status;
  if (device_->streamMask != 0)
    status = same ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;  // the encoder cannot change mid-stream
  else
    status = apply();
  UnlockDevice(device_);
  return status;
}

NTSTATUS EncoderSettings::SetBitRate(LONG rate) {
  if (rate <= 0) return STATUS_INVALID_PARAMETER;
  bitRate_ = rate;
  Persist("BitRate", static_cast<ULONG>(rate));
  return SendBitRate();
}

NTSTATUS EncoderSettings::SetBitRatePeak(LONG peak) {
  if (peak <= 0) return STATUS_INVALID_PARAMETER;
  bitRatePeak_ = peak;
  Persist("BitRatePeak", static_cast<ULONG>(peak));
  return SendBitRate();
}

NTSTATUS EncoderSettings::SetBitRateMode(LONG mode) {
  if (mode != 0 && mode != 1) return STATUS_INVALID_PARAMETER;
  bitRateMode_ = mode;
  Persist("BitRateMode", static_cast<ULONG>(mode));
  return SendBitRate();
}

NTSTATUS EncoderSettings::SetGopPictures(UCHAR pictures) {
  return Locked(pictures == gopPictures_, [&] {
    gopPictures_ = pictures;
    Persist("GOPNumberOfPictures", pictures);
    return device_->mailbox->Send(kGop, {static_cast<ULONG>(gopPictures_), static_cast<ULONG>(gopBFrames_)});
  });
}

NTSTATUS EncoderSettings::SetClosedGop(bool closed) {
  return Locked(closed == closedGop_, [&] {
    closedGop_ = closed;
    Persist("ClosedGOP", closed ? 1 : 0);
    return device_->mailbox->Send(kClosedGop, {closed ? 1u : 0u});
  });
}

NTSTATUS EncoderSettings::SetInverseTelecine(bool on) {
  return Locked(on == inverseTelecine_, [&] {
    inverseTelecine_ = on;
    Persist("InverseTelecine", on ? 1 : 0);
    return device_->mailbox->Send(kInverseTelecine, {on ? 1u : 0u});
  });
}

NTSTATUS EncoderSettings::SetAudioField(ULONG shift, ULONG mask, ULONG min, ULONG max, ULONG value, PCSTR name) {
  if (value < min || value > max) return STATUS_INVALID_PARAMETER;
  return Locked((audioWord_ >> shift & mask) == value, [&] {
    audioWord_ = (audioWord_ & ~(mask << shift)) | value << shift;
    Persist(name, value);
    return SendAudio();
  });
}

NTSTATUS EncoderSettings::SetAudioDataRate(ULONG code) {
  return SetAudioField(AudioWord::kDataRateShift, AudioWord::kDataRateMask, AudioWord::kDataRateMin,
                       AudioWord::kDataRateMax, code, "AudioDataRate");
}

NTSTATUS EncoderSettings::SetAudioCrc(ULONG on) {
  return SetAudioField(AudioWord::kCrcShift, AudioWord::kCrcMask, 0, AudioWord::kCrcMax, on, "AudioCRC");
}

NTSTATUS EncoderSettings::SetAudioOutputMode(ULONG mode) {
  return SetAudioField(AudioWord::kOutputModeShift, AudioWord::kOutputModeMask, 0, AudioWord::kOutputModeMax, mode,
                       "AudioOutputMode");
}

NTSTATUS EncoderSettings::SetAudioSamplingRate(ULONG code) {
  if (code > AudioWord::kSamplingMax) return STATUS_INVALID_PARAMETER;
  return Locked(AudioField(AudioWord::kSamplingShift, AudioWord::kSamplingMask) == code, [&] {
    audioWord_ =
        (audioWord_ & ~(AudioWord::kSamplingMask << AudioWord::kSamplingShift)) | code << AudioWord::kSamplingShift;
    Persist("AudioSamplingRate", code);
    device_->decoder->SetAudioRate(AudioWord::Rate(code));
    device_->audio->SetSamplingRate(AudioWord::Rate(code));
    return SendAudio();
  });
}

NTSTATUS EncoderSettings::SetStreamType(LONG type) {
  const bool wasHalf = IsHalfHeight();
  NTSTATUS result = Locked(type == streamType_, [&] {
    // Half-height types encode 240 or 288 lines, the others 480 or 576: the frame size follows the type.
    NTSTATUS status = STATUS_SUCCESS;
    bool half = type == 2 || type == 11;
    if (half && OneOf(height_, kFullHeights)) status = SetFrameSize(width_, height_ / 2);
    if (!half && OneOf(height_, kHalfHeights)) status = SetFrameSize(width_, height_ * 2);
    streamType_ = type;
    Persist("MPEGStreamType", static_cast<ULONG>(type));
    NTSTATUS sent = device_->mailbox->Send(kStreamType, {static_cast<ULONG>(type)});
    return NT_SUCCESS(status) ? sent : status;
  });
  // The capture filters' internal format follows the height the type encodes.
  if (IsHalfHeight() != wasHalf) SwitchCaptureRanges(device_);
  return result;
}

NTSTATUS EncoderSettings::SetFrameSize(LONG width, LONG height) {
  if (width <= 0 || height <= 0) return STATUS_INVALID_PARAMETER;
  return Locked(width == width_ && height == height_, [&] {
    width_ = width;
    height_ = height;
    NTSTATUS status = device_->mailbox->Send(kFrameSize, {static_cast<ULONG>(height), static_cast<ULONG>(width)});
    device_->decoder->SetCaptureSize(static_cast<ULONG>(width), static_cast<ULONG>(height));
    return status;
  });
}

NTSTATUS EncoderSettings::SetFilterBlock(const NoiseFilterBlock& block) {
  if (!ValidFilter(block)) return STATUS_INVALID_PARAMETER;
  filter_ = block;
  filter_.padding[0] = filter_.padding[1] = 0;
  Persist("IsStaticSpatial", filter_.spatialStatic);
  Persist("IsStaticTemporal", filter_.temporalStatic);
  Persist("StaticSpatialLevel", static_cast<ULONG>(filter_.spatialLevel));
  Persist("StaticTemporalLevel", static_cast<ULONG>(filter_.temporalLevel));
  return SendFilters();
}

NTSTATUS EncoderSettings::SetMuxedRate(LONG rate) {
  if (rate < 0) return STATUS_INVALID_PARAMETER;
  muxedRate_ = rate;
  Persist("MuxedDataRate", static_cast<ULONG>(rate));
  return STATUS_SUCCESS;
}

NTSTATUS EncoderSettings::SetEncApiMode(LONG mode) {
  if (mode != kEncApiConstant && mode != kEncApiVariableAverage && mode != kEncApiVariablePeak)
    return STATUS_INVALID_PARAMETER;
  const ULONGLONG derived = DerivedPeak(static_cast<ULONGLONG>(bitRate_));
  const bool keepPeak = mode == kEncApiConstant ||
                        (mode == kEncApiVariablePeak &&
                         PeakSuitsRate(static_cast<ULONGLONG>(bitRatePeak_), static_cast<ULONGLONG>(bitRate_)));
  if (!keepPeak && derived > 0x7FFFFFFF) return STATUS_INVALID_PARAMETER;  // no peak fits this rate
  NTSTATUS status = SetBitRateMode(mode == kEncApiConstant ? 1 : 0);
  if (!keepPeak) {
    NTSTATUS peak = SetBitRatePeak(static_cast<LONG>(derived));
    if (NT_SUCCESS(status)) status = peak;
  }
  encApiMode_ = mode;
  return status;
}

NTSTATUS EncoderSettings::SetEncApiBitRate(ULONG rate) {
  if (rate < kEncApiBitRateMin || rate > kEncApiBitRateMax) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = SetBitRate(static_cast<LONG>(rate));
  NTSTATUS peak = STATUS_SUCCESS;
  if (encApiMode_ == kEncApiVariableAverage)
    peak = SetBitRatePeak(static_cast<LONG>(DerivedPeak(rate)));
  else if (encApiMode_ == kEncApiVariablePeak && !PeakSuitsRate(static_cast<ULONGLONG>(bitRatePeak_), rate))
    peak = SetBitRatePeak(static_cast<LONG>(DerivedPeak(rate)));
  return NT_SUCCESS(status) ? peak : status;
}

// ---- Property handlers (passive level, on the class driver's thread)

namespace {

EncoderSettings* SettingsOf(PIRP irp, PelgarDevice** device = nullptr) {
  PelgarDevice* d = DeviceFromIrp(irp);
  if (device != nullptr) *device = d;
  return d != nullptr ? d->settings : nullptr;
}

template <class T>
NTSTATUS Return(PIRP irp, PVOID data, T value) {
  RtlCopyMemory(data, &value, sizeof value);
  irp->IoStatus.Information = sizeof value;
  return STATUS_SUCCESS;
}

template <class T>
T Argument(PVOID data) {
  T value;
  RtlCopyMemory(&value, data, sizeof value);
  return value;
}

NTSTATUS GetVersion(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PelgarDevice* d = nullptr;
  if (SettingsOf(irp, &d) == nullptr) return STATUS_UNSUCCESSFUL;
  ULONG version = 0;
  NTSTATUS status = d->mailbox->Send(kVersion, {}, 1, &version);
  if (!NT_SUCCESS(status)) return status;
  LONG out[5] = {static_cast<LONG>(version), kDriverVersion[0], kDriverVersion[1], kDriverVersion[2],
                 kDriverVersion[3]};
  RtlCopyMemory(data, out, sizeof out);
  irp->IoStatus.Information = sizeof out;
  return STATUS_SUCCESS;
}

NTSTATUS GetBitRates(PIRP irp, PKSIDENTIFIER, PVOID data) {
  EncoderSettings* s = SettingsOf(irp);
  if (s == nullptr) return STATUS_UNSUCCESSFUL;
  LONG out[3] = {s->BitRateMode(), s->BitRate(), s->BitRatePeak()};
  RtlCopyMemory(data, out, sizeof out);
  irp->IoStatus.Information = sizeof out;
  return STATUS_SUCCESS;
}

NTSTATUS SetBitRates(PIRP irp, PKSIDENTIFIER, PVOID data) {
  EncoderSettings* s = SettingsOf(irp);
  if (s == nullptr) return STATUS_UNSUCCESSFUL;
  LONG in[3];
  RtlCopyMemory(in, data, sizeof in);
  if ((in[0] != 0 && in[0] != 1) || in[1] <= 0 || in[2] <= 0) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = s->SetBitRate(in[1]);
  NTSTATUS mode = s->SetBitRateMode(in[0]);
  NTSTATUS peak = s->SetBitRatePeak(in[2]);
  if (NT_SUCCESS(status)) status = mode;
  if (NT_SUCCESS(status)) status = peak;
  return status;
}

#define SETTINGS_OR_FAIL(irp)           \
  EncoderSettings* s = SettingsOf(irp); \
  if (s == nullptr) return STATUS_UNSUCCESSFUL

NTSTATUS GetClosedGop(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<ULONG>(irp, data, s->ClosedGop() ? 1 : 0);
}
NTSTATUS PutClosedGop(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return s->SetClosedGop(Argument<ULONG>(data) != 0);
}
NTSTATUS GetGopPictures(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<UCHAR>(irp, data, static_cast<UCHAR>(s->GopPictures()));
}
NTSTATUS PutGopPictures(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return s->SetGopPictures(Argument<UCHAR>(data));
}
NTSTATUS GetInverseTelecine(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<ULONG>(irp, data, s->InverseTelecine() ? 1 : 0);
}
NTSTATUS PutInverseTelecine(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return s->SetInverseTelecine(Argument<ULONG>(data) != 0);
}
NTSTATUS GetAudioDataRate(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<UCHAR>(irp, data,
                       static_cast<UCHAR>(s->AudioField(AudioWord::kDataRateShift, AudioWord::kDataRateMask)));
}
NTSTATUS PutAudioDataRate(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return s->SetAudioDataRate(Argument<UCHAR>(data));
}
NTSTATUS GetAudioCrc(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<UCHAR>(irp, data, static_cast<UCHAR>(s->AudioField(AudioWord::kCrcShift, AudioWord::kCrcMask)));
}
NTSTATUS PutAudioCrc(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return s->SetAudioCrc(Argument<UCHAR>(data));
}
NTSTATUS GetAudioOutputMode(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<ULONG>(irp, data, s->AudioField(AudioWord::kOutputModeShift, AudioWord::kOutputModeMask));
}
NTSTATUS PutAudioOutputMode(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return s->SetAudioOutputMode(Argument<ULONG>(data));
}
NTSTATUS GetAudioSamplingRate(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<ULONG>(irp, data, s->AudioField(AudioWord::kSamplingShift, AudioWord::kSamplingMask));
}
NTSTATUS PutAudioSamplingRate(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return s->SetAudioSamplingRate(Argument<ULONG>(data));
}
NTSTATUS GetStreamType(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<LONG>(irp, data, s->StreamType());
}
NTSTATUS PutStreamType(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return s->SetStreamType(Argument<LONG>(data));
}
NTSTATUS GetFilterBlock(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<NoiseFilterBlock>(irp, data, s->Filter());
}
NTSTATUS PutFilterBlock(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return s->SetFilterBlock(Argument<NoiseFilterBlock>(data));
}
NTSTATUS GetMuxedRate(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<LONG>(irp, data, s->MuxedRate());
}
NTSTATUS PutMuxedRate(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return s->SetMuxedRate(Argument<LONG>(data));
}

// Output control of a peripheral: register 0 takes the on or off value. A card without the peripheral
// has nothing to control: STATUS_NO_SUCH_DEVICE.
NTSTATUS ControlOutput(PIRP irp, PVOID data, Peripheral* PelgarDevice::*which, UCHAR on, UCHAR off) {
  PelgarDevice* d = DeviceFromIrp(irp);
  if (d == nullptr) return STATUS_UNSUCCESSFUL;
  Peripheral* peripheral = d->*which;
  if (peripheral == nullptr || d->i2c == nullptr) return STATUS_NO_SUCH_DEVICE;
  const UCHAR bytes[2] = {0x00, Argument<ULONG>(data) == 1 ? on : off};
  return d->i2c->Write(peripheral->Address(), sizeof bytes, bytes, TRUE, FALSE);
}
NTSTATUS PutOutputB8(PIRP irp, PKSIDENTIFIER, PVOID data) {
  return ControlOutput(irp, data, &PelgarDevice::peripheralB8, kB8On, kB8Off);
}
NTSTATUS PutOutput24(PIRP irp, PKSIDENTIFIER, PVOID data) {
  return ControlOutput(irp, data, &PelgarDevice::peripheral24, k24On, k24Off);
}

// The status byte of the device at 0xF4; without it, or when the read fails, the caller's buffer is left
// alone and the request fails.
NTSTATUS GetStatusF4(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PelgarDevice* d = DeviceFromIrp(irp);
  if (d == nullptr) return STATUS_UNSUCCESSFUL;
  if (d->peripheralF4 == nullptr || d->i2c == nullptr) return STATUS_NO_SUCH_DEVICE;
  UCHAR byte = 0;
  NTSTATUS status = d->i2c->Read(d->peripheralF4->Address(), 1, &byte, FALSE);
  if (!NT_SUCCESS(status)) return status;
  return Return<ULONG>(irp, data, byte);
}

// ---- Encoder-API handlers

NTSTATUS GetEncApiBitRate(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<ULONG>(irp, data, static_cast<ULONG>(s->BitRate()));
}
NTSTATUS PutEncApiBitRate(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return s->SetEncApiBitRate(Argument<ULONG>(data));
}
NTSTATUS GetEncApiPeak(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<ULONG>(irp, data, static_cast<ULONG>(s->BitRatePeak()));
}
NTSTATUS PutEncApiPeak(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  ULONG peak = Argument<ULONG>(data);
  if (peak < kEncApiPeakMin || peak > kEncApiPeakMax) return STATUS_INVALID_PARAMETER;
  return s->SetBitRatePeak(static_cast<LONG>(peak));
}
NTSTATUS GetEncApiMode(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return Return<LONG>(irp, data, s->EncApiMode());
}
NTSTATUS PutEncApiMode(PIRP irp, PKSIDENTIFIER, PVOID data) {
  SETTINGS_OR_FAIL(irp);
  return s->SetEncApiMode(Argument<LONG>(data));
}

#undef SETTINGS_OR_FAIL

constexpr KSPROPERTY_ITEM Item(ULONG id, PFNKSHANDLER get, PFNKSHANDLER set, ULONG size) {
  return {id, get, sizeof(KSPROPERTY), size, set, nullptr, 0, nullptr, nullptr, 0};
}

const KSPROPERTY_ITEM kPrivateItems[] = {
    Item(0, GetVersion, nullptr, 20),
    Item(1, GetBitRates, SetBitRates, 12),
    Item(2, GetClosedGop, PutClosedGop, 4),
    Item(3, GetGopPictures, PutGopPictures, 1),
    Item(4, GetInverseTelecine, PutInverseTelecine, 4),
    Item(5, GetAudioDataRate, PutAudioDataRate, 1),
    Item(6, GetAudioCrc, PutAudioCrc, 1),
    Item(7, GetAudioOutputMode, PutAudioOutputMode, 4),
    Item(8, GetAudioSamplingRate, PutAudioSamplingRate, 4),
    Item(9, GetStreamType, PutStreamType, 4),
    Item(10, GetFilterBlock, PutFilterBlock, sizeof(NoiseFilterBlock)),
    Item(11, GetMuxedRate, PutMuxedRate, 4),
    Item(13, nullptr, PutOutputB8, 4),
    Item(14, nullptr, PutOutput24, 4),
    Item(15, GetStatusF4, nullptr, 4),
};

// Value descriptions of the encoder-API items: a stepped range (or a list) and the default.
const KSPROPERTY_STEPPING_LONG kBitRateRange = {
    1, 0, {{static_cast<LONG>(kEncApiBitRateMin), static_cast<LONG>(kEncApiBitRateMax)}}};
const ULONG kBitRateDefault = kEncApiBitRateDefault;
const KSPROPERTY_MEMBERSLIST kBitRateMembers[] = {
    {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &kBitRateRange},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(ULONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &kBitRateDefault},
};
const KSPROPERTY_VALUES kBitRateValues = {{KSPROPTYPESETID_General, VT_UI4, 0}, 2, kBitRateMembers};

const KSPROPERTY_STEPPING_LONG kPeakRange = {
    1, 0, {{static_cast<LONG>(kEncApiPeakMin), static_cast<LONG>(kEncApiPeakMax)}}};
const ULONG kPeakDefault = kEncApiPeakDefault;
const KSPROPERTY_MEMBERSLIST kPeakMembers[] = {
    {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &kPeakRange},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(ULONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &kPeakDefault},
};
const KSPROPERTY_VALUES kPeakValues = {{KSPROPTYPESETID_General, VT_UI4, 0}, 2, kPeakMembers};

const LONG kModeList[] = {kEncApiConstant, kEncApiVariableAverage, kEncApiVariablePeak};
const LONG kModeDefault = kEncApiConstant;
const KSPROPERTY_MEMBERSLIST kModeMembers[] = {
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 3, 0}, kModeList},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &kModeDefault},
};
const KSPROPERTY_VALUES kModeValues = {{KSPROPTYPESETID_General, VT_I4, 0}, 2, kModeMembers};

constexpr KSPROPERTY_ITEM EncApiItem(PFNKSHANDLER get, PFNKSHANDLER set, const KSPROPERTY_VALUES* values) {
  return {0, get, sizeof(KSPROPERTY), sizeof(ULONG), set, values, 0, nullptr, nullptr, sizeof(ULONG)};
}
const KSPROPERTY_ITEM kBitRateItem[] = {EncApiItem(GetEncApiBitRate, PutEncApiBitRate, &kBitRateValues)};
const KSPROPERTY_ITEM kPeakItem[] = {EncApiItem(GetEncApiPeak, PutEncApiPeak, &kPeakValues)};
const KSPROPERTY_ITEM kModeItem[] = {EncApiItem(GetEncApiMode, PutEncApiMode, &kModeValues)};

}  // namespace

const GUID kEncoderPropertySet = {0x9D12BF07, 0x3548, 0x4EAC, {0x93, 0x44, 0x83, 0x0C, 0xFA, 0x79, 0xB9, 0x2F}};
const GUID kEncApiBitRate = {0x49CC4C43, 0xCA83, 0x4AD4, {0xA9, 0xAF, 0xF3, 0x69, 0x6A, 0xF6, 0x66, 0xDF}};
const GUID kEncApiPeakBitRate = {0x703F16A9, 0x3D48, 0x44A1, {0xB0, 0x77, 0x01, 0x8D, 0xFF, 0x91, 0x5D, 0x19}};
const GUID kEncApiBitRateMode = {0xEE5FB25C, 0xC713, 0x40D1, {0x9D, 0x58, 0xC0, 0xD7, 0x24, 0x1E, 0x25, 0x0F}};

const KSPROPERTY_SET kEncoderPropertySets[kEncoderPropertySetCount] = {
    {&kEncoderPropertySet, sizeof kPrivateItems / sizeof kPrivateItems[0], kPrivateItems, 0, nullptr},
    {&kEncApiBitRate, 1, kBitRateItem, 0, nullptr},
    {&kEncApiPeakBitRate, 1, kPeakItem, 0, nullptr},
    {&kEncApiBitRateMode, 1, kModeItem, 0, nullptr},
};

const KSAUTOMATION_TABLE kEncoderAutomationTable = {
    kEncoderPropertySetCount, sizeof(KSPROPERTY_ITEM), kEncoderPropertySets, 0, 0, nullptr, 0, 0, nullptr, nullptr};

}  // namespace pelgar
