#include "driver/capture_pins.h"

#include "driver/decoders.h"
#include "driver/device.h"
#include "driver/driver_services.h"
#include "driver/encoder_settings.h"

namespace pelgar {
namespace {

constexpr ULONG kFormatHeaderBytes = sizeof(KSDATAFORMAT);
constexpr ULONG kVideoInfoBeforeBitmap = offsetof(KS_VIDEOINFOHEADER, bmiHeader);  // 48
// Where the caller's bitmap header starts in a video range, and the part of a video format in front of it.
constexpr ULONG kRangeBitmapOffset = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) + kVideoInfoBeforeBitmap;
constexpr ULONG kFormatBitmapOffset = kFormatHeaderBytes + kVideoInfoBeforeBitmap;       // 112
constexpr ULONG kHandOverFormatBytes = kFormatHeaderBytes + sizeof(KS_VIDEOINFOHEADER);  // 152
constexpr LONGLONG kVbiFieldDuration525 = 166833;
constexpr LONGLONG kVbiFieldDuration625 = 200000;
constexpr LONGLONG kAudioFrameDuration = 100000;  // 10 ms
constexpr ULONG kAudioFramesPerRate = 25;         // 10 ms of 16-bit stereo = rate / 25 bytes
constexpr ULONG kRawAudioFrames = 10;

// The tuner-change record a VBI pin reports until the tuner sends one: channel 4 of the standard's
// usual country.
constexpr KS_TVTUNER_CHANGE_INFO kTunerPreset525 = {2, 1, 1, 4};
constexpr KS_TVTUNER_CHANGE_INFO kTunerPreset625 = {2, 49, 16, 4};

ULONG CardStandard(PelgarDevice* device) {
  return device->decoder != nullptr ? device->decoder->Standard() : device->videoStandard;
}

LONG Magnitude(LONG value) { return value < 0 ? -value : value; }

// A video format's video info header, read whole (the format may lie anywhere in the caller's buffer).
KS_DATAFORMAT_VIDEOINFOHEADER ReadVideoFormat(const KSDATAFORMAT* format) {
  KS_DATAFORMAT_VIDEOINFOHEADER video;
  RtlCopyMemory(&video, format, sizeof video);
  return video;
}

// The size answer every intersect handler gives: the size alone for an empty buffer, too small otherwise.
NTSTATUS CheckResultBuffer(ULONG size, ULONG bufferSize, PULONG dataSize) {
  if (bufferSize == 0) {
    *dataSize = size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bufferSize < size) return STATUS_BUFFER_TOO_SMALL;
  return STATUS_SUCCESS;
}

// Writes `header` (a range's 64 bytes) as a format of `size` bytes at `out`.
void WriteFormatHeader(PUCHAR out, const KSDATARANGE& header, ULONG size) {
  KSDATAFORMAT format;
  RtlCopyMemory(&format, &header, sizeof format);
  format.FormatSize = size;
  RtlCopyMemory(out, &format, sizeof format);
}

// Whether a caller's video or VBI range equals the pin's own in its four flag words and its caps.
template <class Range>
bool SameFlagsAndCaps(const Range& caller, const Range& own) {
  return RtlCompareMemory(&caller.bFixedSizeSamples, &own.bFixedSizeSamples, KS_RANGE_FLAG_WORDS_BYTES) ==
             KS_RANGE_FLAG_WORDS_BYTES &&
         RtlCompareMemory(&caller.ConfigCaps, &own.ConfigCaps, sizeof own.ConfigCaps) == sizeof own.ConfigCaps;
}

template <class T>
NTSTATUS CreateContext(PKSPIN pin, T** self) {
  PelgarDevice* device = DeviceOfPin(pin);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  *self = NewTagged<T>(std::source_location::current(), pin, device);
  return *self != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace

// ---- Raw video

NTSTATUS RawVideoPin::SetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PVOID, const KSDATARANGE* range,
                                    const VOID*) {
  const KSDATAFORMAT* format = pin->ConnectionFormat;
  if (!IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) return STATUS_NO_MATCH;
  if (format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return STATUS_INVALID_PARAMETER;
  if (range == nullptr || range->FormatSize < sizeof(KS_DATARANGE_VIDEO)) return STATUS_NO_MATCH;
  const auto& own = *reinterpret_cast<const KS_DATARANGE_VIDEO*>(range);
  const KS_DATAFORMAT_VIDEOINFOHEADER video = ReadVideoFormat(format);
  const KS_BITMAPINFOHEADER& bitmap = video.VideoInfoHeader.bmiHeader;
  if (!BitmapFitsRange(bitmap, own)) return STATUS_NO_MATCH;
  if (bitmap.biSizeImage != ImageSize(own, bitmap.biHeight)) return STATUS_INVALID_PARAMETER;

  auto* self = static_cast<RawVideoPin*>(pin->Context);
  if (oldFormat == nullptr || self == nullptr) return STATUS_SUCCESS;  // the first format: Create takes it
  if (KsPinGetFirstCloneStreamPointer(pin) != nullptr) return STATUS_INVALID_DEVICE_STATE;
  const KS_VIDEOINFOHEADER& current = self->format_.VideoInfoHeader;
  const KS_BITMAPINFOHEADER& was = current.bmiHeader;
  if (current.AvgTimePerFrame != video.VideoInfoHeader.AvgTimePerFrame ||
      Magnitude(was.biWidth) != Magnitude(bitmap.biWidth) || was.biHeight != bitmap.biHeight ||
      was.biBitCount != bitmap.biBitCount || was.biCompression != bitmap.biCompression)
    return STATUS_NO_MATCH;
  self->format_ = video;
  return self->EditFraming(kRawVideoFrames, bitmap.biSizeImage, video.VideoInfoHeader.AvgTimePerFrame);
}

NTSTATUS RawVideoPin::Create(PKSPIN pin, PIRP) {
  if (pin->ConnectionFormat->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return STATUS_INVALID_PARAMETER;
  RawVideoPin* self = nullptr;
  NTSTATUS status = CreateContext(pin, &self);
  if (!NT_SUCCESS(status)) return status;
  self->format_ = ReadVideoFormat(pin->ConnectionFormat);
  const KS_VIDEOINFOHEADER& info = self->format_.VideoInfoHeader;
  status = self->EditFraming(kRawVideoFrames, info.bmiHeader.biSizeImage, info.AvgTimePerFrame);
  if (NT_SUCCESS(status) && self->device_->settings == nullptr) status = STATUS_DEVICE_NOT_READY;
  if (NT_SUCCESS(status) &&
      !NT_SUCCESS(self->device_->settings->SetFrameSize(info.bmiHeader.biWidth, Magnitude(info.bmiHeader.biHeight))))
    status = STATUS_INVALID_DEVICE_REQUEST;  // a stream runs at another size
  if (!NT_SUCCESS(status)) {
    DeleteTagged(self);
    return status;
  }
  pin->StreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
  pin->Context = self;
  return STATUS_SUCCESS;
}

NTSTATUS RawVideoPin::Intersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE range, PKSDATARANGE matching, ULONG bufferSize,
                                PVOID data, PULONG dataSize) {
  if (!IsEqualGUID(range->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) return STATUS_NO_MATCH;
  if (range->FormatSize < sizeof(KS_DATARANGE_VIDEO)) return STATUS_INVALID_PARAMETER;
  KS_DATARANGE_VIDEO caller;
  RtlCopyMemory(&caller, range, sizeof caller);
  const auto& own = *reinterpret_cast<const KS_DATARANGE_VIDEO*>(matching);
  if (!SameFlagsAndCaps(caller, own)) return STATUS_NO_MATCH;
  const KS_BITMAPINFOHEADER& bitmap = caller.VideoInfoHeader.bmiHeader;
  if (!BitmapFitsRange(bitmap, own)) return STATUS_NO_MATCH;
  if (ULONGLONG{range->FormatSize} != kRangeBitmapOffset + ULONGLONG{bitmap.biSize}) return STATUS_NO_MATCH;
  const ULONG size = bitmap.biSize + kFormatBitmapOffset;
  NTSTATUS status = CheckResultBuffer(size, bufferSize, dataSize);
  if (status != STATUS_SUCCESS) return status;
  auto* out = static_cast<PUCHAR>(data);
  const ULONG image = ImageSize(own, bitmap.biHeight);
  WriteFormatHeader(out, own.DataRange, size);
  RtlCopyMemory(out + offsetof(KSDATAFORMAT, SampleSize), &image, sizeof image);
  RtlCopyMemory(out + kFormatHeaderBytes, &caller.VideoInfoHeader, kVideoInfoBeforeBitmap);
  RtlCopyMemory(out + kFormatBitmapOffset, reinterpret_cast<const UCHAR*>(range) + kRangeBitmapOffset, bitmap.biSize);
  RtlCopyMemory(out + kFormatBitmapOffset + offsetof(KS_BITMAPINFOHEADER, biSizeImage), &image, sizeof image);
  *dataSize = size;
  return STATUS_SUCCESS;
}

void RawVideoPin::FillExtendedHeader(PKSSTREAM_HEADER header) {
  const ULONGLONG picture = NextPicture();
  if (header->Size < sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) return;
  KS_FRAME_INFO info{};
  info.ExtendedHeaderSize = sizeof info;
  info.dwFrameFlags = 0;
  info.PictureNumber = static_cast<LONGLONG>(picture);
  info.DropCount = static_cast<LONGLONG>(Drops());
  RtlCopyMemory(header + 1, &info, sizeof info);
}

// ---- Raw audio

NTSTATUS RawAudioPin::Create(PKSPIN pin, PIRP) {
  const KSDATAFORMAT* format = pin->ConnectionFormat;
  if (format->FormatSize < KSDATAFORMAT_WAVEFORMATEX_BYTES) return STATUS_INVALID_PARAMETER;
  PelgarDevice* device = DeviceOfPin(pin);
  if (device == nullptr || device->settings == nullptr) return STATUS_UNSUCCESSFUL;
  WAVEFORMATEX wave;
  RtlCopyMemory(&wave, reinterpret_cast<const UCHAR*>(format) + kFormatHeaderBytes, sizeof wave);
  const ULONG rate =
      AudioWord::Rate(device->settings->AudioField(AudioWord::kSamplingShift, AudioWord::kSamplingMask));
  if (wave.nSamplesPerSec != rate) return STATUS_INVALID_PARAMETER;
  RawAudioPin* self = nullptr;
  NTSTATUS status = CreateContext(pin, &self);
  if (!NT_SUCCESS(status)) return status;
  status = self->EditFraming(kRawAudioFrames, rate / kAudioFramesPerRate, kAudioFrameDuration);
  if (!NT_SUCCESS(status)) {
    DeleteTagged(self);
    return status;
  }
  pin->Context = self;
  return STATUS_SUCCESS;
}

NTSTATUS RawAudioPin::Intersect(PVOID, PIRP irp, PKSP_PIN, PKSDATARANGE range, PKSDATARANGE matching,
                                ULONG bufferSize, PVOID data, PULONG dataSize) {
  const auto& own = *reinterpret_cast<const KSDATARANGE_AUDIO*>(matching);
  if (IsEqualGUID(range->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
    if (range->FormatSize < sizeof(KSDATARANGE_AUDIO)) return STATUS_INVALID_PARAMETER;
    KSDATARANGE_AUDIO caller;
    RtlCopyMemory(&caller, range, sizeof caller);
    if (caller.MaximumChannels != own.MaximumChannels || caller.MinimumBitsPerSample != own.MinimumBitsPerSample ||
        caller.MaximumBitsPerSample != own.MaximumBitsPerSample ||
        caller.MinimumSampleFrequency != own.MinimumSampleFrequency ||
        caller.MaximumSampleFrequency != own.MaximumSampleFrequency)
      return STATUS_NO_MATCH;
  } else if (!IsEqualGUID(range->Specifier, GUID_NULL)) {
    return STATUS_NO_MATCH;
  }
  PelgarDevice* device = DeviceFromIrp(irp);
  if (device == nullptr || device->settings == nullptr) return STATUS_UNSUCCESSFUL;
  const ULONG size = KSDATAFORMAT_WAVEFORMATEX_BYTES;
  NTSTATUS status = CheckResultBuffer(size, bufferSize, dataSize);
  if (status != STATUS_SUCCESS) return status;
  const ULONG rate =
      AudioWord::Rate(device->settings->AudioField(AudioWord::kSamplingShift, AudioWord::kSamplingMask));
  const WAVEFORMATEX wave = {WAVE_FORMAT_PCM, 2, rate, 4 * rate, 4, 16, 0};
  auto* out = static_cast<PUCHAR>(data);
  WriteFormatHeader(out, own.DataRange, size);
  RtlCopyMemory(out + kFormatHeaderBytes, &wave, sizeof wave);
  *dataSize = size;
  return STATUS_SUCCESS;
}

// ---- VBI

NTSTATUS VbiPin::SetDataFormat(PKSPIN pin, PKSDATAFORMAT, PVOID, const KSDATARANGE*, const VOID*) {
  const KSDATAFORMAT* format = pin->ConnectionFormat;
  if (!IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VBI)) return STATUS_NO_MATCH;
  if (format->FormatSize < sizeof(KS_DATAFORMAT_VBIINFOHEADER)) return STATUS_INVALID_PARAMETER;
  KS_DATAFORMAT_VBIINFOHEADER vbi;
  RtlCopyMemory(&vbi, format, sizeof vbi);
  const KS_VBIINFOHEADER& table = VbiTable(g_is525Lines != FALSE);
  const KS_VBIINFOHEADER& info = vbi.VBIInfoHeader;
  if (info.StartLine != table.StartLine || info.EndLine != table.EndLine ||
      info.SamplesPerLine != table.SamplesPerLine || info.BufferSize != table.BufferSize ||
      vbi.DataFormat.SampleSize != table.BufferSize)
    return STATUS_NO_MATCH;
  return STATUS_SUCCESS;
}

NTSTATUS VbiPin::Create(PKSPIN pin, PIRP) {
  if (pin->ConnectionFormat->FormatSize < sizeof(KS_DATAFORMAT_VBIINFOHEADER)) return STATUS_INVALID_PARAMETER;
  VbiPin* self = nullptr;
  NTSTATUS status = CreateContext(pin, &self);
  if (!NT_SUCCESS(status)) return status;
  const bool is525 = g_is525Lines != FALSE;
  self->info_ = VbiTable(is525);  // the current standard's table, whatever the connection format carried
  self->samplingFrequency_ = self->info_.SamplingFrequency;
  self->tuner_ = is525 ? kTunerPreset525 : kTunerPreset625;
  status = self->EditFraming(kVbiFrames, self->info_.BufferSize, is525 ? kVbiFieldDuration525 : kVbiFieldDuration625);
  if (!NT_SUCCESS(status)) {
    DeleteTagged(self);
    return status;
  }
  pin->StreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_VBI_FRAME_INFO);
  pin->Context = self;
  return STATUS_SUCCESS;
}

NTSTATUS VbiPin::Intersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE range, PKSDATARANGE matching, ULONG bufferSize,
                           PVOID data, PULONG dataSize) {
  if (!IsEqualGUID(range->Specifier, KSDATAFORMAT_SPECIFIER_VBI)) return STATUS_NO_MATCH;
  if (range->FormatSize < sizeof(KS_DATARANGE_VBI)) return STATUS_INVALID_PARAMETER;
  KS_DATARANGE_VBI caller;
  RtlCopyMemory(&caller, range, sizeof caller);
  const auto& own = *reinterpret_cast<const KS_DATARANGE_VBI*>(matching);
  if (!SameFlagsAndCaps(caller, own) || RtlCompareMemory(&caller.VBIInfoHeader, &own.VBIInfoHeader,
                                                         sizeof own.VBIInfoHeader) != sizeof own.VBIInfoHeader)
    return STATUS_NO_MATCH;
  const ULONG size = sizeof(KS_DATAFORMAT_VBIINFOHEADER);
  NTSTATUS status = CheckResultBuffer(size, bufferSize, dataSize);
  if (status != STATUS_SUCCESS) return status;
  auto* out = static_cast<PUCHAR>(data);
  WriteFormatHeader(out, own.DataRange, size);
  RtlCopyMemory(out + kFormatHeaderBytes, &own.VBIInfoHeader, sizeof own.VBIInfoHeader);
  *dataSize = size;
  return STATUS_SUCCESS;
}

void VbiPin::NoteTunerChange(const KS_TVTUNER_CHANGE_INFO& change) {
  tuner_ = change;
  tunerInfoPending_ = TRUE;
}

BOOLEAN VbiPin::ExtractField(PUCHAR data, ULONG bytes, ULONG field, ULONG* position, CaptureBuffer* buffer) {
  const VbiRing* ring = device_->vbiRing;
  const ULONG lines = ring->LinesPerField();
  const UCHAR code = ring->StartCode(field);
  // A buffer too small for the field's lines gets none of them.
  const BOOLEAN fits = buffer != nullptr && buffer->frameExtent / kVbiSampleBytes >= lines;
  ULONG at = *position;
  for (ULONG line = 0; line < lines; ++line) {
    ULONG match = at;
    while (match + 4 <= bytes &&
           !(data[match] == 0xFF && data[match + 1] == 0 && data[match + 2] == 0 && data[match + 3] == code))
      ++match;
    if (match + 4 > bytes) {
      // The decoder leaves the 18th line of a field without a start code: it stays empty.
      if (line != 17) return FALSE;
      if (fits) RtlZeroMemory(buffer->data + line * kVbiSampleBytes, kVbiSampleBytes);
      break;
    }
    const ULONG samples = match + 4;
    if (bytes - samples < kVbiSampleBytes) return FALSE;
    if (fits) RtlCopyMemory(buffer->data + line * kVbiSampleBytes, data + samples, kVbiSampleBytes);
    at = samples + kVbiSampleBytes - 4;
  }
  *position = at;
  return TRUE;
}

void VbiPin::ParseVbi(const UCHAR* staged, ULONG count, ULONG bufferSize) {
  const ULONG lines = device_->vbiRing->LinesPerField();
  for (ULONG i = 0; i < count; ++i) {
    // The staging buffer is the driver's own common buffer: its words are put in host order in place.
    PUCHAR data = const_cast<PUCHAR>(staged) + ULONG_PTR{i} * bufferSize;
    CaptureBuffer* fields[2] = {TakeBuffer(), nullptr};
    fields[1] = TakeBuffer();
    for (CaptureBuffer* buffer : fields)
      if (buffer == nullptr) CountDrop();
    if (fields[0] == nullptr && fields[1] == nullptr) continue;
    SwapWordOrder(data, bufferSize);
    ULONG position = 0;
    for (ULONG field = 0; field < 2; ++field) {
      ULONG from = position;
      const BOOLEAN found = ExtractField(data, bufferSize, field, &from, fields[field]);
      // The second field is searched after the first only when the first was found whole.
      position = found ? from : 0;
      if (found) DbgPrint("VBI successful.  start code = %x\n", device_->vbiRing->StartCode(field));
      CaptureBuffer* buffer = fields[field];
      if (buffer == nullptr) continue;
      buffer->flags = 0;
      buffer->dataUsed = found && buffer->frameExtent / kVbiSampleBytes >= lines ? lines * kVbiSampleBytes : 0;
      field_ = field == 0 ? KS_VBI_FLAG_FIELD1 : KS_VBI_FLAG_FIELD2;
      CompleteBuffer(buffer);
    }
  }
}

void VbiPin::FillExtendedHeader(PKSSTREAM_HEADER header) {
  const ULONGLONG picture = NextPicture();
  if (header->Size < sizeof(KSSTREAM_HEADER) + sizeof(KS_VBI_FRAME_INFO)) return;
  KS_VBI_FRAME_INFO info{};
  info.ExtendedHeaderSize = sizeof info;
  info.dwFrameFlags = field_;
  info.PictureNumber = static_cast<LONGLONG>(picture);
  info.DropCount = static_cast<LONGLONG>(Drops());
  info.dwSamplingFrequency = samplingFrequency_;
  if (tunerInfoPending_) {
    info.TvTunerChangeInfo = tuner_;
    info.dwFrameFlags |= KS_VBI_FLAG_TVTUNER_CHANGE | KS_VBI_FLAG_VBIINFOHEADER_CHANGE;
    info.VBIInfoHeader = VbiTable(g_is525Lines != FALSE);
    tunerInfoPending_ = FALSE;
  }
  RtlCopyMemory(header + 1, &info, sizeof info);
}

// ---- Format-only pins

NTSTATUS AnalogVideoInProcess(PKSPIN pin) {
  PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (leading == nullptr) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  if (leading->StreamHeader->FrameExtent == sizeof(KS_TVTUNER_CHANGE_INFO)) {
    KS_TVTUNER_CHANGE_INFO change;
    RtlCopyMemory(&change, leading->StreamHeader->Data, sizeof change);
    PKSFILTER filter = KsPinGetParentFilter(pin);
    const KSFILTER_DESCRIPTOR* descriptor = filter->Descriptor;
    KsFilterAcquireControl(filter);
    for (ULONG id = 0; id < descriptor->PinDescriptorsCount; ++id) {
      const auto* pinDescriptor = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
          reinterpret_cast<const UCHAR*>(descriptor->PinDescriptors) + id * descriptor->PinDescriptorSize);
      const GUID* category = pinDescriptor->PinDescriptor.Category;
      if (category == nullptr || !IsEqualGUID(*category, PINNAME_VIDEO_VBI)) continue;
      PKSPIN vbi = KsFilterGetFirstChildPin(filter, id);
      if (vbi != nullptr && vbi->Context != nullptr) static_cast<VbiPin*>(vbi->Context)->NoteTunerChange(change);
    }
    KsFilterReleaseControl(filter);
    status = STATUS_SUCCESS;
  }
  // The notice is consumed either way, so a malformed one does not hold up the ones behind it.
  KsStreamPointerAdvance(leading);
  return status;
}

NTSTATUS HandOverIntersect(PVOID, PIRP irp, PKSP_PIN, PKSDATARANGE range, PKSDATARANGE matching, ULONG bufferSize,
                           PVOID data, PULONG dataSize) {
  if (range->FormatSize < sizeof(KS_DATARANGE_VIDEO)) return STATUS_INVALID_PARAMETER;
  KS_DATARANGE_VIDEO caller;
  RtlCopyMemory(&caller, range, sizeof caller);
  const auto& own = *reinterpret_cast<const KS_DATARANGE_VIDEO*>(matching);
  PelgarDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  const ULONG standards = caller.ConfigCaps.VideoStandard;
  if ((standards & own.ConfigCaps.VideoStandard) == 0 || (standards & CardStandard(device)) == 0)
    return STATUS_NO_MATCH;
  if (!BitmapFitsRange(caller.VideoInfoHeader.bmiHeader, own)) return STATUS_NO_MATCH;
  NTSTATUS status = CheckResultBuffer(kHandOverFormatBytes, bufferSize, dataSize);
  if (status != STATUS_SUCCESS) return status;
  auto* out = static_cast<PUCHAR>(data);
  WriteFormatHeader(out, own.DataRange, kHandOverFormatBytes);
  RtlCopyMemory(out + kFormatHeaderBytes, &caller.VideoInfoHeader, sizeof caller.VideoInfoHeader);
  *dataSize = kHandOverFormatBytes;
  return STATUS_SUCCESS;
}

NTSTATUS EncoderVideoInSetDataFormat(PKSPIN pin, PKSDATAFORMAT, PVOID, const KSDATARANGE*, const VOID*) {
  const KSDATAFORMAT* format = pin->ConnectionFormat;
  if (!IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) return STATUS_NO_MATCH;
  if (format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return STATUS_INVALID_PARAMETER;
  PelgarDevice* device = DeviceOfPin(pin);
  if (device == nullptr || device->settings == nullptr) return STATUS_UNSUCCESSFUL;
  const KS_DATAFORMAT_VIDEOINFOHEADER video = ReadVideoFormat(format);
  const KS_BITMAPINFOHEADER& bitmap = video.VideoInfoHeader.bmiHeader;
  const LONG height = Magnitude(bitmap.biHeight);
  const bool is525 = CardIs525(device);
  if ((is525 && height == 576) || (!is525 && height == 480)) return STATUS_INVALID_PARAMETER;
  // The frame size must be one of the pin's ranges: the encoder and the decoder take no other.
  bool fits = false;
  const KSPIN_DESCRIPTOR& descriptor = pin->Descriptor->PinDescriptor;
  for (ULONG i = 0; i < descriptor.DataRangesCount && !fits; ++i) {
    const KSDATARANGE* range = descriptor.DataRanges[i];
    fits = range->FormatSize >= sizeof(KS_DATARANGE_VIDEO) && IsEqualGUID(range->SubFormat, format->SubFormat) &&
           BitmapFitsRange(bitmap, *reinterpret_cast<const KS_DATARANGE_VIDEO*>(range));
  }
  if (!fits) return STATUS_INVALID_PARAMETER;
  return NT_SUCCESS(device->settings->SetFrameSize(bitmap.biWidth, height)) ? STATUS_SUCCESS
                                                                            : STATUS_INVALID_PARAMETER;
}

// ---- Dispatch tables

const KSPIN_DISPATCH kRawVideoPinDispatch = {
    RawVideoPin::Create,       StreamPin::Close, nullptr, nullptr, RawVideoPin::SetDataFormat,
    StreamPin::SetDeviceState, nullptr,          nullptr, nullptr, nullptr};
const KSPIN_DISPATCH kRawAudioPinDispatch = {RawAudioPin::Create,       StreamPin::Close, nullptr, nullptr, nullptr,
                                             StreamPin::SetDeviceState, nullptr,          nullptr, nullptr, nullptr};
const KSPIN_DISPATCH kVbiPinDispatch = {
    VbiPin::Create, StreamPin::Close, nullptr, nullptr, VbiPin::SetDataFormat, StreamPin::SetDeviceState,
    nullptr,        nullptr,          nullptr, nullptr};
const KSPIN_DISPATCH kAnalogVideoInDispatch = {
    nullptr, nullptr, AnalogVideoInProcess, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
const KSPIN_DISPATCH kEncoderVideoInDispatch = {nullptr, nullptr, nullptr, nullptr, EncoderVideoInSetDataFormat,
                                                nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace pelgar
