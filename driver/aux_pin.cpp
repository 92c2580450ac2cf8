#include "driver/aux_pin.h"

#include "driver/device.h"
#include "driver/driver_services.h"

namespace pelgar {

NTSTATUS AuxPin::Create(PKSPIN pin, PIRP) {
  PelgarDevice* device = DeviceOfPin(pin);
  if (device == nullptr || device->mem == nullptr) return STATUS_UNSUCCESSFUL;
  const ULONG memoryBytes = device->length < kEncoderMemoryBytes ? device->length : kEncoderMemoryBytes;
  AuxPin* self = NewTagged<AuxPin>(std::source_location::current(), pin, device, device->mem, memoryBytes);
  if (self == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = self->EditFraming(kAuxFrames, kAuxRecordBytes, 0);
  if (!NT_SUCCESS(status)) {
    DeleteTagged(self);
    return status;
  }
  pin->Context = self;
  return STATUS_SUCCESS;
}

NTSTATUS AuxPin::Process(PKSPIN) { return STATUS_PENDING; }

NTSTATUS AuxPin::Intersect(PVOID context, PIRP irp, PKSP_PIN request, PKSDATARANGE range, PKSDATARANGE matching,
                           ULONG bufferSize, PVOID data, PULONG dataSize) {
  return MpegPin::Intersect(context, irp, request, range, matching, bufferSize, data, dataSize);
}

ULONG AuxPin::Word(ULONG offset) const {
  return READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(mem_ + offset));
}

void AuxPin::SetAuxRing(ULONG ringBase, ULONG firstRecord, ULONG recordCount) {
  ringBase_ = ringBase;
  readIndex_ = 0;
  first_ = 0;
  count_ = 0;
  // The position word and every record must lie in encoder memory, the records behind the word.
  const ULONGLONG end = ULONGLONG{firstRecord} + ULONGLONG{recordCount} * kAuxRecordBytes;
  if (ringBase % 4 != 0 || firstRecord % 4 != 0 || recordCount == 0 || firstRecord < ULONGLONG{ringBase} + 4 ||
      end > memBytes_)
    return;
  first_ = firstRecord;
  count_ = recordCount;
}

void AuxPin::ReadAuxRecords() {
  if (first_ == 0) return;
  const ULONG w = Word(ringBase_);
  // Only a position on a record boundary inside the ring is the firmware's; anything else would send the
  // copies outside the ring.
  if (w < first_ || (w - first_) % kAuxRecordBytes != 0) return;
  const ULONG written = (w - first_) / kAuxRecordBytes;
  if (written >= count_) return;
  while (readIndex_ != written) {
    CaptureBuffer* buffer = TakeBuffer();
    if (buffer == nullptr) return;
    const ULONG at = first_ + readIndex_ * kAuxRecordBytes;
    // A frame smaller than a record gets what fits of it.
    const ULONG bytes = buffer->frameExtent < kAuxRecordBytes ? buffer->frameExtent : kAuxRecordBytes;
    ULONG copied = 0;
    for (; copied + 4 <= bytes; copied += 4) {
      const ULONG word = Word(at + copied);
      RtlCopyMemory(buffer->data + copied, &word, 4);
    }
    buffer->dataUsed = copied;
    buffer->flags = 0;
    CompleteBuffer(buffer);
    readIndex_ = readIndex_ + 1 < count_ ? readIndex_ + 1 : 0;
  }
}

const KSPIN_DISPATCH kAuxPinDispatch = {
    AuxPin::Create, StreamPin::Close, AuxPin::Process, nullptr, nullptr, StreamPin::SetDeviceState,
    nullptr,        nullptr,          nullptr,         nullptr};

}  // namespace pelgar
