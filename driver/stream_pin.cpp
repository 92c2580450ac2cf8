#include "driver/stream_pin.h"

#include "driver/device.h"
#include "driver/driver_services.h"
#include "driver/encoder_mailbox.h"

namespace pelgar {
namespace {

// The device's stream bit of each stream index.
constexpr ULONG kStreamBits[kStreamSlots] = {kStreamMpeg, kStreamRawVideo, kStreamRawAudio, kStreamVbi, kStreamAux};

// What a clone of the leading edge carries for the engine: the buffer record and the frame's mappings
// (mappingCount of them follow the record).
struct CloneContext {
  CaptureBuffer buffer;  // first: the engine hands this address back
  PKSSTREAM_POINTER clone;
};

}  // namespace

PelgarDevice* DeviceOfPin(PKSPIN pin) {
  PKSDEVICE device = KsGetDevice(pin);
  return device ? static_cast<PelgarDevice*>(device->Context) : nullptr;
}

// ---- Framing

NTSTATUS StreamPin::EditFraming(ULONG frames, ULONG frameBytes, LONGLONG frameDuration) {
  NTSTATUS status = _KsEdit(pin_->Bag, reinterpret_cast<PVOID*>(const_cast<KSPIN_DESCRIPTOR_EX**>(&pin_->Descriptor)),
                            sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), kPinEditTag);
  if (!NT_SUCCESS(status)) return status;
  auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin_->Descriptor);
  status = _KsEdit(pin_->Bag,
                   reinterpret_cast<PVOID*>(const_cast<KSALLOCATOR_FRAMING_EX**>(&descriptor->AllocatorFraming)),
                   sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kPinEditTag);
  if (!NT_SUCCESS(status)) return status;
  KS_FRAMING_ITEM& item = const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming)->FramingItem[0];
  item.Frames = frames;
  item.PhysicalRange = {frameBytes, frameBytes, 0};
  item.FramingRange.Range = {frameBytes, frameBytes, 0};
  bufferSize_ = frameBytes;
  frameDuration_ = frameDuration;
  return STATUS_SUCCESS;
}

// ---- State machine

BOOLEAN StreamPin::OwnsSlot() const { return device_->pins[index_] == this; }

void StreamPin::ReleaseSlot() {
  LockDevice(device_);
  if (device_->pins[index_] == this) device_->pins[index_] = nullptr;
  UnlockDevice(device_);
}

NTSTATUS StreamPin::SetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  auto* self = static_cast<StreamPin*>(pin->Context);
  if (self == nullptr) return STATUS_UNSUCCESSFUL;
  switch (to) {
    case KSSTATE_STOP:
      if (self->OwnsSlot()) self->StopStreaming();
      self->ReleaseSlot();
      self->DeleteClones();
      self->ReleaseClock();
      return STATUS_SUCCESS;
    case KSSTATE_ACQUIRE: return self->Acquire(from);
    case KSSTATE_PAUSE:
      if (from == KSSTATE_RUN) {
        self->StopStreaming();
        self->DeleteClones();
      }
      return STATUS_SUCCESS;
    case KSSTATE_RUN: return self->Run();
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS StreamPin::Acquire(KSSTATE from) {
  LockDevice(device_);
  const BOOLEAN taken = device_->pins[index_] != nullptr && device_->pins[index_] != this;
  if (!taken) device_->pins[index_] = this;
  UnlockDevice(device_);
  if (taken) return STATUS_INSUFFICIENT_RESOURCES;
  if (from == KSSTATE_STOP) {
    ReleaseClock();
    PIKSREFERENCECLOCK clock = nullptr;
    if (NT_SUCCESS(KsPinGetReferenceClockInterface(pin_, &clock))) clock_ = clock;
    pictures_ = 0;
    drops_ = 0;
    discontinuity_ = FALSE;
  }
  return STATUS_SUCCESS;
}

NTSTATUS StreamPin::Run() {
  if (!OwnsSlot()) return STATUS_UNSUCCESSFUL;
  if (!device_->started || device_->mailbox == nullptr || device_->dmaEngine == nullptr)
    return STATUS_INVALID_DEVICE_STATE;
  discontinuity_ = TRUE;
  RunHook();
  LockDevice(device_);
  NTSTATUS status = STATUS_SUCCESS;
  if (device_->streamMask == 0) status = device_->mailbox->Configure(device_, FALSE);
  if (NT_SUCCESS(status)) status = device_->dmaEngine->Attach(this);
  if (NT_SUCCESS(status)) {
    status = device_->mailbox->StartStream(device_, kStreamBits[index_]);
    // A stream the encoder did not start takes no buffers.
    if (!NT_SUCCESS(status)) device_->dmaEngine->Detach(index_);
  }
  UnlockDevice(device_);
  return status;
}

void StreamPin::StopStreaming() {
  if (device_->mailbox == nullptr || device_->dmaEngine == nullptr) return;
  LockDevice(device_);
  device_->mailbox->StopStream(device_, kStreamBits[index_]);
  // Buffers of a transfer still in flight go back empty.
  device_->dmaEngine->Detach(index_);
  UnlockDevice(device_);
}

void StreamPin::ReleaseClock() {
  if (clock_ != nullptr) clock_->Release();
  clock_ = nullptr;
}

void StreamPin::DeleteClones() {
  while (PKSSTREAM_POINTER clone = KsPinGetFirstCloneStreamPointer(pin_)) {
    clone->StreamHeader->DataUsed = 0;
    KsStreamPointerDelete(clone);
  }
}

// ---- Buffers

CaptureBuffer* StreamPin::TakeBuffer() {
  PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin_, KSSTREAM_POINTER_STATE_LOCKED);
  if (leading == nullptr) return nullptr;
  // Only a pin that generates mappings has them; the others' offset counts bytes (copied streams).
  const BOOLEAN mapped = (pin_->Descriptor->Flags & KSPIN_FLAG_GENERATE_MAPPINGS) != 0;
  const ULONG count = mapped ? leading->OffsetOut.Count : 0;
  PKSSTREAM_POINTER clone = nullptr;
  if (!NT_SUCCESS(
          KsStreamPointerClone(leading, nullptr, sizeof(CloneContext) + count * sizeof(BufferMapping), &clone)))
    return nullptr;
  auto* context = static_cast<CloneContext*>(clone->Context);
  auto* mappings = reinterpret_cast<BufferMapping*>(context + 1);
  for (ULONG i = 0; i < count; ++i)
    mappings[i] = {clone->OffsetOut.Mappings[i].PhysicalAddress, clone->OffsetOut.Mappings[i].ByteCount};
  context->clone = clone;
  CaptureBuffer& buffer = context->buffer;
  buffer.mappings = count != 0 ? mappings : nullptr;
  buffer.mappingCount = count;
  buffer.dataUsed = 0;
  buffer.flags = 0;
  buffer.data = static_cast<PUCHAR>(clone->StreamHeader->Data);
  buffer.frameExtent = clone->StreamHeader->FrameExtent;
  KsStreamPointerAdvance(leading);
  return &buffer;
}

void StreamPin::CompleteBuffer(CaptureBuffer* buffer) {
  auto* context = reinterpret_cast<CloneContext*>(buffer);
  PKSSTREAM_POINTER clone = context->clone;
  PKSSTREAM_HEADER header = clone->StreamHeader;
  header->DataUsed = buffer->dataUsed <= header->FrameExtent ? buffer->dataUsed : header->FrameExtent;
  LONGLONG time = 0;
  if (clock_ != nullptr) {
    LONGLONG systemTime = 0;
    time = clock_->GetCorrelatedTime(&systemTime);
  }
  header->Duration = frameDuration_;
  header->PresentationTime.Time = time;
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
  if (clock_ != nullptr) header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
  if (discontinuity_ || (buffer->flags & kBufferDiscontinuity) != 0) {
    header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
    discontinuity_ = FALSE;
  }
  FillExtendedHeader(header);
  PostProcess(static_cast<PUCHAR>(header->Data), header->DataUsed);
  KsStreamPointerUnlock(clone, FALSE);
  KsStreamPointerDelete(clone);
}

NTSTATUS StreamPin::Close(PKSPIN pin, PIRP) {
  auto* self = static_cast<StreamPin*>(pin->Context);
  if (self != nullptr) {
    self->ReleaseSlot();
    self->ReleaseClock();
    DeleteTagged(self);
  }
  pin->Context = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS StreamPin::GetDroppedFrames(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PKSPIN pin = KsGetPinFromIrp(irp);
  auto* self = pin != nullptr ? static_cast<StreamPin*>(pin->Context) : nullptr;
  if (self == nullptr) return STATUS_UNSUCCESSFUL;
  auto* out = static_cast<KSPROPERTY_DROPPEDFRAMES_CURRENT_S*>(data);
  out->Property = *request;
  out->PictureNumber = static_cast<LONGLONG>(self->pictures_);
  out->DropCount = static_cast<LONGLONG>(self->drops_);
  out->AverageFrameSize = self->bufferSize_;
  irp->IoStatus.Information = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
  return STATUS_SUCCESS;
}

namespace {
const KSPROPERTY_ITEM kDroppedFramesItems[] = {{KSPROPERTY_DROPPEDFRAMES_CURRENT, StreamPin::GetDroppedFrames,
                                                sizeof(KSPROPERTY), sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
                                                nullptr, nullptr, 0, nullptr, nullptr, 0}};
const KSPROPERTY_SET kDroppedFramesSets[] = {{&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, kDroppedFramesItems, 0, nullptr}};
}  // namespace

const KSAUTOMATION_TABLE kDroppedFramesAutomationTable = {
    1, sizeof(KSPROPERTY_ITEM), kDroppedFramesSets, 0, 0, nullptr, 0, 0, nullptr, nullptr};

// ---- MPEG

NTSTATUS MpegPin::Create(PKSPIN pin, PIRP) {
  PelgarDevice* device = DeviceOfPin(pin);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  MpegPin* self = NewTagged<MpegPin>(std::source_location::current(), pin, device);
  if (self == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = self->EditFraming(kMpegFrames, kMpegFrameBytes, 0);
  if (!NT_SUCCESS(status)) {
    DeleteTagged(self);
    return status;
  }
  pin->Context = self;
  return STATUS_SUCCESS;
}

NTSTATUS MpegPin::Process(PKSPIN pin) {
  PelgarDevice* device = DeviceOfPin(pin);
  if (device != nullptr && device->dmaEngine != nullptr) device->dmaEngine->RetryPendingRequest();
  return STATUS_PENDING;
}

NTSTATUS MpegPin::Intersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE, PKSDATARANGE matching, ULONG bufferSize, PVOID data,
                            PULONG dataSize) {
  if (bufferSize == 0) {
    *dataSize = sizeof(KSDATAFORMAT);
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bufferSize < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(data, matching, sizeof(KSDATAFORMAT));
  static_cast<PKSDATAFORMAT>(data)->FormatSize = sizeof(KSDATAFORMAT);
  *dataSize = sizeof(KSDATAFORMAT);
  return STATUS_SUCCESS;
}

void MpegPin::PostProcess(PUCHAR data, ULONG bytes) { SwapWordOrder(data, bytes); }

const KSPIN_DISPATCH kMpegPinDispatch = {
    MpegPin::Create,           StreamPin::Close, MpegPin::Process, nullptr, nullptr,
    StreamPin::SetDeviceState, nullptr,          nullptr,          nullptr, nullptr};

}  // namespace pelgar
